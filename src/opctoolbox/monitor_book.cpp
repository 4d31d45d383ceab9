#include "opctoolbox/monitor_book.h"

#include <algorithm>
#include <tuple>

namespace OpcToolbox {

int MonitorBook::Rates::fastest() const {
  int best = count > 0 ? rate : 0;
  for (const auto& [r, n] : more) {
    if (n > 0 && (best == 0 || r < best)) best = r;
  }
  return best;
}

void MonitorBook::Rates::add(int r) {
  if (count == 0 || rate == r) {
    rate = r;
    ++count;
    return;
  }
  auto it = std::find_if(more.begin(), more.end(), [r](const auto& e) { return e.first == r; });
  if (it != more.end()) ++it->second;
  else more.emplace_back(r, 1);
}

bool MonitorBook::Rates::remove(int r) {
  if (count > 0 && rate == r) {
    if (--count == 0 && !more.empty()) {
      // Another rate moves into place, so the in-place one is the one in use.
      std::tie(rate, count) = more.back();
      more.pop_back();
    }
  } else {
    auto it = std::find_if(more.begin(), more.end(), [r](const auto& e) { return e.first == r; });
    if (it != more.end() && --it->second == 0) more.erase(it);
  }
  return count == 0 && more.empty();
}

void MonitorBook::reserve(std::size_t n) {
  // One at a time grows as the containers do by themselves.
  if (n <= 1 || n <= free_.size()) return;
  const std::size_t needed = slots_.size() + (n - free_.size());
  if (needed > slots_.capacity()) slots_.reserve(std::max(needed, 2 * slots_.capacity()));
  rates_.reserve(rates_.size() + n);
}

MonitorBook::Added MonitorBook::add(const ElementPtr& element, int rate, ValueObserver* observer) {
  std::uint32_t index = 0;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    index = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  const std::uint32_t serial = nextSerial_++;
  slots_[index] = Monitor{element, observer, rate, serial};
  ++live_;
  auto [it, fresh] = rates_.try_emplace(element.get());
  it->second.add(rate);
  return Added{(static_cast<std::uint64_t>(serial) << 32) | (index + 1ull), fresh, it->second.fastest()};
}

std::pair<MonitorBook::Monitor, int> MonitorBook::remove(std::uint64_t handle) {
  const std::uint64_t low = handle & 0xFFFFFFFFull;
  if (low == 0 || low > slots_.size()) return {};
  const auto index = static_cast<std::uint32_t>(low - 1);
  Monitor& slot = slots_[index];
  if (!slot.element || slot.serial != static_cast<std::uint32_t>(handle >> 32)) return {};
  Monitor m = std::move(slot);
  slot = Monitor{};
  --live_;
  int left = 0;
  auto rates = rates_.find(m.element.get());
  if (rates != rates_.end()) {
    if (rates->second.remove(m.rate)) rates_.erase(rates);
    else left = rates->second.fastest();
  }
  if (live_ == 0) {
    // The last monitor gone (a large subscription closed): its slots go too.
    std::vector<Monitor>().swap(slots_);
    std::vector<std::uint32_t>().swap(free_);
    std::unordered_map<const DaAddressSpaceElement*, Rates>().swap(rates_);
  } else {
    free_.push_back(index);
  }
  return {std::move(m), left};
}

int MonitorBook::rateOf(const DaAddressSpaceElement* element) const {
  auto it = rates_.find(element);
  return it == rates_.end() ? 0 : it->second.fastest();
}

}  // namespace OpcToolbox
