#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace vexahv::platform {
namespace {

std::error_code lastError() noexcept { return {errno, std::generic_category()}; }

sockaddr_in toSockaddr(const Ipv4Endpoint& ep) noexcept {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(ep.address);
  sa.sin_port = htons(ep.port);
  return sa;
}

Ipv4Endpoint fromSockaddr(const sockaddr_in& sa) noexcept {
  return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

timeval toTimeval(std::chrono::milliseconds t) noexcept {
  if (t.count() < 0) t = std::chrono::milliseconds(0);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(t.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((t.count() % 1000) * 1000);
  return tv;
}

}  // namespace

bool Ipv4Endpoint::parseAddress(std::string_view text, std::uint32_t& out) noexcept {
  std::uint32_t value = 0;
  const char* p = text.data();
  const char* end = text.data() + text.size();
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p == end || *p != '.') return false;
      ++p;
    }
    if (p == end || *p < '0' || *p > '9') return false;
    unsigned octet = 0;
    auto [next, ec] = std::from_chars(p, end, octet);
    if (ec != std::errc() || octet > 255 || next - p > 3) return false;
    p = next;
    value = (value << 8) | octet;
  }
  if (p != end) return false;
  out = value;
  return true;
}

std::string Ipv4Endpoint::addressText() const {
  return std::to_string((address >> 24) & 0xff) + "." + std::to_string((address >> 16) & 0xff) +
         "." + std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
}

std::string Ipv4Endpoint::toString() const { return addressText() + ":" + std::to_string(port); }

std::error_code Socket::open(Kind kind, Socket& out) {
  int fd = ::socket(AF_INET, (kind == Kind::Tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) return lastError();
  out.fd_.reset(fd);
  return {};
}

std::error_code Socket::setReuseAddress(bool on) noexcept {
  int v = on ? 1 : 0;
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) != 0) return lastError();
  return {};
}

std::error_code Socket::setReceiveBufferSize(int bytes, int& granted) noexcept {
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return lastError();
  socklen_t len = sizeof granted;
  if (::getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) return lastError();
  return {};
}

std::error_code Socket::setReceiveTimeout(std::chrono::milliseconds timeout) noexcept {
  timeval tv = toTimeval(timeout);
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return lastError();
  return {};
}

std::error_code Socket::setSendTimeout(std::chrono::milliseconds timeout) noexcept {
  timeval tv = toTimeval(timeout);
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return lastError();
  return {};
}

Socket Socket::adopt(UniqueFd fd) noexcept {
  Socket s;
  s.fd_ = std::move(fd);
  return s;
}

std::error_code Socket::setNonBlocking(bool on) noexcept {
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) return lastError();
  return {};
}

std::error_code Socket::setNoDelay(bool on) noexcept {
  int v = on ? 1 : 0;
  if (::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) != 0) return lastError();
  return {};
}

std::error_code Socket::bind(const Ipv4Endpoint& local) noexcept {
  sockaddr_in sa = toSockaddr(local);
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return lastError();
  return {};
}

std::error_code Socket::listen(int backlog) noexcept {
  if (::listen(fd_.get(), backlog) != 0) return lastError();
  return {};
}

std::error_code Socket::accept(Socket& peer, Ipv4Endpoint* from) noexcept {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    const int peerFlags = SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    int fd = ::accept4(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len, peerFlags);
    if (fd >= 0) {
      peer.fd_.reset(fd);
      if (from) *from = fromSockaddr(sa);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::make_error_code(std::errc::operation_would_block);
    return lastError();
  }
}

std::error_code Socket::connect(const Ipv4Endpoint& remote,
                                std::chrono::milliseconds timeout) noexcept {
  int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) != 0) return lastError();
  sockaddr_in sa = toSockaddr(remote);
  std::error_code result;
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      result = lastError();
    } else {
      pollfd pfd{fd_.get(), POLLOUT, 0};
      int n;
      do {
        n = ::poll(&pfd, 1, static_cast<int>(timeout.count() < 0 ? 0 : timeout.count()));
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        result = lastError();
      } else if (n == 0) {
        result = std::make_error_code(std::errc::timed_out);
      } else {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) result = {err, std::generic_category()};
      }
    }
  }
  ::fcntl(fd_.get(), F_SETFL, flags);
  return result;
}

std::error_code Socket::sendAll(const void* data, std::size_t size) noexcept {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd_.get(), p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code Socket::sendTo(const void* data, std::size_t size,
                               const Ipv4Endpoint& to) noexcept {
  sockaddr_in sa = toSockaddr(to);
  for (;;) {
    ssize_t n = ::sendto(fd_.get(), data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa),
                         sizeof sa);
    if (n >= 0) return {};
    if (errno != EINTR) return lastError();
  }
}

std::error_code Socket::receive(void* data, std::size_t size, std::size_t& received) noexcept {
  for (;;) {
    ssize_t n = ::recv(fd_.get(), data, size, 0);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    received = 0;
    return lastError();
  }
}

std::error_code Socket::receiveAll(void* data, std::size_t size) noexcept {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    std::size_t n = 0;
    if (auto ec = receive(p, size, n)) return ec;
    if (n == 0) return std::make_error_code(std::errc::connection_reset);
    p += n;
    size -= n;
  }
  return {};
}

std::error_code Socket::receiveFrom(void* data, std::size_t size, std::size_t& received,
                                    Ipv4Endpoint* from) noexcept {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = ::recvfrom(fd_.get(), data, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
      received = static_cast<std::size_t>(n);
      if (from) *from = fromSockaddr(sa);
      return {};
    }
    if (errno == EINTR) continue;
    received = 0;
    return lastError();
  }
}

std::error_code Socket::peekSender(Ipv4Endpoint& from) noexcept {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n = ::recvfrom(fd_.get(), nullptr, 0, MSG_PEEK, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
      // A shut-down socket returns at once with no sender at all.
      if (len < sizeof sa || sa.sin_family != AF_INET) return std::make_error_code(std::errc::not_connected);
      from = fromSockaddr(sa);
      return {};
    }
    if (errno == EINTR) continue;
    return lastError();
  }
}

std::error_code Socket::localEndpoint(Ipv4Endpoint& out) const noexcept {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastError();
  if (sa.sin_family != AF_INET) return std::make_error_code(std::errc::address_family_not_supported);
  out = fromSockaddr(sa);
  return {};
}

void Socket::shutdown() noexcept {
  if (fd_) ::shutdown(fd_.get(), SHUT_RDWR);
}

bool waitReady(Readiness* fds, std::size_t count, std::chrono::milliseconds timeout) noexcept {
  pollfd polled[4];
  if (count > std::size(polled)) count = std::size(polled);
  for (std::size_t i = 0; i < count; ++i) {
    polled[i] = pollfd{fds[i].fd, static_cast<short>((fds[i].wantRead ? POLLIN : 0) | (fds[i].wantWrite ? POLLOUT : 0)), 0};
  }
  const int n = ::poll(polled, count, static_cast<int>(timeout.count()));
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].readable = n > 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    fds[i].writable = n > 0 && (polled[i].revents & (POLLOUT | POLLERR)) != 0;
  }
  return n > 0;
}

void spinUntilReadable(int fd, std::chrono::microseconds budget) noexcept {
  const auto until = std::chrono::steady_clock::now() + budget;
  do {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 0) != 0) return;
  } while (std::chrono::steady_clock::now() < until);
}

}  // namespace vexahv::platform
