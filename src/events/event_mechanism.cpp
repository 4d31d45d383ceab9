#include "events/event_mechanism.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "addressspace/event_ports.h"
#include "addressspace/vexahv_opc_server.h"
#include "config/server_globals.h"
#include "events/verification.h"
#include "logging/logging.h"

namespace vexahv::events {
namespace globals = VEXAHVServerGlobals;
namespace {

void fromVariable(const char* name, std::chrono::milliseconds& out) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  unsigned ms = 0;
  const auto [end, ec] = std::from_chars(text, text + std::strlen(text), ms);
  if (ec == std::errc() && *end == '\0' && ms >= 10 && ms <= 3600000) out = std::chrono::milliseconds(ms);
  else logWarning(name, " [", text, "] is not a number of milliseconds from 10 to 3600000: ignored");
}

}  // namespace

EventTimings EventTimings::fromEnvironment() {
  EventTimings t;
  fromVariable("VEXAHV_KEEPALIVE_PERIOD_MS", t.probePeriod);
  fromVariable("VEXAHV_TCP_EVENT_SILENCE_MS", t.tcpSilence);
  return t;
}

EventMechanism::EventMechanism(EventTimings timings)
    : timings_(timings),
      tcp_(timings.tcpSilence),
      keepAlive_(timings.probePeriod, timings.tcpSilence,
                 [this](VEXAHVElement& node, std::stop_token stop) { systemJoined(node, stop); }),
      verification_("vexahv-verify", [this] { verifySystems(stopping_.get_token()); }),
      udp_(verification_) {}

void EventMechanism::startTcpServer() {
  if (!tcp_.start()) return;
  if (tcp_.ready().wait(timings_.tcpReadyWait) != platform::WaitResult::Signalled) {
    logError("TCP event server not listening after [", timings_.tcpReadyWait.count(), "ms]: start-up goes on");
  }
}

void EventMechanism::openUdpPort() {
  if (globals::eventEnabled) (void)udp_.open();
}

void EventMechanism::startEvents(std::stop_token stop) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  SystemList* list = server != nullptr ? server->getSystemList() : nullptr;
  if (list == nullptr || list->size() == 0 || !globals::eventEnabled || !eventsAvailable) return;
  std::lock_guard l(startMutex_);
  if (eventsStarted_) return;
  logDebug("Starting events mechanism");
  // Set before the wait: the thread is never started twice, even by a start that a stop
  // interrupted; joining systems wait on startMutex_ until its subscriptions are made.
  eventsStarted_ = true;
  if (udp_.start(started_)) {
    // The thread signals exactly once; a stop ends the wait.
    while (started_.wait(stop, std::chrono::seconds(1)) == platform::WaitResult::TimedOut) {
    }
    if (stop.stop_requested()) return;
  }
  verification_.start(std::chrono::milliseconds(std::int64_t{globals::verifyTime} * 1000));
}

void EventMechanism::systemJoined(VEXAHVElement& node, std::stop_token stop) {
  const std::int32_t type = node.getSystemType();
  if (type == 2 || !globals::eventEnabled || stop.stop_requested()) return;
  {
    std::lock_guard l(startMutex_);
    if (eventsStarted_) {
      UdpEventLoop::subscribeKeepAlive(node);
      return;
    }
  }
  // The thread subscribes every UDP system, this one included, when it starts.
  if (type == 0) startEvents(stop);
}

void EventMechanism::stop() {
  stopping_.request_stop();
  keepAlive_.stop();
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (SystemList* list = server->getSystemList()) {
      for (const auto& node : list->snapshot()) {
        if (node->getSystemType() == 2) TcpEventServer::endClientThread(*node);
      }
    }
  }
  udp_.stop();
  verification_.stop();
  tcp_.stop();
}

}  // namespace vexahv::events
