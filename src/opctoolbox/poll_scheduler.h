#pragma once
// Samples the active polled items. Due times are aligned to multiples of each item's
// rate, so items of one rate fall due together and are read in one transaction. An item
// whose last sample is still being read is skipped rather than queued twice.

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "platform/worker_thread.h"

namespace OpcToolbox {

class PollScheduler {
 public:
  // Reads the due elements (one transaction) and calls done when their values are in.
  using Sampler = std::function<void(std::vector<ElementPtr> due, std::function<void()> done)>;

  explicit PollScheduler(Sampler sampler);
  ~PollScheduler() { stop(); }

  void add(const ElementPtr& element, int rateMs);
  void remove(const DaAddressSpaceElement* element);
  void stop();
  std::size_t size() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    ElementPtr element;
    Clock::duration rate;
    Clock::time_point next;
    bool inFlight = false;
  };
  void loop(std::stop_token stop);

  Sampler sampler_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  std::map<const DaAddressSpaceElement*, Entry> entries_;
  std::uint64_t changes_ = 0;  // wakes the loop when the schedule changed
  const Clock::time_point epoch_ = Clock::now();
  vexahv::platform::WorkerThread thread_;
};

}  // namespace OpcToolbox
