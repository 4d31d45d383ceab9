#include "platform/socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket.h"

namespace vexahv::platform {
namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }
std::error_code code(std::errc e) { return std::make_error_code(e); }

}  // namespace

std::error_code waitReady(int fd, bool writable, Deadline deadline) noexcept {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return code(std::errc::timed_out);
    pollfd pfd{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    const int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (n > 0) return (pfd.revents & POLLNVAL) ? code(std::errc::bad_file_descriptor) : std::error_code{};
    if (n == 0) return code(std::errc::timed_out);
    if (errno != EINTR) return lastError();
  }
}

std::error_code sendWithin(int fd, const void* data, std::size_t size, Deadline deadline) noexcept {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    if (auto ec = waitReady(fd, true, deadline)) return ec;
    std::size_t sent = 0;
    if (auto ec = sendSome(fd, p, size, sent); ec && ec != std::errc::operation_would_block) return ec;
    p += sent;
    size -= sent;
  }
  return {};
}

std::error_code receiveWithin(int fd, void* data, std::size_t size, Deadline deadline,
                              std::chrono::microseconds spin) noexcept {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    if (spin.count() > 0) spinUntilReadable(fd, spin);
    if (auto ec = waitReady(fd, false, deadline)) return ec;
    std::size_t received = 0;
    if (auto ec = receiveSome(fd, p, size, received)) {
      if (ec == std::errc::operation_would_block) continue;
      return ec;
    }
    if (received == 0) return code(std::errc::connection_reset);
    p += received;
    size -= received;
  }
  return {};
}

std::error_code sendSome(int fd, const void* data, std::size_t size, std::size_t& sent) noexcept {
  sent = 0;
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return code(std::errc::operation_would_block);
    return lastError();
  }
}

std::error_code receiveSome(int fd, void* data, std::size_t size, std::size_t& received) noexcept {
  received = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return code(std::errc::operation_would_block);
    return lastError();
  }
}

std::error_code receiveExactly(int fd, void* data, std::size_t size) noexcept {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, p, size, 0);
    if (n == 0) return code(std::errc::connection_reset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code receiveDatagram(int fd, void* data, std::size_t size, std::size_t& received) noexcept {
  received = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    return lastError();
  }
}

}  // namespace vexahv::platform
