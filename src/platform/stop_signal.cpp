#include "platform/stop_signal.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vexahv::platform {

std::error_code StopSignal::open() {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGTERM);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGHUP);
  sigaddset(&signals_, SIGUSR1);
  if (const int rc = pthread_sigmask(SIG_BLOCK, &signals_, nullptr); rc != 0)
    return {rc, std::system_category()};
  signalFd_.reset(::signalfd(-1, &signals_, SFD_CLOEXEC));
  if (!signalFd_) return {errno, std::system_category()};
  wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd_) return {errno, std::system_category()};
  return {};
}

int StopSignal::wait() {
  pollfd fds[2] = {{signalFd_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 0;  // cannot wait any longer: treat as a stop
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
    }
    if (fds[1].revents & POLLIN) return 0;
    if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) return 0;
  }
}

void StopSignal::wake() noexcept {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

}  // namespace vexahv::platform
