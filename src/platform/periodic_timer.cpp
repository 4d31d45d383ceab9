#include "platform/periodic_timer.h"

namespace vexahv::platform {

PeriodicTimer::PeriodicTimer(std::string name, Procedure procedure)
    : procedure_(std::move(procedure)),
      thread_(std::move(name), [this](std::stop_token stop) { run(stop); }) {}

PeriodicTimer::~PeriodicTimer() {
  thread_.requestStop();
  cv_.notify_all();
  thread_.join();
}

void PeriodicTimer::start(std::chrono::milliseconds period) {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    armed_ = period.count() > 0;
    period_ = period;
    due_ = std::chrono::steady_clock::now() + period;
  }
  cv_.notify_all();
}

void PeriodicTimer::stop() {
  {
    std::lock_guard lock(mutex_);
    ++generation_;
    armed_ = false;
  }
  cv_.notify_all();
}

bool PeriodicTimer::armed() const {
  std::lock_guard lock(mutex_);
  return armed_;
}

void PeriodicTimer::run(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    if (!armed_) {
      unsigned long seen = generation_;
      cv_.wait(lock, stop, [&] { return generation_ != seen; });
      continue;
    }
    unsigned long seen = generation_;
    // A copy: the wait reads its deadline while our mutex is released.
    const auto due = due_;
    if (cv_.wait_until(lock, stop, due, [&] { return generation_ != seen; })) continue;
    if (stop.stop_requested()) break;
    // Due: plan the next run from this due time so the period does not drift.
    due_ += period_;
    auto now = std::chrono::steady_clock::now();
    if (due_ <= now) due_ = now + period_;
    lock.unlock();
    procedure_();
    lock.lock();
  }
}

}  // namespace vexahv::platform
