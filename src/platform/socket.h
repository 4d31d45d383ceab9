#pragma once
// BSD sockets behind one RAII type. Every blocking call can be released from another
// thread by shutdown(), which is how workers are stopped without killing them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexahv::platform {

struct Ipv4Endpoint {
  std::uint32_t address = 0;  // host byte order
  std::uint16_t port = 0;

  // "a.b.c.d" in dotted decimal, nothing else accepted.
  static bool parseAddress(std::string_view text, std::uint32_t& out) noexcept;
  std::string addressText() const;
  std::string toString() const;  // "a.b.c.d:port"
  bool operator==(const Ipv4Endpoint&) const = default;
};

inline constexpr std::uint32_t kLoopback = 0x7f000001u;
// The longest accept queue a listener asks for; the kernel caps it at net.core.somaxconn.
inline constexpr int kLongestBacklog = 4096;

class Socket {
 public:
  enum class Kind { Tcp, Udp };

  Socket() = default;
  static std::error_code open(Kind kind, Socket& out);
  // Takes a descriptor that is already a socket (one handed over by the service manager).
  static Socket adopt(UniqueFd fd) noexcept;

  bool isOpen() const noexcept { return static_cast<bool>(fd_); }
  int fd() const noexcept { return fd_.get(); }

  std::error_code setReuseAddress(bool on) noexcept;
  std::error_code setReceiveTimeout(std::chrono::milliseconds timeout) noexcept;
  std::error_code setSendTimeout(std::chrono::milliseconds timeout) noexcept;
  std::error_code setNoDelay(bool on) noexcept;
  // Calls on a non-blocking socket return errc::operation_would_block instead of waiting.
  std::error_code setNonBlocking(bool on) noexcept;
  // Asks for a receive buffer of that many bytes; the kernel grants at most its
  // net.core.rmem_max (doubled for bookkeeping). The size granted is in granted.
  std::error_code setReceiveBufferSize(int bytes, int& granted) noexcept;

  std::error_code bind(const Ipv4Endpoint& local) noexcept;
  std::error_code listen(int backlog = 16) noexcept;
  // Blocks until a peer connects, the receive time-out passes or shutdown() is called.
  // On a non-blocking socket: errc::operation_would_block when none is waiting; the peer's
  // socket is non-blocking too.
  std::error_code accept(Socket& peer, Ipv4Endpoint* from = nullptr) noexcept;
  // Connects within timeout (non-blocking connect and poll).
  std::error_code connect(const Ipv4Endpoint& remote, std::chrono::milliseconds timeout) noexcept;

  // Sends every byte, or fails.
  std::error_code sendAll(const void* data, std::size_t size) noexcept;
  std::error_code sendTo(const void* data, std::size_t size, const Ipv4Endpoint& to) noexcept;
  // One recv; received == 0 means the peer closed (or shutdown() was called).
  std::error_code receive(void* data, std::size_t size, std::size_t& received) noexcept;
  // Exactly size bytes, or an error (errc::connection_reset when the peer closed early).
  std::error_code receiveAll(void* data, std::size_t size) noexcept;
  std::error_code receiveFrom(void* data, std::size_t size, std::size_t& received,
                              Ipv4Endpoint* from) noexcept;

  // Datagram sockets: blocks until a datagram is queued and tells its sender, leaving the
  // datagram queued for the next receive. errc::not_connected once shutdown() was called.
  std::error_code peekSender(Ipv4Endpoint& from) noexcept;

  // errc::address_family_not_supported for a socket that is not IPv4.
  std::error_code localEndpoint(Ipv4Endpoint& out) const noexcept;

  // Ends both directions; a thread blocked in accept or receive returns at once.
  void shutdown() noexcept;
  void close() noexcept { fd_.reset(); }

 private:
  UniqueFd fd_;
};

// A descriptor to wait for, and what it became.
struct Readiness {
  int fd = -1;
  bool wantRead = false;
  bool wantWrite = false;
  bool readable = false;  // or closed by the peer, or failed: a read tells which
  bool writable = false;
};
// Waits until one of them is ready or timeout passes; false when none became ready.
bool waitReady(Readiness* fds, std::size_t count, std::chrono::milliseconds timeout) noexcept;

// Spins (polling without sleeping) until fd is readable or budget has passed. A peer that
// answers within microseconds is then read without the scheduler's wake-up delay, which
// on an idle machine costs far more than the exchange itself.
void spinUntilReadable(int fd, std::chrono::microseconds budget) noexcept;

}  // namespace vexahv::platform
