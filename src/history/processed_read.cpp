#include "history/processed_read.h"

#include <algorithm>

#include "history/at_time.h"
#include "history/raw_read.h"

namespace vexahv::history {
namespace {

// What one interval's raw values come to: the good ones counted whatever their form, the
// numbers among them summed.
struct Tally {
  std::size_t good = 0, numbers = 0, bad = 0;
  double sum = 0, min = 0, max = 0;
  void add(const Sample& s) {
    if (!isGood(s.status)) {
      ++bad;
      return;
    }
    ++good;
    const auto n = numberOf(s.value);
    if (!n) return;
    min = numbers == 0 ? *n : std::min(min, *n);
    max = numbers == 0 ? *n : std::max(max, *n);
    sum += *n;
    ++numbers;
  }
};

}  // namespace

std::size_t intervalCount(const ProcessedRequest& r) {
  if (r.start == 0 || r.end == 0 || r.start >= r.end || r.interval < 0) return 0;
  if (r.interval == 0) return 1;
  const std::int64_t span = r.end - r.start;
  return static_cast<std::size_t>(span / r.interval + (span % r.interval != 0 ? 1 : 0));
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
  out.start = r.start + static_cast<std::int64_t>(first) * r.interval;
  out.end = count >= total - first ? r.end : out.start + static_cast<std::int64_t>(count) * r.interval;
  return out;
}

std::vector<Sample> readProcessed(HistoryStore& store, std::uint32_t key, const ProcessedRequest& r,
                                  Aggregate aggregate, std::size_t maxRows, std::uint32_t& status) {
  status = 0;
  const std::size_t n = intervalCount(r);
  if (n == 0) {
    status = kBadInvalidTimestampArgument;
    return {};
  }
  const std::int64_t step = r.interval == 0 ? r.end - r.start : r.interval;
  auto startOf = [&](std::size_t k) { return r.start + static_cast<std::int64_t>(k) * step; };
  auto endOf = [&](std::size_t k) { return std::min(r.end, startOf(k) + step); };
  std::vector<Sample> out;
  out.reserve(n);
  if (aggregate == Aggregate::Interpolative) {
    std::vector<std::int64_t> times(n);
    for (std::size_t k = 0; k < n; ++k) times[k] = startOf(k);
    return readAtTime(store, key, times, status);
  }
  std::vector<Tally> tallies(n);
  // The range's raw values, a page at a time: memory stays bounded, and so does the work.
  std::optional<Stored> after;
  std::size_t rows = 0;
  constexpr std::size_t kPage = 10000;
  while (true) {
    std::vector<Stored> page;
    if (!store.scan(Scan{key, r.start, r.end, true, kPage, after}, page).ok() || (rows += page.size()) > maxRows) {
      status = kBadHistoryOperationUnsupported;
      return {};
    }
    for (const Stored& s : page) tallies[static_cast<std::size_t>((s.sample.time - r.start) / step)].add(s.sample);
    if (page.size() < kPage) break;
    after = page.back();
  }
  for (std::size_t k = 0; k < n; ++k) {
    const Tally& t = tallies[k];
    std::uint32_t flags = kInfoDataValue | kHistorianCalculated;
    if (endOf(k) - startOf(k) < step) flags |= kHistorianPartial;
    Sample v{startOf(k), flags, {}};
    if (aggregate == Aggregate::Count) {
      v.value = Value(static_cast<std::int64_t>(t.good));
    } else if (t.numbers == 0) {
      v.status = kBadNoData;
      out.push_back(std::move(v));
      continue;
    } else {
      v.value = Value(aggregate == Aggregate::Average   ? t.sum / static_cast<double>(t.numbers)
                      : aggregate == Aggregate::Minimum ? t.min
                                                        : t.max);
    }
    if (t.bad > 0) v.status |= kUncertainDataSubNormal;
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace vexahv::history
