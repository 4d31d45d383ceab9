#pragma once
// One thread's readiness loop over descriptors (epoll), with a waker that other threads
// use to make its wait return. The thread that calls wait() owns every descriptor in the
// set: it alone adds, changes and removes them.

#include <chrono>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "platform/unique_fd.h"

namespace vexahv::platform {

class EventLoop {
 public:
  enum Interest : std::uint32_t { kReadable = 1, kWritable = 2 };
  struct Event {
    int fd = -1;
    bool readable = false;
    bool writable = false;
    bool hangup = false;  // the peer closed or the descriptor failed
  };

  std::error_code open();
  std::error_code add(int fd, std::uint32_t interest);
  std::error_code change(int fd, std::uint32_t interest);
  void remove(int fd) noexcept;
  // Waits until a descriptor is ready, wake() is called or timeout passes. The waker's
  // own readiness is consumed here and never reported.
  std::span<const Event> wait(std::chrono::milliseconds timeout);
  // From any thread; wakes a wait() now or the next one.
  void wake() noexcept;

 private:
  UniqueFd epoll_, waker_;
  std::vector<Event> ready_;
};

}  // namespace vexahv::platform
