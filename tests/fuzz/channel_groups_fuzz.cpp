// The groups file over any text: no crash, and what it takes holds only groups with a
// name and at least one pattern, each of which matches without fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "addressspace/channel_groups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!vexahv::parseChannelGroups(text).empty()) return 0;
  if (vexahv::channelGroups().size() > vexahv::kMaxGroups) std::abort();
  for (const auto& g : vexahv::channelGroups()) {
    if (g.name.empty() || g.patterns.empty() || g.patterns.size() > vexahv::kMaxGroupPatterns) std::abort();
    (void)vexahv::groupHolds(g, "CrateA.Board00.Chan003");
    (void)vexahv::groupHolds(g, text);
  }
  return 0;
}
