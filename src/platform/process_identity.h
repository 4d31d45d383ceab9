#pragma once
// Who a process is: its id together with its start time tells a live process from a later
// one that reuses the id, so a stored pid is never signalled by mistake.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>

namespace vexahv::platform {

// The start time of a live process, in clock ticks since boot; 0 when there is none.
std::uint64_t processStartTime(pid_t pid) noexcept;
// True when pid names a live process that started at startTime.
bool sameProcessAlive(pid_t pid, std::uint64_t startTime) noexcept;
// A caller that may see secrets (the mainframes' passwords): root, or this process's own
// user (the service's).
bool mayReadSecrets(uid_t caller) noexcept;
// The running program's full path (empty when /proc cannot tell).
std::filesystem::path executablePath();

}  // namespace vexahv::platform
