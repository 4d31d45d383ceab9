#pragma once
// The system's log (syslog(3), ident "VEXAHVOPCServerModule"): where the process reports
// what it cannot put in its own log. VEXAHV_SYSLOG=off keeps tests out of the host's log.

#include <string_view>

namespace vexahv::platform {

// priority: a syslog priority (LOG_ERR, LOG_WARNING, ...).
void systemLog(int priority, std::string_view message) noexcept;

}  // namespace vexahv::platform
