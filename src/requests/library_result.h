#pragma once
// What a client is told when the HV library refused or failed a call: the one table from
// the library's result codes to the toolbox's request results.

#include <cstdint>

namespace vexahv {

// 0 gives S_OK; -1 (nothing was done) E_FAIL; a library code its result (out of range,
// read-only, not connected, time-out, or a failure of the device).
long requestResultOf(std::int32_t status) noexcept;

}  // namespace vexahv
