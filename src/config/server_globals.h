#pragma once
// The five process-wide server settings, and the plant settings of the same file. The
// configuration file reader fills them on the main thread before any other thread starts;
// only useBatchedGroupTransactions changes while the server runs, so only it is atomic.

#include <atomic>
#include <cstdint>

#include "config/configuration_file.h"

namespace vexahv::VEXAHVServerGlobals {

extern bool eventEnabled;
extern bool liveInsertRemoval;
extern std::int32_t verifyTime;  // seconds
extern std::int32_t logLevel;    // 0..9
extern std::atomic<bool> useBatchedGroupTransactions;
extern PlantSettings plant;

bool getUseBatchedGroupTransactions() noexcept;
void setUseBatchedGroupTransactions(bool value);

}  // namespace vexahv::VEXAHVServerGlobals
