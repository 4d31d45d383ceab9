#pragma once
// The items of one write transaction, carried to the hardware in as few library calls as
// keep their meaning: channel parameters of one board set to the same value go in one
// VEXAHV_SetChParam with the channel list, and crates are written side by side. Order is
// kept wherever it can matter: a channel's writes happen in the order they were asked
// (a V0Set before the Pw that switches it on), and anything that is not a channel
// parameter is written alone, after all before it and before all after it. A group call
// the library refuses is written again channel by channel, so each item gets its own
// status and the log its own line, as item by item.

#include <cstdint>
#include <span>
#include <vector>

#include "opctoolbox/value_qt.h"

namespace vexahv {

class VEXAHVElement;

// Crates written at once, at most.
inline constexpr std::size_t kWriteCratesAtOnce = 8;

// One status per item, as writeItemValue gives it: 0 when the write took effect. A null
// element is written as writeItemValue writes it (-1).
std::vector<std::int32_t> writeGrouped(std::span<VEXAHVElement* const> elements,
                                       std::span<const OpcToolbox::ValueQT> values);

}  // namespace vexahv
