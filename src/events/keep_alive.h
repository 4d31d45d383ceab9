#pragma once
// Keep-alive and reconnection: one thread per system watches its connection (a probe
// every probe period: "SwRelease" for type 0, "FUFwRel" of slot 0 for type 7, the system
// property list for every other type but 2, whose TCP event channel is watched instead),
// declares it lost after three failed probes, and re-initialises it; a reconnection
// stores the new handle in the crate (every item reads it there), re-subscribes the
// events and, for a system never configured (unreachable at start-up), builds its part
// of the address space; for one configured before, it reads its boards' properties again.
// Between probes the thread looks at the boards a live insertion signal named.
//
// The threads are held in a list sized by the systems configured (no fixed table), and
// every wait is a stop-aware one: stop() ends them all within one library call time-out.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "addressspace/vexahv_element.h"
#include "platform/worker_thread.h"

namespace vexahv::events {

inline constexpr std::chrono::milliseconds kProbePeriod{5000};
inline constexpr std::uint16_t kProbeFailures = 3;

class KeepAliveSupervisor {
 public:
  // eventWait: how long a type-2 system may stay subscribed without its event connection
  // (or connected without its subscription) before it counts as lost, and how long a UDP
  // system that answers may send no event data before its event channel does.
  // Told, on the system's own thread, of every successful reconnection (a first build
  // included), so that the system's events can be started or subscribed again.
  using Reconnected = std::function<void(VEXAHVElement&, std::stop_token)>;
  explicit KeepAliveSupervisor(std::chrono::milliseconds probePeriod = kProbePeriod,
                               std::chrono::milliseconds eventWait = std::chrono::seconds(10),
                               Reconnected reconnected = {})
      : period_(probePeriod), eventWait_(eventWait), reconnected_(std::move(reconnected)) {}
  ~KeepAliveSupervisor() { stop(); }
  KeepAliveSupervisor(const KeepAliveSupervisor&) = delete;
  KeepAliveSupervisor& operator=(const KeepAliveSupervisor&) = delete;

  void startKeepAlive(const VEXAHVElementPtr& node);
  // Requests every thread to stop, then joins them all.
  void stop();
  std::size_t threadCount() const;

 private:
  void run(std::stop_token stop, const VEXAHVElementPtr& node);
  using Clock = std::chrono::steady_clock;
  // waiting: since when a type-2 system has been half set up (kept by its thread).
  bool pass(std::stop_token stop, VEXAHVElement& node, std::int32_t type, const std::string& name,
            Clock::time_point& waiting);
  void probeResult(VEXAHVElement& node, const std::string& name, bool ok);
  // A UDP system that answered its probe but sent no datagram for eventWait: its event
  // channel is lost (an alarm), and it is subscribed again.
  void checkEventSilence(VEXAHVElement& node, const std::string& name, std::stop_token stop);
  // reconnectSystem, then the hook when the connection is back, then every board of a
  // crate built before is looked at again.
  void reconnect(VEXAHVElement& node, std::stop_token stop);
  // The probe period, during which the boards a live insertion signalled are looked at;
  // false when stop ended it.
  bool waitPeriod(std::stop_token stop, VEXAHVElement& node);

  const std::chrono::milliseconds period_;
  const std::chrono::milliseconds eventWait_;
  const Reconnected reconnected_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<platform::WorkerThread>> threads_;
};

// Re-initialises the library connection of a system (its keep-alive thread only); the
// outcome is the node's connection status. stop ends a reconfiguration between calls.
void reconnectSystem(VEXAHVElement& node, std::stop_token stop = {});
// Reads the crate map and asks every channel for its parameter list; 0, or the crate
// map call's result.
int touchChannelParameters(std::int32_t handle, std::stop_token stop = {});

}  // namespace vexahv::events
