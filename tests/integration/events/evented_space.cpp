#include "integration/events/evented_space.h"

#include <sstream>

#include "addressspace/event_ports.h"
#include "config/server_globals.h"

namespace vexahv::test {

EventedSpace::EventedSpace(const std::vector<std::string>& entries, events::EventTimings timings, int timeoutMs,
                           std::int32_t verifyTime, const std::function<void(SimulatedCrates&)>& beforeBuild) {
  VEXAHVServerGlobals::verifyTime = verifyTime;
  eventsAvailable = false;  // as in a new process: only this build's event tests count
  events_ = std::make_unique<events::EventMechanism>(timings);
  events_->startTcpServer();
  VEXAHVServerGlobals::eventEnabled = true;  // as the settings are read before the port is bound
  events_->openUdpPort();
  space_ = std::make_unique<BuiltAddressSpace>(entries, true, timeoutMs, [&](BuiltAddressSpace& built) {
    if (beforeBuild) beforeBuild(built.crates());
    built.server().setKeepAliveStarter(
        [this](const VEXAHVElementPtr& node) { events_->keepAlive().startKeepAlive(node); });
  });
  space_->server().addressSpaceBuilt().set();
  space_->server().ready();
  events_->startEvents({});
}

EventedSpace::~EventedSpace() {
  events_->stop();
  space_.reset();
  events_.reset();
  VEXAHVServerGlobals::verifyTime = 600;
}

std::size_t EventedSpace::logCount(const std::string& text) const {
  std::istringstream in(space_->log());
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

}  // namespace vexahv::test
