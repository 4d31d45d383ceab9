#pragma once
// The events and supervision subsystem as the start-up and stop sequences see it: the
// TCP event server (started first, so that its port is final before any subscription),
// the keep-alive threads the builder starts, the events thread with the verification
// timer, and one stop that ends every thread of them.

#include <atomic>
#include <chrono>
#include <mutex>
#include <stop_token>

#include "events/keep_alive.h"
#include "events/tcp_event_server.h"
#include "events/udp_event_loop.h"
#include "platform/periodic_timer.h"
#include "platform/sync_event.h"

namespace vexahv::events {

struct EventTimings {
  std::chrono::milliseconds probePeriod = kProbePeriod;
  // A TCP event connection silent this long has failed (keep-alives come every second).
  std::chrono::milliseconds tcpSilence{10000};
  // How long the start-up waits for the TCP event server to listen or give up.
  std::chrono::milliseconds tcpReadyWait{10000};
  // VEXAHV_KEEPALIVE_PERIOD_MS and VEXAHV_TCP_EVENT_SILENCE_MS over the defaults (tests).
  static EventTimings fromEnvironment();
};

class EventMechanism {
 public:
  explicit EventMechanism(EventTimings timings = {});
  ~EventMechanism() { stop(); }
  EventMechanism(const EventMechanism&) = delete;
  EventMechanism& operator=(const EventMechanism&) = delete;

  // Starts the TCP event server and waits until it listens or has given up (bounded: a
  // server thread that never says so is not waited for beyond tcpReadyWait).
  void startTcpServer();
  // Binds the UDP events port before anything is built, as the TCP server listens before:
  // a port in use moves it upward, and every subscription of the build must name the
  // port the events will arrive on. Does nothing with event mode off.
  void openUdpPort();
  KeepAliveSupervisor& keepAlive() { return keepAlive_; }
  // After the build, when there are systems, event mode is on and the event test worked:
  // the events thread, awaited until its subscriptions are in place, and the timer. Runs
  // once; later calls (and calls from several threads) do nothing more.
  void startEvents(std::stop_token stop);
  bool eventsRunning() const noexcept { return eventsStarted_.load(); }
  // A system connected again, or built for the first time, after the start-up (on its
  // keep-alive thread): a UDP system of type 0 whose event test worked starts the events
  // thread and the timer if nobody did yet; any UDP system joins a running thread with its
  // keep-alive subscription. A type-0 crate that comes up late must not freeze.
  void systemJoined(VEXAHVElement& node, std::stop_token stop);
  UdpEventLoop& udp() { return udp_; }

  // Ends the keep-alive threads, the TCP client threads, the events thread, the timer and
  // the TCP event server, in that order. Safe to call more than once.
  void stop();

 private:
  const EventTimings timings_;
  std::stop_source stopping_;
  TcpEventServer tcp_;
  KeepAliveSupervisor keepAlive_;
  platform::PeriodicTimer verification_;
  UdpEventLoop udp_;
  platform::AutoResetEvent started_;
  std::mutex startMutex_;  // one start of the events thread, whoever asks first
  std::atomic<bool> eventsStarted_{false};
};

}  // namespace vexahv::events
