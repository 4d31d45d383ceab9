#pragma once
// Who a process is: its id together with its start time tells a live process from a later
// one that reuses the id, so a stored pid is never signalled by mistake.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <system_error>

namespace vexahv::platform {

// The start time of a live process, in clock ticks since boot; 0 when there is none.
std::uint64_t processStartTime(pid_t pid) noexcept;
// True when pid names a live process that started at startTime.
bool sameProcessAlive(pid_t pid, std::uint64_t startTime) noexcept;
// A caller that may see secrets (the mainframes' passwords): root, or this process's own
// user (the service's).
bool mayReadSecrets(uid_t caller) noexcept;
// The system user a service runs as: $VEXAHV_SERVICE_USER, else "vexahv" (the package's),
// when this machine has it; empty (root) otherwise.
std::string serviceUserOfMachine();
// Gives dir and everything under it (symlinks not followed) to that user and its group,
// except the entries of dir named in kept (root's own records stay root's); what could
// not be changed is named in the error's reason.
std::error_code handOverTree(const std::filesystem::path& dir, const std::string& user,
                             std::initializer_list<std::string_view> kept, std::string& reason);
// This process's CPU time (user and system, seconds) and resident memory (bytes); false
// (both 0) when /proc cannot tell.
bool processUsage(double& cpuSeconds, double& residentBytes) noexcept;
// The running program's full path (empty when /proc cannot tell).
std::filesystem::path executablePath();

}  // namespace vexahv::platform
