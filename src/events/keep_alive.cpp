#include "events/keep_alive.h"

#include <algorithm>
#include <string>
#include <vector>

#include "addressspace/crate_map.h"
#include "addressspace/event_ports.h"
#include "addressspace/hardware_alarms.h"
#include "addressspace/property_refresh.h"
#include "addressspace/vexahv_opc_server.h"
#include "config/server_globals.h"
#include "events/tcp_event_server.h"
#include "events/udp_event_loop.h"
#include "hwlib/VEXAHVWrapper.h"
#include "platform/interruptible_sleep.h"
#include "logging/logging.h"
#include "opctoolbox/application.h"

namespace vexahv::events {
namespace globals = VEXAHVServerGlobals;
namespace {

// The address-space-built event, waited for without end but ended by stop.
bool waitBuilt(std::stop_token stop) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) return false;
  while (!stop.stop_requested()) {
    if (server->addressSpaceBuilt().wait(stop, std::chrono::seconds(1)) == platform::WaitResult::Signalled) return true;
  }
  return false;
}

bool probeFanUnit(std::int32_t handle) {
  std::vector<char> value(1024);
  const std::uint16_t slots[1] = {0};
  return VEXAHV_GetBdParam(handle, 1, slots, "FUFwRel", value.data()) == VEXAHV_OK;
}

bool probePropertyList(std::int32_t handle) {
  std::uint16_t count = 0;
  char* names = nullptr;
  const int rc = VEXAHV_GetSysPropList(handle, &count, &names);
  VEXAHV_Free(names);
  return rc == VEXAHV_OK;
}

// Every item of the crate reads its handle there: one store changes them all.
void setHandleEverywhere(VEXAHVElement& node, std::int32_t handle) { node.setHandle(handle); }

}  // namespace

void KeepAliveSupervisor::startKeepAlive(const VEXAHVElementPtr& node) {
  try {
    auto thread = std::make_unique<platform::WorkerThread>("vexahv-keepalv",
                                                           [this, node](std::stop_token st) { run(st, node); });
    std::lock_guard l(mutex_);
    threads_.push_back(std::move(thread));
  } catch (const std::exception&) {
    logCritical("Failed starting VEXAHVOPCServer keep alive mechanism");
  }
}

void KeepAliveSupervisor::stop() {
  std::vector<std::unique_ptr<platform::WorkerThread>> threads;
  {
    std::lock_guard l(mutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t->requestStop();
  threads.clear();  // joins each
}

std::size_t KeepAliveSupervisor::threadCount() const {
  std::lock_guard l(mutex_);
  return threads_.size();
}

void KeepAliveSupervisor::run(std::stop_token stop, const VEXAHVElementPtr& node) {
  if (!node) {
    logAlert("Impossible to start keep alive/connection mechanism, because device has not been found");
    return;
  }
  const std::string name = node->getName();
  const std::int32_t type = node->getSystemType();
  logNotice("Starting keep alive/connection mechanism for device [", name, "]");
  Clock::time_point waiting{};
  while (!stop.stop_requested()) {
    if (!pass(stop, *node, type, name, waiting)) break;
    if (!waitPeriod(stop, *node)) break;
  }
}

bool KeepAliveSupervisor::waitPeriod(std::stop_token stop, VEXAHVElement& node) {
  const std::shared_ptr<Crate>& crate = node.crate();
  if (!crate) return platform::sleepFor(stop, period_);
  const Clock::time_point end = Clock::now() + period_;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) return true;
    const platform::WaitResult r = crate->waitForBoardSignal(stop, left);
    if (r == platform::WaitResult::Stopped) return false;
    if (r != platform::WaitResult::Signalled) continue;
    std::vector<std::uint16_t> slots = crate->takeSignalledBoards();
    // A crate not connected is looked at whole when it is back.
    if (slots.empty() || node.getConnectionStatus() != kStatusOk || node.getNeedsConfiguration()) continue;
    std::sort(slots.begin(), slots.end());
    reviewBoards(node, slots, stop);
  }
}

void KeepAliveSupervisor::probeResult(VEXAHVElement& node, const std::string& name, bool ok) {
  if (ok) {
    node.setKeepAliveFailCount(0);
    return;
  }
  const auto n = static_cast<std::uint16_t>(node.getKeepAliveFailCount() + 1);
  node.setKeepAliveFailCount(n);
  logNotice("KeepAlive failed for device [", name, "] - Fail count [", n, "]");
  if (n >= kProbeFailures) {
    logError("Connection KO for [", name, "]");
    node.setConnectionStatus(kStatusKo);
  }
}

void KeepAliveSupervisor::checkEventSilence(VEXAHVElement& node, const std::string& name, std::stop_token stop) {
  const std::shared_ptr<Crate>& crate = node.crate();
  if (!crate) return;
  const auto silent = Clock::now() - crate->lastHeard();
  if (silent < eventWait_) return;
  // It answers but sends nothing, not even its keep-alive events: a mainframe that lost
  // its subscriptions (restarted, or a datagram path broken). Its values would stay good
  // and stale; they are subscribed again, once per wait while the silence lasts.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(silent).count();
  if (crate->setEventsLost(true)) {
    logWarning("No event data from system [", name, "] for [", ms, "ms]: its events are subscribed again");
    reportCrateEvents(OpcToolbox::getApp()->conditions(), name, true);
  } else {
    logInformational("No event data from system [", name, "] for [", ms, "ms]: subscribed again");
  }
  UdpEventLoop::subscribeKeepAlive(node);
  node.resubscribeActive(stop);
}

void KeepAliveSupervisor::reconnect(VEXAHVElement& node, std::stop_token stop) {
  const bool built = !node.getNeedsConfiguration();
  reconnectSystem(node, stop);
  const auto back = [&] { return !stop.stop_requested() && node.getConnectionStatus() == kStatusOk; };
  if (reconnected_ && back()) reconnected_(node, stop);
  // A crate back from a loss may hold other boards (power-cycled, boards swapped), and its
  // property items show "not connected" until they are read: every board is looked at.
  if (built && back()) {
    if (const auto& crate = node.crate()) (void)crate->takeSignalledBoards();
    reviewBoards(node, {}, stop);
  }
}

// One pass of the loop; false when stop ended a wait.
bool KeepAliveSupervisor::pass(std::stop_token stop, VEXAHVElement& node, std::int32_t type,
                               const std::string& name, Clock::time_point& waiting) {
  auto reconnectWhenBuilt = [&] {
    if (!waitBuilt(stop)) return false;
    reconnect(node, stop);
    return true;
  };
  if (type == 0) {
    const std::int32_t status = node.getConnectionStatus(), handle = node.getHandle();
    const bool enabled = node.getEventsEnabled();
    const std::int16_t state = node.getKeepAliveState();
    if (status != kStatusOk) return reconnectWhenBuilt();
    if (state == 0 && enabled && eventsAvailable) return reconnectWhenBuilt();
    logInformational("KeepAlive for device [", name, "]");
    char value[256] = {};
    const bool answered = VEXAHV_GetSysProp(handle, "SwRelease", value) == VEXAHV_OK;
    probeResult(node, name, answered);
    if (answered && state == 1 && enabled && eventsAvailable && globals::eventEnabled) checkEventSilence(node, name, stop);
    return true;
  }
  if (type == 2) {
    std::int32_t status = node.getConnectionStatus();
    const std::int32_t handle = node.getHandle();
    std::int16_t state = node.getKeepAliveState();
    if (status == kStatusOk && state == -1) {
      char value[256] = {};
      VEXAHV_GetSysProp(handle, "SwRelease", value);
      return true;
    }
    // Subscribed with no event connection (3), or connected with no subscription (2): a
    // mainframe whose connection attempt failed forgets its subscriptions and never tries
    // again, so its values would stay good but stale for ever. Past the wait it is lost.
    if (status == kStatusOk && (state == 2 || state == 3)) {
      const auto now = Clock::now();
      if (waiting == Clock::time_point{}) waiting = now;
      if (now - waiting < eventWait_) return true;
      waiting = {};
      logWarning("No event connection of system [", name, "] for [",
                 std::chrono::duration_cast<std::chrono::milliseconds>(eventWait_).count(), "ms]");
      node.setConnectionStatus(kStatusKo);
      if (!waitBuilt(stop)) return false;
      reconnect(node, stop);
      return true;
    }
    waiting = {};
    if (!waitBuilt(stop)) return false;
    status = node.getConnectionStatus();
    state = node.getKeepAliveState();
    if (status != kStatusKo && state != 0) return true;
    if (state == 0) node.setConnectionStatus(kStatusKo);
    reconnect(node, stop);
    return true;
  }
  // Type 7 answers for its fan unit in slot 0; every other type for its property list,
  // which every mainframe has (so a silent crate of any type is found).
  const std::int32_t status = node.getConnectionStatus(), handle = node.getHandle();
  if (status != kStatusOk) return reconnectWhenBuilt();
  logInformational("KeepAlive for device [", name, "]");
  probeResult(node, name, type == 7 ? probeFanUnit(handle) : probePropertyList(handle));
  return true;
}

int touchChannelParameters(std::int32_t handle, std::stop_token stop) {
  std::vector<SlotContent> slots;
  const int rc = readCrateMap(handle, slots);
  if (rc != VEXAHV_OK) return rc;
  for (std::uint16_t s = 0; s < slots.size() && !stop.stop_requested(); ++s) {
    for (std::uint16_t c = 0; c < slots[s].channels && !stop.stop_requested(); ++c) {
      char* names = nullptr;
      int count = 0;
      VEXAHV_GetChParamInfo(handle, s, c, &names, &count);
      VEXAHV_Free(names);
    }
  }
  return rc;
}

void reconnectSystem(VEXAHVElement& node, std::stop_token stop) {
  std::string address = node.getAddress();
  if (address.size() > 79) address.resize(79);
  const std::int32_t linkType = node.getLinkType();
  const std::string user = node.getUserName(), password = node.getPassword();
  const std::string name = node.getName();
  const std::int32_t type = node.getSystemType();
  logInformational("Trying to reconnect to system [", name, "]");
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  if (server == nullptr) return;
  if (const std::int32_t old = node.getHandle(); old != -1) {
    // Its calls stay counted in the crate's totals.
    if (const auto& crate = node.crate()) crate->retireCallStatistics(old);
    VEXAHV_DeinitSystem(old);
    setHandleEverywhere(node, -1);
    node.markDisconnected();
  }
  int rc = -1;
  int handle = -1;
  if (type == 2) {
    TcpEventServer::endClientThread(node);
    if (!user.empty() && !password.empty()) {
      rc = VEXAHV_InitSystem(2, linkType, address.c_str(), user.c_str(), password.c_str(), &handle);
    }
  } else {
    rc = VEXAHV_InitSystem(type, linkType, address.c_str(), user.c_str(), password.c_str(), &handle);
  }
  if (rc != 0) {
    node.setConnectionStatus(kStatusKo);
    logError("Connection NOT restored for system [", name, "]");
    return;
  }
  setHandleEverywhere(node, handle);
  node.setKeepAliveState(kEventsIdle);
  node.setConnectionStatus(kStatusOk);
  logCritical("Connection restored for system [", name, "]");
  if (node.getNeedsConfiguration()) {
    std::uint32_t ioMode = globals::eventEnabled ? std::uint32_t{OpcToolbox::kIoReport}
                                                  : std::uint32_t{OpcToolbox::kIoPoll};
    const auto self = std::dynamic_pointer_cast<VEXAHVElement>(node.shared_from_this());
    if (server->configureSystem(self, node.getSystemIndex(), ioMode) != 0) {
      logCritical("Error while reconfiguring system [", name, "]");
    }
    return;
  }
  const int touched = touchChannelParameters(handle, stop);
  if (stop.stop_requested()) return;
  if (type == 2) {
    if (touched != 0) {
      logCritical("Error while reconfiguring system [", name, "]");
      return;
    }
    node.refreshAllValues(stop);
    server->subscribeParameterEvents(&node);
    if (node.crate()) node.crate()->eventsSubscribed();
    return;
  }
  if (type == 0 && globals::eventEnabled) node.resubscribeActive(stop);
  if (touched != 0) logCritical("Error while reconfiguring system [", name, "]");
}

}  // namespace vexahv::events
