#include "events/udp_event_loop.h"

#include <cstring>
#include <string>

#include "addressspace/event_ports.h"
#include "addressspace/hardware_alarms.h"
#include "addressspace/vexahv_opc_server.h"
#include "config/server_globals.h"
#include "events/event_dispatch.h"
#include "hwlib/VEXAHVWrapper.h"
#include "platform/interruptible_sleep.h"
#include "logging/logging.h"
#include "opctoolbox/application.h"

namespace vexahv::events {
namespace globals = VEXAHVServerGlobals;

int openEventSocket(platform::Socket& out, std::uint16_t& port) {
  platform::Socket s;
  if (platform::Socket::open(platform::Socket::Kind::Udp, s)) return 1;
  // No SO_REUSEADDR: on a UDP socket it lets a second server bind the same port and take
  // this one's datagrams; a port in use must move this server upward instead.
  int granted = 0;
  s.setReceiveBufferSize(kEventReceiveBuffer, granted);
  while (port < 65535) {
    if (!s.bind(platform::Ipv4Endpoint{0, port})) {
      out = std::move(s);
      return 0;
    }
    ++port;
  }
  return 1;
}

bool UdpEventLoop::start(platform::AutoResetEvent& started) {
  try {
    thread_ = platform::WorkerThread("vexahv-events", [this, &started](std::stop_token st) { run(st, started); });
  } catch (const std::exception&) {
    logError("Error while creating TCP server thread");
    return false;
  }
  return true;
}

bool UdpEventLoop::open() {
  std::lock_guard l(socketMutex_);
  if (socket_.isOpen()) return true;
  std::uint16_t port = udpEventPort.load();
  if (openEventSocket(socket_, port) != 0) {
    logError("Failed open socket");
    return false;
  }
  udpEventPort = port;
  return true;
}

void UdpEventLoop::stop() {
  thread_.requestStop();
  {
    std::lock_guard l(socketMutex_);
    socket_.shutdown();
  }
  thread_.join();
  std::lock_guard l(socketMutex_);
  socket_.close();
}

void UdpEventLoop::run(std::stop_token stop, platform::AutoResetEvent& started) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) {
    logAlert("Impossible to receive events, because VEXAHVOPCServer has not been found");
    started.set();
    return;
  }
  SystemList* list = server->getSystemList();
  if (list == nullptr) {
    logAlert("Impossible to receive events, because VEXAHVOPCServer configuration is not valid");
    started.set();
    return;
  }
  if (stop.stop_requested()) {  // stopped before it began: nothing failed
    started.set();
    return;
  }
  if (!open()) {
    started.set();
    return;
  }
  int fd = -1;
  {
    std::lock_guard l(socketMutex_);
    fd = socket_.fd();
  }
  for (const auto& node : list->snapshot()) {
    if (node->getSystemType() != 2) subscribeKeepAlive(*node);
  }
  started.set();
  logNotice("Starting events data loop");

  while (!stop.stop_requested()) {
    platform::Ipv4Endpoint from;
    if (socket_.peekSender(from)) {
      if (stop.stop_requested()) break;
      platform::sleepFor(stop, std::chrono::milliseconds(200));
      continue;
    }
    const auto systems = senders_.systemsAt(from.address);
    if (!systems) {
      // Not even decoded: a stranger's bytes cost one receive and a counter.
      char byte = 0;
      std::size_t n = 0;
      (void)socket_.receive(&byte, 1, n);
      droppedDatagrams_.fetch_add(1, std::memory_order_relaxed);
      dropped(from, "a datagram");
      continue;
    }
    applyBatch(*systems, from, fd);
  }
}

void UdpEventLoop::applyBatch(const UdpSenders::Crates& systems, const platform::Ipv4Endpoint& from, int fd) {
  VEXAHVUdpEventRecord* records = nullptr;
  unsigned count = 0;
  const int rc = VEXAHVGetEventData(fd, &records, &count);
  if (rc != 0) {
    // A damaged datagram is followed by the next at once; a failing socket is paused on
    // by the peek that comes next.
    if (rc != VEXAHV_ERR_SOCKET) {
      logWarning("Event data not valid - res = [", rc, "]");
      for (const auto& crate : systems) crate->countEventDropped(Crate::EventDrop::DamagedDatagram);
    }
    return;
  }
  logDebug("Event received");
  if (verification_.armed()) verification_.stop();
  const auto now = std::chrono::steady_clock::now();
  for (const auto& crate : systems) {
    crate->heardFrom(now);
    if (crate->setEventsLost(false)) {
      logNotice("Event data from system [", crate->name(), "] comes again");
      reportCrateEvents(OpcToolbox::getApp()->conditions(), crate->name(), false);
    }
  }
  for (unsigned i = 0; i < count; ++i) {
    const VEXAHVUdpEventRecord& record = records[i];
    if (Crate* crate = UdpSenders::speaksFor(systems, std::string_view(record.id, ::strnlen(record.id, sizeof record.id)))) {
      applyUdpEvent(*crate, record);
    } else {
      droppedRecords_.fetch_add(1, std::memory_order_relaxed);
      dropped(from, "a record of another system");
    }
  }
  VEXAHVFreeEventData(&records);
  batches_.fetch_add(1, std::memory_order_relaxed);
  verification_.start(std::chrono::milliseconds(std::int64_t{globals::verifyTime} * 1000));
}

void UdpEventLoop::dropped(const platform::Ipv4Endpoint& from, std::string_view what) {
  // One line per period at most: a flood must not fill the disk.
  constexpr auto kWarningPeriod = std::chrono::seconds(10);
  const auto now = std::chrono::steady_clock::now();
  if (lastDropWarning_ != std::chrono::steady_clock::time_point{} && now - lastDropWarning_ < kWarningPeriod) return;
  lastDropWarning_ = now;
  logWarning("UDP event data from [", from.addressText(), "] dropped (", what, "): it is no mainframe of this server",
             " or speaks for another; [", droppedDatagrams_.load(), "] datagrams and [", droppedRecords_.load(),
             "] records dropped so far");
}

void UdpEventLoop::subscribeKeepAlive(VEXAHVElement& node) {
  const std::string name = node.getName();
  std::string names = name + ".KeepAlive";
  std::uint16_t count = 1;
  if (globals::liveInsertRemoval) {
    names += ":" + name + ".LiveInsRem";
    count = 2;
  }
  char codes[2] = {};
  if (VEXAHV_Subscribe(node.getHandle(), udpEventPort.load(), count, names.c_str(), codes) == 0) {
    logNotice("Keep alive/Live insertion registered");
  } else {
    logError("Keep alive/Live insertion registration failed");
  }
  // Its silence is counted from now.
  if (node.crate()) node.crate()->heardFrom(std::chrono::steady_clock::now());
  node.setKeepAliveState(1);
}

}  // namespace vexahv::events
