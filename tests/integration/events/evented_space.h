#pragma once
// An address space built over the simulated crates with the events and supervision
// subsystem running as the server runs it: the TCP event server and the UDP port before the build, a
// keep-alive thread per system, the events thread and the verification timer after it.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/event_mechanism.h"
#include "integration/addressspace/built_address_space.h"
#include "opctoolbox/application.h"
#include "opctoolbox/client_access.h"
#include "opctoolbox/da_address_space_element.h"

namespace vexahv::test {

class EventedSpace {
 public:
  // beforeBuild: what the crates do before the server builds (a refused login, say).
  // timeoutMs: the library's call time-out; generous by default, so that a loaded machine
  // (sanitizers, parallel tests) never fails a call of a crate that answers.
  EventedSpace(const std::vector<std::string>& entries, events::EventTimings timings, int timeoutMs = 3000,
               std::int32_t verifyTime = 600, const std::function<void(SimulatedCrates&)>& beforeBuild = {});
  ~EventedSpace();

  BuiltAddressSpace& space() { return *space_; }
  events::EventMechanism& events() { return *events_; }
  SimulatedCrates& crates() { return space_->crates(); }
  VEXAHVElementPtr find(const std::string& id) const { return space_->find(id); }
  std::uint64_t requests(const char* crate) { return crates().crate(crate).requestCount(); }
  // Lines of the log holding text.
  std::size_t logCount(const std::string& text) const;

 private:
  std::unique_ptr<events::EventMechanism> events_;
  std::unique_ptr<BuiltAddressSpace> space_;
};

// Supervision at test speed: a probe every 100 ms, a TCP event connection silent for 1.5 s
// has failed.
inline events::EventTimings fast() {
  events::EventTimings t;
  t.probePeriod = std::chrono::milliseconds(100);
  t.tcpSilence = std::chrono::milliseconds(1500);
  return t;
}

// The value the toolbox holds for the element: what a client would read from its cache.
inline OpcToolbox::ValueQT toolboxValue(const VEXAHVElementPtr& e) {
  OpcToolbox::ValueQT v;
  e->getCacheValue(v);
  return v;
}

// Every value the toolbox hands to clients for the elements it watches.
struct Watcher : OpcToolbox::ValueObserver {
  void onValueChanged(OpcToolbox::DaAddressSpaceElement& e, const OpcToolbox::ValueQT& v) override {
    std::lock_guard l(mutex);
    seen.emplace_back(e.getItemId(), v);
  }
  std::vector<std::pair<std::string, OpcToolbox::ValueQT>> values(const std::string& id) {
    std::lock_guard l(mutex);
    std::vector<std::pair<std::string, OpcToolbox::ValueQT>> out;
    for (const auto& s : seen) {
      if (s.first == id) out.push_back(s);
    }
    return out;
  }
  // The newest value of id, once pred holds for it within the time; false otherwise.
  template <class Pred>
  bool waitFor(const std::string& id, Pred pred, std::chrono::milliseconds within) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard l(mutex);
        for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
          if (it->first != id) continue;
          if (pred(it->second)) return true;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::mutex mutex;
  std::vector<std::pair<std::string, OpcToolbox::ValueQT>> seen;
};

// A monitor of the toolbox's client side that ends with its scope, so that a test that
// stops at a failed assertion leaves no observer behind on an element that outlives it.
class ScopedMonitor {
 public:
  ScopedMonitor(const OpcToolbox::ElementPtr& element, int rateMs, OpcToolbox::ValueObserver& observer)
      : clients_(OpcToolbox::getApp()->clients()) {
    ok_ = element && clients_->monitor(element, rateMs, &observer, handle_) == OpcToolbox::S_OK;
  }
  ~ScopedMonitor() {
    if (ok_) clients_->unmonitor(handle_);
  }
  ScopedMonitor(const ScopedMonitor&) = delete;
  ScopedMonitor& operator=(const ScopedMonitor&) = delete;
  bool ok() const noexcept { return ok_; }

 private:
  OpcToolbox::ClientAccess* clients_;
  std::uint64_t handle_ = 0;
  bool ok_ = false;
};

// Waits until pred() holds, polling; false after the time.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds within) {
  const auto end = std::chrono::steady_clock::now() + within;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

}  // namespace vexahv::test
