#pragma once
// A restartable periodic timer, in place of a waitable user timer. Its procedure runs on
// the timer's own thread; start() (re)arms it so that the first run comes one full period
// later, stop() disarms it. Neither waits for a run in progress, so both may be called from
// the procedure itself. The destructor ends the thread after any run in progress.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "platform/worker_thread.h"

namespace vexahv::platform {

class PeriodicTimer {
 public:
  using Procedure = std::function<void()>;

  PeriodicTimer(std::string name, Procedure procedure);
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // A period of zero or less disarms.
  void start(std::chrono::milliseconds period);
  void stop();
  bool armed() const;

 private:
  void run(std::stop_token stop);

  Procedure procedure_;
  mutable std::mutex mutex_;
  std::condition_variable_any cv_;
  std::chrono::milliseconds period_{0};
  std::chrono::steady_clock::time_point due_{};
  bool armed_ = false;
  // The deadline the thread waits for (max: idle), and a request to re-read the plan.
  std::chrono::steady_clock::time_point waitingUntil_ = std::chrono::steady_clock::time_point::max();
  bool wake_ = false;
  WorkerThread thread_;           // last: starts after, and ends before, the state above
};

}  // namespace vexahv::platform
