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
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    armed_ = period.count() > 0;
    period_ = period;
    due_ = std::chrono::steady_clock::now() + period;
    // A thread that wakes no later than the new due time re-reads the plan then by itself:
    // re-arming on every event batch must not wake it thousands of times a second.
    wake = armed_ && waitingUntil_ > due_;
    wake_ = wake_ || wake;
  }
  if (wake) cv_.notify_all();
}

void PeriodicTimer::stop() {
  // Not woken: at its deadline the thread finds the timer disarmed and runs nothing.
  std::lock_guard lock(mutex_);
  armed_ = false;
}

bool PeriodicTimer::armed() const {
  std::lock_guard lock(mutex_);
  return armed_;
}

void PeriodicTimer::run(std::stop_token stop) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    waitingUntil_ = armed_ ? due_ : Clock::time_point::max();
    // A copy: the wait reads its deadline while our mutex is released.
    const auto until = waitingUntil_;
    if (until == Clock::time_point::max()) {
      cv_.wait(lock, stop, [&] { return wake_; });
    } else {
      cv_.wait_until(lock, stop, until, [&] { return wake_; });
    }
    wake_ = false;
    if (stop.stop_requested()) break;
    const auto now = Clock::now();
    if (!armed_ || now < due_) continue;  // disarmed, or postponed meanwhile
    // Due: plan the next run from this due time so the period does not drift.
    due_ += period_;
    if (due_ <= now) due_ = now + period_;
    lock.unlock();
    procedure_();
    lock.lock();
  }
}

}  // namespace vexahv::platform
