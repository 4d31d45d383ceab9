#pragma once
// Writes of the server's own settings: each is stored in the configuration file; the log
// level and the batching flag also take effect at once. Event mode, live insertion and
// the verification period restart the installed service, so they take effect in its new
// run (without a running service: at the next start).

#include <cstdint>
#include <string>

#include "opctoolbox/variant.h"

namespace vexahv {

class VEXAHVElement;

// 0 when the configuration file now holds the setting; -1 otherwise (an unknown name, a
// value that is not accepted, or a file that could not be written).
std::int32_t writeServerSetting(VEXAHVElement& element, const std::string& name,
                                const OpcToolbox::Variant& value);

}  // namespace vexahv
