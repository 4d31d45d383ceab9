#include "platform/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace vexahv::platform {
namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

std::uint32_t epollEvents(std::uint32_t interest) {
  return ((interest & EventLoop::kReadable) ? std::uint32_t{EPOLLIN} : 0u) |
         ((interest & EventLoop::kWritable) ? std::uint32_t{EPOLLOUT} : 0u);
}

constexpr int kMaxEvents = 64;

}  // namespace

std::error_code EventLoop::open() {
  epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_) return lastError();
  waker_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!waker_) return lastError();
  ready_.reserve(kMaxEvents);
  return add(waker_.get(), kReadable);
}

std::error_code EventLoop::add(int fd, std::uint32_t interest) {
  epoll_event ev{};
  ev.events = epollEvents(interest);
  ev.data.fd = fd;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return lastError();
  return {};
}

std::error_code EventLoop::change(int fd, std::uint32_t interest) {
  epoll_event ev{};
  ev.events = epollEvents(interest);
  ev.data.fd = fd;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) != 0) return lastError();
  return {};
}

void EventLoop::remove(int fd) noexcept { ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr); }

std::span<const EventLoop::Event> EventLoop::wait(std::chrono::milliseconds timeout) {
  epoll_event raw[kMaxEvents];
  ready_.clear();
  const int n = ::epoll_wait(epoll_.get(), raw, kMaxEvents, static_cast<int>(timeout.count()));
  for (int i = 0; i < n; ++i) {
    const epoll_event& e = raw[i];
    if (e.data.fd == waker_.get()) {
      std::uint64_t count = 0;
      (void)!::read(waker_.get(), &count, sizeof count);
      continue;
    }
    ready_.push_back(Event{e.data.fd, (e.events & EPOLLIN) != 0, (e.events & EPOLLOUT) != 0,
                           (e.events & (EPOLLHUP | EPOLLERR)) != 0});
  }
  return ready_;
}

void EventLoop::wake() noexcept {
  if (!waker_) return;
  const std::uint64_t one = 1;
  (void)!::write(waker_.get(), &one, sizeof one);
}

}  // namespace vexahv::platform
