#pragma once
// Aggregates of history over intervals, as OPC UA's HistoryRead computes them (Part 11,
// ReadProcessedDetails; the aggregates of Part 13 that trend screens use): Interpolative
// (the value at each interval's start, as readAtTime gives it), Average, Minimum, Maximum
// (of the interval's good values, stamped with the interval's start) and Count (of its good
// values). An interval's status follows the aggregate configuration: Good when its share of
// good values reaches PercentDataGood, Bad when its share of bad ones reaches
// PercentDataBad, Uncertain between; one without good values is BadNoData; the last, when
// shorter than the others, is Partial. A start after the end makes the intervals run
// backwards from the start, newest first.

#include <cstdint>
#include <vector>

#include "history/history_store.h"

namespace vexahv::history {

enum class Aggregate { Interpolative, Average, Minimum, Maximum, Count };

inline constexpr std::uint32_t kHistorianCalculated = 0x0001;
inline constexpr std::uint32_t kHistorianPartial = 0x0004;
inline constexpr std::uint32_t kBadAggregateConfigurationRejected = 0x80DA0000;

struct ProcessedRequest {
  std::int64_t start = 0, end = 0;  // start after end: backwards
  std::int64_t interval = 0;         // ticks; 0: one interval from start to end
};

// OPC UA Part 13's AggregateConfiguration; the defaults are the server's.
struct AggregateConfiguration {
  bool treatUncertainAsBad = true;
  std::uint8_t percentDataBad = 100;
  std::uint8_t percentDataGood = 100;
  bool useSlopedExtrapolation = false;
  // Each share at most 100 %, and no share both good and bad enough.
  bool valid() const noexcept {
    return percentDataBad <= 100 && percentDataGood <= 100 && percentDataBad + percentDataGood >= 100;
  }
};

// The intervals a request makes (0 when the request is invalid).
std::size_t intervalCount(const ProcessedRequest& request);
// The request for count of its intervals from the first-th on (a read resumed where the
// last call stopped): the same intervals, the last still the request's own.
ProcessedRequest intervalsFrom(const ProcessedRequest& request, std::size_t first, std::size_t count);

// One value per interval, in the request's direction. status: Good,
// BadInvalidTimestampArgument, BadAggregateConfigurationRejected, or
// BadHistoryOperationUnsupported when the store failed or the range holds more than
// maxRows raw values (values then empty).
std::vector<Sample> readProcessed(HistoryStore& store, std::uint32_t key, const ProcessedRequest& request,
                                  Aggregate aggregate, std::size_t maxRows, std::uint32_t& status,
                                  const AggregateConfiguration& configuration = {});

}  // namespace vexahv::history
