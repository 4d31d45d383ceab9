#include "addressspace/channel_groups.h"

#include <fnmatch.h>

#include <algorithm>

#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace vexahv {
namespace {

// Set once at start, before anything reads it.
std::vector<ChannelGroup> gGroups;

bool nameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// What an item id holds, the pattern characters, and sets closed in their line.
std::string patternFault(std::string_view p) {
  bool inSet = false;
  std::size_t setSize = 0;
  for (const char c : p) {
    if (inSet) {
      if (c == ']') {
        if (setSize == 0) return "an empty set []";
        inSet = false;
      } else if (!nameChar(c) && c != '!') {
        return std::string("a [") + c + "] inside a set";
      } else {
        ++setSize;
      }
      continue;
    }
    if (c == '[') {
      inSet = true;
      setSize = 0;
    } else if (c == ']') {
      return "a ] without its [";
    } else if (!nameChar(c) && c != '.' && c != '*' && c != '?') {
      return std::string("a [") + c + "]";
    }
  }
  return inSet ? "a [ without its ]" : "";
}

}  // namespace

std::string parseChannelGroups(std::string_view text) {
  std::vector<ChannelGroup> groups;
  const std::string error = OpcToolbox::ua::forEachSetting(text, [&](std::string_view key, std::string_view value) {
    const std::string shown = OpcToolbox::ua::shownSetting(key);
    if (key.empty() || key.size() > kMaxGroupNameLength || !std::all_of(key.begin(), key.end(), nameChar)) {
      return "a group's name is letters, digits, '_' and '-', at most " + std::to_string(kMaxGroupNameLength) +
             " of them, not [" + shown + "]";
    }
    if (std::any_of(groups.begin(), groups.end(), [&](const ChannelGroup& g) { return g.name == key; })) {
      return "the group [" + shown + "] is named twice";
    }
    if (groups.size() == kMaxGroups) return "more than " + std::to_string(kMaxGroups) + " groups";
    ChannelGroup g{std::string(key), {}};
    std::size_t at = 0;
    while (at < value.size()) {
      const std::size_t start = value.find_first_not_of(" \t", at);
      if (start == std::string_view::npos) break;
      const std::size_t end = std::min(value.find_first_of(" \t", start), value.size());
      const std::string_view p = value.substr(start, end - start);
      if (const std::string fault = patternFault(p); !fault.empty()) {
        return "the channel pattern [" + OpcToolbox::ua::shownSetting(p) + "] of group [" + g.name + "] has " + fault;
      }
      if (g.patterns.size() == kMaxGroupPatterns) {
        return "the group [" + g.name + "] has more than " + std::to_string(kMaxGroupPatterns) + " patterns";
      }
      g.patterns.emplace_back(p);
      at = end;
    }
    if (g.patterns.empty()) return "the group [" + g.name + "] names no channel";
    groups.push_back(std::move(g));
    return std::string();
  });
  if (!error.empty()) return error;
  gGroups = std::move(groups);
  return {};
}

std::string loadChannelGroups(const std::filesystem::path& file) {
  const std::string error = OpcToolbox::ua::readSettingsFile(file, parseChannelGroups);
  if (error.empty() && !std::filesystem::exists(file)) gGroups.clear();
  return error;
}

const std::vector<ChannelGroup>& channelGroups() { return gGroups; }

bool groupHolds(const ChannelGroup& group, std::string_view channelId) {
  const std::string id(channelId);
  return std::any_of(group.patterns.begin(), group.patterns.end(),
                     [&](const std::string& p) { return ::fnmatch(p.c_str(), id.c_str(), 0) == 0; });
}

}  // namespace vexahv
