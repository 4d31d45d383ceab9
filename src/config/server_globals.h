#pragma once
// The five process-wide server settings. The configuration file reader fills them on the
// main thread before any other thread starts; only useBatchedGroupTransactions changes
// while the server runs, so only it is atomic.

#include <atomic>
#include <cstdint>

namespace vexahv::VEXAHVServerGlobals {

extern bool eventEnabled;
extern bool liveInsertRemoval;
extern std::int32_t verifyTime;  // seconds
extern std::int32_t logLevel;    // 0..9
extern std::atomic<bool> useBatchedGroupTransactions;

bool getUseBatchedGroupTransactions() noexcept;
void setUseBatchedGroupTransactions(bool value);

}  // namespace vexahv::VEXAHVServerGlobals
