#pragma once
// A counting semaphore that sleeps in the kernel only when it must: post() makes a system
// call only when a thread is waiting, wait() only when the count is zero, and neither
// spins or yields (std::counting_semaphore yields in a loop before it sleeps, which costs
// a thread that is woken for every request).

#include <semaphore.h>

#include <cerrno>

namespace vexahv::platform {

class WakeSemaphore {
 public:
  WakeSemaphore() noexcept { ::sem_init(&sem_, 0, 0); }
  ~WakeSemaphore() { ::sem_destroy(&sem_); }
  WakeSemaphore(const WakeSemaphore&) = delete;
  WakeSemaphore& operator=(const WakeSemaphore&) = delete;

  void post() noexcept { ::sem_post(&sem_); }
  void wait() noexcept {
    while (::sem_wait(&sem_) != 0 && errno == EINTR) {
    }
  }

 private:
  sem_t sem_;
};

}  // namespace vexahv::platform
