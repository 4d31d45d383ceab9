#pragma once
// Reading raw history as OPC UA's HistoryRead does it (Part 11, ReadRawModifiedDetails),
// over any store: the direction the two times give, the bounding values (or a
// BadBoundNotFound sample where there is none), at most so many values a call, and a
// cursor to carry on from where a call stopped.

#include <cstdint>
#include <optional>
#include <vector>

#include "history/history_store.h"

namespace vexahv::history {

inline constexpr std::uint32_t kGoodNoData = 0x00A50000;
inline constexpr std::uint32_t kBadBoundNotFound = 0x80D70000;
inline constexpr std::uint32_t kBadInvalidTimestampArgument = 0x80BD0000;
inline constexpr std::uint32_t kBadHistoryOperationUnsupported = 0x80720000;  // also: the store failed

struct RawRequest {
  std::int64_t start = 0;  // 0: not given (DateTime.MinValue)
  std::int64_t end = 0;
  std::uint32_t maxValues = 0;  // 0: no limit asked
  bool returnBounds = false;
};

// Where a read stopped: the next part (the first bound, the values, the last bound) and
// the last value given.
struct RawCursor {
  RawRequest request;
  int part = 0;
  std::optional<Stored> last;
};

struct RawAnswer {
  std::uint32_t status = 0;  // Good, GoodNoData, or the reason nothing was read
  std::vector<Sample> values;
  std::optional<RawCursor> more;  // set when the range holds more than was given
};

// Reads at most `limit` values this call (the request's maxValues, when smaller, is the
// limit). resume: the cursor of the call before, or none for a first call.
RawAnswer readRaw(HistoryStore& store, std::uint32_t key, const RawRequest& request, std::size_t limit,
                  const RawCursor* resume = nullptr);

}  // namespace vexahv::history
