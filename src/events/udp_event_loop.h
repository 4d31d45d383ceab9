#pragma once
// The events thread: one UDP socket for every mainframe that reports over UDP. It
// subscribes each such system's keep-alive (and live insertion), says so once, then
// receives batches for as long as the run lasts, applying each and stopping the
// verification timer while it does.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "addressspace/vexahv_element.h"

#include "events/udp_senders.h"
#include "platform/periodic_timer.h"
#include "platform/socket.h"
#include "platform/sync_event.h"
#include "platform/worker_thread.h"

namespace vexahv::events {

// The receive buffer asked of the kernel: a burst of every channel of many crates
// (thousands of 325-byte records) must wait there while a batch is being applied.
inline constexpr int kEventReceiveBuffer = 4 << 20;

// A UDP socket bound to port, or the first free one above it (65535 is never tried);
// port ends as the one bound. 0 on success.
int openEventSocket(platform::Socket& out, std::uint16_t& port);

class UdpEventLoop {
 public:
  explicit UdpEventLoop(platform::PeriodicTimer& verification) : verification_(verification) {}
  ~UdpEventLoop() { stop(); }
  UdpEventLoop(const UdpEventLoop&) = delete;
  UdpEventLoop& operator=(const UdpEventLoop&) = delete;

  // startEventsThread: true when the thread runs. started is set exactly once by the
  // thread: when its subscriptions are in place or when it gave up.
  bool start(platform::AutoResetEvent& started);
  // Binds the socket (to the events port or the first free one above it) and publishes
  // the port, unless it is bound already; run() binds it when this was not called.
  // false when no port could be bound, with the line logged.
  bool open();
  // Releases the thread from its receive (the socket is shut down) and joins it.
  void stop();
  // Batches applied since the start (for tests and benchmarks).
  std::uint64_t batches() const noexcept { return batches_.load(); }
  // Datagrams from an address that is no UDP system, and records of a system that is not
  // at the sender's address: dropped, never applied.
  std::uint64_t droppedDatagrams() const noexcept { return droppedDatagrams_.load(); }
  std::uint64_t droppedRecords() const noexcept { return droppedRecords_.load(); }

  // Subscribes one system's keep-alive (and live insertion) on the events port, and
  // marks it alive. The thread does it for every system at its start; a system that
  // joins later (built or reconnected after that) is subscribed through this.
  static void subscribeKeepAlive(VEXAHVElement& node);

 private:
  void run(std::stop_token stop, platform::AutoResetEvent& started);
  // The batch of one datagram from a UDP system's address, its records checked.
  void applyBatch(const UdpSenders::Crates& systems, const platform::Ipv4Endpoint& from, int fd);
  void dropped(const platform::Ipv4Endpoint& from, std::string_view what);

  platform::PeriodicTimer& verification_;
  std::mutex socketMutex_;
  platform::Socket socket_;
  UdpSenders senders_;
  std::atomic<std::uint64_t> batches_{0};
  std::atomic<std::uint64_t> droppedDatagrams_{0}, droppedRecords_{0};
  std::chrono::steady_clock::time_point lastDropWarning_{};
  platform::WorkerThread thread_;
};

}  // namespace vexahv::events
