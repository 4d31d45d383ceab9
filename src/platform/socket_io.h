#pragma once
// Byte-stream and datagram I/O on a descriptor, for the threads that own one: with a
// deadline (a peer that stops answering costs at most the time left), without blocking
// (what the socket takes or holds now), or blocking until a shutdown releases it. Errors:
// errc::timed_out past the deadline, errc::operation_would_block when a non-blocking call
// finds nothing to do, errc::connection_reset when the peer closed, else the system's.

#include <chrono>
#include <cstddef>
#include <system_error>

namespace vexahv::platform {

using Deadline = std::chrono::steady_clock::time_point;

// Waits until fd is readable (or writable), or the deadline passes.
std::error_code waitReady(int fd, bool writable, Deadline deadline) noexcept;
// Every byte before the deadline.
std::error_code sendWithin(int fd, const void* data, std::size_t size, Deadline deadline) noexcept;
// Exactly size bytes before the deadline; spins up to spin first on each wait, so that a
// peer answering within microseconds is read without a sleep and a wake-up.
std::error_code receiveWithin(int fd, void* data, std::size_t size, Deadline deadline,
                              std::chrono::microseconds spin = {}) noexcept;
// What a non-blocking socket takes now (sent may be less than size).
std::error_code sendSome(int fd, const void* data, std::size_t size, std::size_t& sent) noexcept;
// What a non-blocking socket holds now; received 0 with no error: the peer closed.
std::error_code receiveSome(int fd, void* data, std::size_t size, std::size_t& received) noexcept;
// Blocking: exactly size bytes, or the error (errc::connection_reset at the end of the
// stream or after a shutdown).
std::error_code receiveExactly(int fd, void* data, std::size_t size) noexcept;
// Blocking: one datagram (received 0: the socket was shut down).
std::error_code receiveDatagram(int fd, void* data, std::size_t size, std::size_t& received) noexcept;

}  // namespace vexahv::platform
