#include "requests/vexahv_session.h"

#include <atomic>

#include "config/server_globals.h"
#include "logging/logging.h"
#include "service/service_module.h"

namespace vexahv {
namespace {
// Atomic: sessions come and go on several toolbox threads at once.
std::atomic<std::int32_t> gClientCount{0};
}  // namespace

std::int32_t VEXAHVSession::clientCount() noexcept { return gClientCount.load(); }

void VEXAHVSession::connectSession() {
  const std::int32_t count = gClientCount.fetch_add(1) + 1;
  logNotice("Connection - client count = [", count, "]");
}

void VEXAHVSession::disconnectSession() {
  const std::int32_t count = gClientCount.fetch_sub(1) - 1;
  logNotice("Disconnection - client count = [", count, "]");
  if (count != 0) return;
  logNotice("Last client disconnect from VEXAHVOPCServer");
  // Crates are watched with nobody connected, unless the plant asks for the stop.
  if (!VEXAHVServerGlobals::plant.stopOnLastClient) return;
  logNotice("Stopping VEXAHVOPCServer Service");
  // On the service shell's own thread: this may be the thread the stop has to end.
  stopServiceLater(kServiceName);
}

}  // namespace vexahv
