#pragma once
// Reading history at given times, as OPC UA's HistoryRead does it (Part 11,
// ReadAtTimeDetails, with the interpolation of Part 13): a value stored at that very time
// as it is; otherwise one interpolated from the values around it — on the line between
// them for a number kept as a double (a voltage, a current), stepped from the one before
// for anything else (a status word, a switch, a text) — marked Interpolated. Past the last
// value it is the last one (or, sloped, on the line through the last two), Uncertain;
// before the first, BadNoData. With simple bounds, within a loss (a Bad value before it)
// it is that Bad status: a hole is never bridged. Without them the nearest good values
// bound it whatever lies between, and a value found across bad ones is Uncertain.

#include <cstdint>
#include <span>
#include <vector>

#include "history/history_store.h"

namespace vexahv::history {

// The status codes' historian bits (OPC UA Part 4, 7.39: InfoType DataValue).
inline constexpr std::uint32_t kInfoDataValue = 0x0400;
inline constexpr std::uint32_t kHistorianInterpolated = 0x0002;
inline constexpr std::uint32_t kBadNoData = 0x809B0000;
inline constexpr std::uint32_t kUncertainDataSubNormal = 0x40A40000;

struct AtTimeOptions {
  bool simpleBounds = true;
  bool sloped = false;  // past the last value
};

// One sample per time, in the order asked; status is not Good only when the store
// failed (BadHistoryOperationUnsupported, the values then empty).
std::vector<Sample> readAtTime(HistoryStore& store, std::uint32_t key, std::span<const std::int64_t> times,
                               std::uint32_t& status, AtTimeOptions options = {});

}  // namespace vexahv::history
