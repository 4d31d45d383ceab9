#include "config/server_globals.h"

#include "logging/logging.h"

namespace vexahv::VEXAHVServerGlobals {

bool eventEnabled = false;
bool liveInsertRemoval = false;
std::int32_t verifyTime = 600;
std::int32_t logLevel = 0;
std::atomic<bool> useBatchedGroupTransactions{false};
PlantSettings plant;

bool getUseBatchedGroupTransactions() noexcept {
  return useBatchedGroupTransactions.load(std::memory_order_relaxed);
}

void setUseBatchedGroupTransactions(bool value) {
  useBatchedGroupTransactions.store(value, std::memory_order_relaxed);
  logNotice("VEXAHVServerGlobals::setUseBatchedGroupTransactions", " value set to [",
            value ? "true" : "false", "]");
}

}  // namespace vexahv::VEXAHVServerGlobals
