#include "history/at_time.h"

#include <limits>

#include "history/raw_read.h"

namespace vexahv::history {
namespace {

// Bad values looked through for a good bound, at most: a long loss ends the search, and
// the bound is then none.
constexpr std::size_t kSkipAtMost = 1000;

// The nearest good value at or before t (before), or at or after it; whether bad values
// were passed over to reach it.
bool nearestGood(HistoryStore& store, std::uint32_t key, std::int64_t t, bool before, std::optional<Stored>& out,
                 bool& skipped) {
  out.reset();
  skipped = false;
  std::vector<Stored> rows;
  // Backward (min, t] newest first, or forward [t, max).
  const std::int64_t to = before ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  if (!store.scan(Scan{key, t, to, !before, kSkipAtMost, std::nullopt}, rows).ok()) return false;
  for (const Stored& r : rows) {
    if (isGood(r.sample.status)) {
      out = r;
      return true;
    }
    skipped = true;
  }
  return true;
}

}  // namespace

std::vector<Sample> readAtTime(HistoryStore& store, std::uint32_t key, std::span<const std::int64_t> times,
                               std::uint32_t& status, AtTimeOptions options) {
  status = 0;
  std::vector<Sample> out;
  out.reserve(times.size());
  const std::uint32_t interpolated = kInfoDataValue | kHistorianInterpolated;
  for (const std::int64_t t : times) {
    std::optional<Stored> before, after;
    bool skippedBefore = false, skippedAfter = false;
    const bool read = options.simpleBounds
                          ? store.nearest(key, t, true, before).ok() && store.nearest(key, t, false, after).ok()
                          : nearestGood(store, key, t, true, before, skippedBefore) &&
                                nearestGood(store, key, t, false, after, skippedAfter);
    if (!read) {
      status = kBadHistoryOperationUnsupported;
      return {};
    }
    if (!before) {
      out.push_back(Sample{t, kBadNoData, {}});
      continue;
    }
    const Sample& b = before->sample;
    if (b.time == t) {
      out.push_back(b);  // raw: its historian bits are 0
      continue;
    }
    if (isBad(b.status)) {
      out.push_back(Sample{t, b.status, {}});
      continue;
    }
    if (!after) {
      Sample v{t, kUncertainDataSubNormal | interpolated, b.value};
      // Sloped: on the line through the last two good values, where both are numbers.
      std::optional<Stored> last;
      bool skipped = false;
      const auto* to = std::get_if<double>(&b.value);
      if (options.sloped && to != nullptr && b.time > std::numeric_limits<std::int64_t>::min() &&
          nearestGood(store, key, b.time - 1, true, last, skipped) && last) {
        const auto* from = std::get_if<double>(&last->sample.value);
        if (from != nullptr && last->sample.time < b.time) {
          const double slope = (*to - *from) / static_cast<double>(b.time - last->sample.time);
          v.value = *to + slope * static_cast<double>(t - b.time);
        }
      }
      out.push_back(std::move(v));
      continue;
    }
    const Sample& a = after->sample;
    const auto* from = std::get_if<double>(&b.value);
    const auto* to = std::get_if<double>(&a.value);
    Sample v{t, (b.status & 0xFFFF0000u) | interpolated, b.value};
    if (from != nullptr && to != nullptr && !isBad(a.status) && a.time > b.time) {
      const double share = static_cast<double>(t - b.time) / static_cast<double>(a.time - b.time);
      v.value = *from + (*to - *from) * share;
    }
    // Bounds found across bad values: the value is a guess over the gap.
    if (skippedBefore || skippedAfter) v.status = kUncertainDataSubNormal | interpolated;
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace vexahv::history
