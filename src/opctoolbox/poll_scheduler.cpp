#include "opctoolbox/poll_scheduler.h"

#include <algorithm>
#include <memory>

namespace OpcToolbox {

PollScheduler::PollScheduler(Sampler sampler)
    : sampler_(std::move(sampler)),
      thread_("tb-poll", [this](std::stop_token st) { loop(st); }) {}

void PollScheduler::add(const ElementPtr& element, int rateMs) {
  const auto rate = std::chrono::duration_cast<Clock::duration>(
      std::chrono::milliseconds(std::max(rateMs, 1)));
  {
    std::lock_guard lock(mutex_);
    const auto since = Clock::now() - epoch_;
    const auto next = epoch_ + (since / rate + 1) * rate;
    auto& e = entries_[element.get()];
    const bool inFlight = e.inFlight;
    e = Entry{element, rate, next, inFlight};
    ++changes_;
  }
  wake_.notify_all();
}

void PollScheduler::remove(const DaAddressSpaceElement* element) {
  {
    std::lock_guard lock(mutex_);
    entries_.erase(element);
    ++changes_;
  }
  wake_.notify_all();
}

void PollScheduler::stop() {
  thread_.requestStop();
  wake_.notify_all();
  thread_.join();
}

std::size_t PollScheduler::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void PollScheduler::loop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    auto earliest = Clock::time_point::max();
    for (const auto& [key, e] : entries_) {
      if (!e.inFlight) earliest = std::min(earliest, e.next);
    }
    const std::uint64_t seen = changes_;
    auto changed = [&] { return changes_ != seen; };
    if (earliest == Clock::time_point::max()) {
      wake_.wait(lock, stop, changed);
      continue;
    }
    if (Clock::now() < earliest) {
      wake_.wait_until(lock, stop, earliest, changed);
      continue;
    }
    const auto now = Clock::now();
    std::vector<ElementPtr> due;
    auto keys = std::make_shared<std::vector<const DaAddressSpaceElement*>>();
    for (auto& [key, e] : entries_) {
      if (e.inFlight || e.next > now) continue;
      due.push_back(e.element);
      keys->push_back(key);
      e.inFlight = true;
      // The next multiple of the rate after now: a missed sample is skipped, not repeated.
      e.next += ((now - e.next) / e.rate + 1) * e.rate;
    }
    lock.unlock();
    sampler_(std::move(due), [this, keys] {
      std::lock_guard relock(mutex_);
      for (auto* k : *keys) {
        auto it = entries_.find(k);
        if (it != entries_.end()) it->second.inFlight = false;
      }
      ++changes_;
      wake_.notify_all();
    });
    lock.lock();
  }
}

}  // namespace OpcToolbox
