#include "history/at_time.h"

#include "history/raw_read.h"

namespace vexahv::history {
std::vector<Sample> readAtTime(HistoryStore& store, std::uint32_t key, std::span<const std::int64_t> times,
                               std::uint32_t& status) {
  status = 0;
  std::vector<Sample> out;
  out.reserve(times.size());
  for (const std::int64_t t : times) {
    std::optional<Stored> before, after;
    if (!store.nearest(key, t, true, before).ok() || !store.nearest(key, t, false, after).ok()) {
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
      out.push_back(Sample{t, kUncertainDataSubNormal | kInfoDataValue | kHistorianInterpolated, b.value});
      continue;
    }
    const Sample& a = after->sample;
    const auto* from = std::get_if<double>(&b.value);
    const auto* to = std::get_if<double>(&a.value);
    Sample v{t, (b.status & 0xFFFF0000u) | kInfoDataValue | kHistorianInterpolated, b.value};
    if (from != nullptr && to != nullptr && !isBad(a.status) && a.time > b.time) {
      const double share = static_cast<double>(t - b.time) / static_cast<double>(a.time - b.time);
      v.value = *from + (*to - *from) * share;
    }
    out.push_back(std::move(v));
  }
  return out;
}

}  // namespace vexahv::history
