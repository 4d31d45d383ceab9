#pragma once
// The operators' own groups of channels, from the groups file (kGroupsFile under the
// platform root): a line per group, its name and the channels it holds as item ids or
// patterns, "HalfB = CrateA.Board0[0-3].* CrateB.Board01.Chan00?" ('*' any run of
// characters, '?' one, "[0-3]" one of a set; '#' starts a comment). A group holds the
// channels that match when it is used, in the address space's order, so a crate built
// later joins its groups. Read once at start; a wrong line stops the start.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv {

inline constexpr const char* kGroupsFile = "groups.conf";
inline constexpr std::size_t kMaxGroups = 256, kMaxGroupPatterns = 256, kMaxGroupNameLength = 64;

struct ChannelGroup {
  std::string name;
  std::vector<std::string> patterns;
};

// The groups of the text, or the error ("line 3: ...") and no change.
std::string parseChannelGroups(std::string_view text);
// The file's groups; a missing file is none. The error names the file and the line.
std::string loadChannelGroups(const std::filesystem::path& file);
// The groups in force, in the file's order.
const std::vector<ChannelGroup>& channelGroups();
bool groupHolds(const ChannelGroup& group, std::string_view channelId);

}  // namespace vexahv
