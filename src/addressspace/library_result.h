#pragma once
// What a client is told when the HV library refused or failed a call: the one table from
// the library's result codes to the toolbox's request results (writes) and to the value
// qualities (reads), so that both say the same thing of the same failure.

#include <cstdint>

namespace vexahv {

// 0 gives S_OK; -1 (nothing was done) E_FAIL; a library code its result (out of range,
// read-only, not connected, time-out, or a failure of the device).
long requestResultOf(std::int32_t status) noexcept;

// The quality of a value read with that result: good for 0; not connected, communication
// failure (a time-out) or device failure for the library's codes; plain bad for -1.
std::uint16_t qualityOf(std::int32_t status) noexcept;

}  // namespace vexahv
