#include "platform/system_log.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vexahv::platform {

void systemLog(int priority, std::string_view message) noexcept {
  if (const char* off = std::getenv("VEXAHV_SYSLOG"); off != nullptr && std::strcmp(off, "off") == 0) return;
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog("VEXAHVOPCServerModule", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
  ::syslog(priority, "%.*s", static_cast<int>(message.size()), message.data());
}

}  // namespace vexahv::platform
