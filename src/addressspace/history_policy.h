#pragma once
// Which parameters' history is kept, and how finely: the history file (kHistoryPolicyFile
// under the platform root) names parameters, one a line, with what to do with them:
//   VMon  = deadband 0.5 interval 2   # a change of more than 0.5, at most one value each 2 s
//   RUp   = on                        # kept, though it is not by default
//   I0Set = off
// ('#' starts a comment). By default a channel's VMon, IMon, Status, Pw, V0Set and I0Set are
// kept, as are a board's status and a crate's connection state; a value is written when it
// moves by more than half its parameter's resolution (its last decimal), at most one a
// second. Read before the crates are built; a refused file names its line and leaves the
// policy as it was.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vexahv {

inline constexpr const char* kHistoryPolicyFile = "history.conf";

struct HistoryPolicy {
  bool kept = false;
  std::optional<double> deadband;  // none: from the parameter's resolution
  std::optional<double> interval;  // seconds; none: the server's (1 s)
};

std::string loadHistoryPolicy(const std::filesystem::path& file);
std::string parseHistoryPolicy(std::string_view text);
// The policy for a parameter by its name; keptByDefault: whether it is kept unless the
// file says otherwise.
HistoryPolicy historyPolicyFor(std::string_view parameter, bool keptByDefault);

}  // namespace vexahv
