#include "platform/sync_event.h"

namespace vexahv::platform {

void OneShotEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cv_.notify_all();
}

void OneShotEvent::reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool OneShotEvent::isSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

WaitResult OneShotEvent::wait(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return set_; }) ? WaitResult::Signalled
                                                           : WaitResult::TimedOut;
}

WaitResult OneShotEvent::wait(std::stop_token stop, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  if (cv_.wait_for(lock, stop, timeout, [&] { return set_; })) return WaitResult::Signalled;
  return stop.stop_requested() ? WaitResult::Stopped : WaitResult::TimedOut;
}

void OneShotEvent::waitForever() const {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [&] { return set_; });
}

void AutoResetEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cv_.notify_one();
}

WaitResult AutoResetEvent::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return set_; })) return WaitResult::TimedOut;
  set_ = false;
  return WaitResult::Signalled;
}

WaitResult AutoResetEvent::wait(std::stop_token stop, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, stop, timeout, [&] { return set_; })) {
    return stop.stop_requested() ? WaitResult::Stopped : WaitResult::TimedOut;
  }
  set_ = false;
  return WaitResult::Signalled;
}

}  // namespace vexahv::platform
