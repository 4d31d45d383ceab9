#pragma once
// Event objects in place of the named events of the original design: a one-shot event
// stays set once signalled (manual reset); an auto-reset event lets one waiter through per
// signal. Every wait has a time-out and, optionally, a stop token that ends it at once.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace vexahv::platform {

enum class WaitResult { Signalled, TimedOut, Stopped };

class OneShotEvent {
 public:
  void set();
  void reset();
  bool isSet() const;
  WaitResult wait(std::chrono::milliseconds timeout) const;
  WaitResult wait(std::stop_token stop, std::chrono::milliseconds timeout) const;
  void waitForever() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable_any cv_;
  bool set_ = false;
};

class AutoResetEvent {
 public:
  void set();
  // Signalled consumes the signal.
  WaitResult wait(std::chrono::milliseconds timeout);
  WaitResult wait(std::stop_token stop, std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable_any cv_;
  bool set_ = false;
};

}  // namespace vexahv::platform
