#include "events/tcp_event_server.h"

#include <sys/socket.h>

#include <string>

#include "addressspace/event_ports.h"
#include "addressspace/vexahv_opc_server.h"
#include "events/event_dispatch.h"
#include "hwlib/VEXAHVWrapper.h"
#include "platform/interruptible_sleep.h"
#include "logging/logging.h"

namespace vexahv::events {
using Clock = std::chrono::steady_clock;

bool TcpEventServer::start() {
  try {
    thread_ = platform::WorkerThread("vexahv-tcpsrv", [this](std::stop_token st) { run(st); });
  } catch (const std::exception&) {
    logError("Error while creating TCP server thread");
    return false;
  }
  return true;
}

void TcpEventServer::stop() {
  thread_.requestStop();
  {
    std::lock_guard l(listenerMutex_);
    listener_.shutdown();
  }
  thread_.join();
  std::lock_guard l(listenerMutex_);
  listener_.close();
}

void TcpEventServer::endClientThread(VEXAHVElement& node) {
  if (!node.crate()) return;
  Crate& crate = *node.crate();
  std::unique_ptr<platform::WorkerThread> thread = crate.takeEventThread();
  if (thread) thread->requestStop();
  crate.shutdownEventSocket();
  thread.reset();  // joins
  crate.takeEventSocket().close();
}

void TcpEventServer::run(std::stop_token stop) {
  platform::Socket listener;
  if (platform::Socket::open(platform::Socket::Kind::Tcp, listener)) {
    logError("Error while creating TCP server - [1]");
    ready_.set();
    return;
  }
  // On TCP (unlike UDP) this never lets a second server listen on the port; it lets this
  // one bind again while connections of a previous run linger in TIME_WAIT, which would
  // otherwise move the port upward on every restart, away from the firewall's rule.
  listener.setReuseAddress(true);
  std::uint16_t port = tcpEventPort.load();
  for (;;) {
    const std::error_code ec = listener.bind(platform::Ipv4Endpoint{0, port});
    if (!ec) break;
    if (ec != std::errc::address_in_use || port >= 65535) {
      logError("Error while creating TCP server - [2]");
      ready_.set();
      return;
    }
    ++port;
  }
  tcpEventPort = port;
  if (listener.listen(SOMAXCONN)) {
    logError("Error while creating TCP server - [3]");
    ready_.set();
    return;
  }
  {
    std::lock_guard l(listenerMutex_);
    listener_ = std::move(listener);
  }
  ready_.set();
  if (stop.stop_requested()) return;
  for (;;) {
    platform::Socket connection;
    platform::Ipv4Endpoint from;
    // Outside the lock: the listener is not replaced while this thread runs, only shut
    // down by stop(), which releases the accept.
    const std::error_code ec = listener_.accept(connection, &from);
    if (stop.stop_requested()) return;
    if (ec) {
      logCritical("Error in TCP server - Client socket is invalid");
      // Out of descriptors, say: accepting again at once would spin.
      platform::sleepFor(stop, std::chrono::milliseconds(100));
      continue;
    }
    VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
    if (server == nullptr) {
      logCritical("Error in TCP server - OPCServer does not exists");
      return;
    }
    SystemList* list = server->getSystemList();
    if (list == nullptr) {
      logCritical("Error in TCP server - OPCServer Configuration does not exists");
      return;
    }
    const std::string peer = from.addressText();
    VEXAHVElementPtr system;
    // Only a system that reports over TCP: a connection from the address of a UDP crate
    // must neither mark it Ok nor, when it ends, Ko.
    for (const auto& node : list->snapshot()) {
      if (node->crate() && node->getSystemType() == 2 && node->getAddress() == peer) {
        system = node;
        break;
      }
    }
    if (!system) {
      // Left open, each such connection would hold a descriptor for ever.
      logWarning("TCP event connection from [", peer, "] matches no configured system: closed");
      continue;
    }
    serve(system, std::move(connection));
  }
}

void TcpEventServer::serve(const VEXAHVElementPtr& node, platform::Socket connection) {
  // One client thread per system: a new connection replaces the old one.
  endClientThread(*node);
  connection.setReceiveTimeout(silenceTimeout_);
  Crate& crate = *node->crate();
  crate.setEventSocket(std::move(connection));
  node->setConnectionStatus(kStatusOk);
  try {
    crate.setEventThread(std::make_unique<platform::WorkerThread>(
        "vexahv-tcpev", [node, silence = silenceTimeout_](std::stop_token st) { clientThread(st, node, silence); }));
  } catch (const std::exception&) {
    logError("Error while creating thread for TCP client [", node->getAddress(), "]");
    crate.setEventThread(nullptr);
  }
}

void TcpEventServer::clientThread(std::stop_token stop, const VEXAHVElementPtr& node,
                                  std::chrono::milliseconds silence) {
  logNotice("Starting events data loop");
  if (!node) {
    logCritical("No system tree in tcp client thread - Exit Thread");
    return;
  }
  Crate& crate = *node->crate();
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logCritical("OPCServer does not exists - Exit Thread");
    crate.eventThreadEnded();
    return;
  }
  if (server->getSystemList() == nullptr) {
    logCritical("OPCServer configuration does not exists - Exit Thread");
    crate.eventThreadEnded();
    return;
  }
  crate.eventConnectionOpened();
  const int fd = crate.eventSocketFd();
  auto last = Clock::now();
  int rc = 0;
  for (;;) {
    VEXAHVSystemStatus status{};
    VEXAHVTcpEventRecord* records = nullptr;
    unsigned count = 0;
    rc = VEXAHV_GetEventData(fd, &status, &records, &count);
    if (rc != 0) break;
    last = Clock::now();
    applyTcpBatch(*node, records, count);
    VEXAHV_FreeEventData(&records);
  }
  // Ended on purpose (a reconnection, a newer connection, the stop): not a failure.
  if (stop.stop_requested()) return;
  const std::string address = node->getAddress();
  const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last);
  // The receive time-out may end a little early (timer granularity).
  if (quiet >= silence - silence / 10) {
    logWarning("TCP event connection of system [", node->getName(), "] delivered nothing for [", quiet.count(),
               "ms]");
  }
  logError("Socket error for client [", address, "] - res = [", rc, "]");
  node->setConnectionStatus(kStatusKo);
  logNotice("Trying to reconnect to", address, "]");
  crate.setKeepAliveState(0);
  crate.eventThreadEnded();
}

}  // namespace vexahv::events
