#include "history/processed_read.h"

#include <algorithm>
#include <cstdlib>

#include "history/at_time.h"
#include "history/raw_read.h"

namespace vexahv::history {
namespace {

// What one interval's raw values come to: the values the calculation takes (good ones,
// and uncertain ones unless they count as bad), those it does not, and the numbers among
// the taken summed.
struct Tally {
  std::size_t taken = 0, numbers = 0, refused = 0;
  double sum = 0, min = 0, max = 0;
  void add(const Sample& s, bool uncertainIsBad) {
    const bool uncertain = !isGood(s.status) && !isBad(s.status);
    if (isBad(s.status) || (uncertain && uncertainIsBad)) {
      ++refused;
      return;
    }
    ++taken;
    const auto n = numberOf(s.value);
    if (!n) return;
    min = numbers == 0 ? *n : std::min(min, *n);
    max = numbers == 0 ? *n : std::max(max, *n);
    sum += *n;
    ++numbers;
  }
};

std::int64_t span(const ProcessedRequest& r) { return r.start < r.end ? r.end - r.start : r.start - r.end; }

}  // namespace

std::size_t intervalCount(const ProcessedRequest& r) {
  if (r.start == 0 || r.end == 0 || r.start == r.end || r.interval < 0) return 0;
  if (r.interval == 0) return 1;
  const std::int64_t s = span(r);
  return static_cast<std::size_t>(s / r.interval + (s % r.interval != 0 ? 1 : 0));
}

ProcessedRequest intervalsFrom(const ProcessedRequest& r, std::size_t first, std::size_t count) {
  const std::size_t total = intervalCount(r);
  if (r.interval == 0 || total == 0) return r;  // one interval, or an invalid request
  ProcessedRequest out = r;
  if (first >= total) {
    out.start = r.end;  // none left: an empty request
    return out;
  }
  // Within the range: first and count intervals of it cannot overflow.
  const std::int64_t sign = r.start < r.end ? 1 : -1;
  out.start = r.start + sign * static_cast<std::int64_t>(first) * r.interval;
  out.end = count >= total - first ? r.end : out.start + sign * static_cast<std::int64_t>(count) * r.interval;
  return out;
}

std::vector<Sample> readProcessed(HistoryStore& store, std::uint32_t key, const ProcessedRequest& r,
                                  Aggregate aggregate, std::size_t maxRows, std::uint32_t& status,
                                  const AggregateConfiguration& configuration) {
  status = 0;
  const std::size_t n = intervalCount(r);
  if (n == 0) {
    status = kBadInvalidTimestampArgument;
    return {};
  }
  if (!configuration.valid()) {
    status = kBadAggregateConfigurationRejected;
    return {};
  }
  const bool forward = r.start < r.end;
  const std::int64_t sign = forward ? 1 : -1;
  const std::int64_t step = r.interval == 0 ? span(r) : r.interval;
  // Interval k runs from its start (the time it is stamped with) towards the end:
  // [start, start + step) forwards, (start - step, start] backwards, the last cut at the end.
  auto startOf = [&](std::size_t k) { return r.start + sign * static_cast<std::int64_t>(k) * step; };
  auto lengthOf = [&](std::size_t k) { return std::min<std::int64_t>(step, std::llabs(r.end - startOf(k))); };
  std::vector<Sample> out;
  out.reserve(n);
  if (aggregate == Aggregate::Interpolative) {
    std::vector<std::int64_t> times(n);
    for (std::size_t k = 0; k < n; ++k) times[k] = startOf(k);
    return readAtTime(store, key, times, status, AtTimeOptions{true, configuration.useSlopedExtrapolation});
  }
  std::vector<Tally> tallies(n);
  // The range's raw values, a page at a time: memory stays bounded, and so does the work.
  std::optional<Stored> after;
  std::size_t rows = 0;
  constexpr std::size_t kPage = 10000;
  while (true) {
    std::vector<Stored> page;
    if (!store.scan(Scan{key, r.start, r.end, forward, kPage, after}, page).ok() || (rows += page.size()) > maxRows) {
      status = kBadHistoryOperationUnsupported;
      return {};
    }
    for (const Stored& s : page) {
      const auto k = static_cast<std::size_t>(std::llabs(s.sample.time - r.start) / step);
      tallies[std::min(k, n - 1)].add(s.sample, configuration.treatUncertainAsBad);
    }
    if (page.size() < kPage) break;
    after = page.back();
  }
  for (std::size_t k = 0; k < n; ++k) {
    const Tally& t = tallies[k];
    std::uint32_t flags = kInfoDataValue | kHistorianCalculated;
    if (lengthOf(k) < step) flags |= kHistorianPartial;
    Sample v{startOf(k), flags, {}};
    if (aggregate == Aggregate::Count) {
      v.value = Value(static_cast<std::int64_t>(t.taken));
    } else if (t.numbers == 0) {
      v.status = kBadNoData;
      out.push_back(std::move(v));
      continue;
    } else {
      v.value = Value(aggregate == Aggregate::Average   ? t.sum / static_cast<double>(t.numbers)
                      : aggregate == Aggregate::Minimum ? t.min
                                                        : t.max);
    }
    // Part 13's shares, of the interval's values by count.
    const std::size_t all = t.taken + t.refused;
    if (all != 0 && t.refused != 0) {
      const double bad = 100.0 * static_cast<double>(t.refused) / static_cast<double>(all);
      if (bad >= configuration.percentDataBad) {
        v.status = 0x80000000u | flags;  // Bad, with the historian bits
        if (aggregate != Aggregate::Count) v.value = Value();
      } else if (100.0 - bad < configuration.percentDataGood) {
        v.status |= kUncertainDataSubNormal;
      }
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace vexahv::history
