#pragma once
// A named thread that is stopped, never killed: its body takes a stop token, the owner's
// destructor requests stop and joins. An exception escaping the body is reported and
// ends that thread only.

#include <functional>
#include <stop_token>
#include <string>
#include <thread>

namespace vexahv::platform {

class WorkerThread {
 public:
  using Body = std::function<void(std::stop_token)>;

  WorkerThread() = default;
  // name: at most 15 characters reach the kernel (shown by ps and gdb).
  WorkerThread(std::string name, Body body);
  ~WorkerThread() { stopAndJoin(); }

  WorkerThread(WorkerThread&&) = default;
  WorkerThread& operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
      stopAndJoin();
      thread_ = std::move(other.thread_);
    }
    return *this;
  }

  bool running() const noexcept { return thread_.joinable(); }
  void requestStop() noexcept { thread_.request_stop(); }
  std::stop_source stopSource() noexcept { return thread_.get_stop_source(); }
  void join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }
  void stopAndJoin() {
    requestStop();
    join();
  }

 private:
  std::jthread thread_;
};

}  // namespace vexahv::platform
