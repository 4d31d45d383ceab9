#pragma once
// Runs a helper program (systemctl, firewall-cmd) and waits for it, bounded: a helper that
// does not end within its time is killed. Standard input is /dev/null; standard output and
// standard error are captured together, up to a bound.

#include <chrono>
#include <string>
#include <system_error>
#include <vector>

namespace vexahv::platform {

struct CommandResult {
  std::error_code error;  // could not start, or timed_out (the helper was killed)
  int exitStatus = -1;    // the helper's exit status; -1 when it did not exit by itself
  std::string output;     // standard output and error, at most maxOutput bytes
  bool succeeded() const noexcept { return !error && exitStatus == 0; }
};

// argv[0] is the program: a path, or a name looked up in PATH. The child starts with no
// blocked signals and the default dispositions, whatever this process has set.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         std::size_t maxOutput = 64 * 1024);

}  // namespace vexahv::platform
