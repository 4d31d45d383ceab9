#pragma once
// The process's stop control: SIGTERM, SIGINT and SIGHUP, and SIGUSR1 (reopen the log after
// a rotation), taken by the one thread that waits for them (which decides what each means
// in its run), and a wake-up that any thread raises when the process cannot go on (a
// start-up failure that leaves nothing to serve).

#include <csignal>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexahv::platform {

class StopSignal {
 public:
  // Blocks the four signals in the calling thread. Open it before any other thread
  // starts: threads inherit the mask, so the signals reach only wait().
  std::error_code open();

  // Until one of them or wake(): the signal's number, or 0 for wake().
  int wait();

  // Ends wait() from any thread; async-signal-safe. A wake before wait() is kept.
  void wake() noexcept;

 private:
  sigset_t signals_{};
  UniqueFd signalFd_;
  UniqueFd wakeFd_;
};

}  // namespace vexahv::platform
