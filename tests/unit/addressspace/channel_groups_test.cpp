// The groups file: what a group holds, and the lines it refuses with their line numbers.

#include <gtest/gtest.h>

#include "addressspace/channel_groups.h"

namespace {

using namespace vexahv;

TEST(ChannelGroups, PatternsNameChannelsAndWrongLinesAreRefusedWhole) {
  ASSERT_EQ(parseChannelGroups("# detector halves\nHalfA = CrateA.Board0[0-1].*  CrateB.Board00.Chan00?\n"
                               "Spare=CrateA.Board03.Chan011\n"),
            "");
  ASSERT_EQ(channelGroups().size(), 2u);
  const ChannelGroup& a = channelGroups()[0];
  EXPECT_EQ(a.name, "HalfA");
  EXPECT_TRUE(groupHolds(a, "CrateA.Board01.Chan023"));
  EXPECT_TRUE(groupHolds(a, "CrateB.Board00.Chan007"));
  EXPECT_FALSE(groupHolds(a, "CrateA.Board03.Chan000"));
  EXPECT_FALSE(groupHolds(a, "CrateB.Board00.Chan010")) << "'?' is one character";
  EXPECT_TRUE(groupHolds(channelGroups()[1], "CrateA.Board03.Chan011"));
  EXPECT_FALSE(groupHolds(channelGroups()[1], "CrateA.Board03.Chan0111"));

  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"A = CrateA.*\nA = CrateB.*\n", "line 2: the group [A] is named twice"},
           {"A = CrateA.Board0[0-3\n", "line 1: the channel pattern [CrateA.Board0[0-3] of group [A] has a [ without its ]"},
           {"A = CrateA.Board0[0-3.*\n", "has a [.] inside a set"},
           {"A = CrateA.Board0[].*\n", "has an empty set []"},
           {"A = CrateA;rm\n", "has a [;]"},
           {"Half B = CrateA.*\n", "line 1: a group's name is letters, digits"},
           {"\nB =\n", "line 2: the group [B] names no channel"},
           {"B\n", "line 1: "}}) {
    EXPECT_NE(parseChannelGroups(text).find(why), std::string::npos) << text << " gives " << parseChannelGroups(text);
    EXPECT_EQ(channelGroups().size(), 2u) << "nothing changed: " << text;
  }
  std::string many;
  for (std::size_t i = 0; i <= kMaxGroups; ++i) many += "G" + std::to_string(i) + " = CrateA.*\n";
  EXPECT_NE(parseChannelGroups(many).find("more than 256 groups"), std::string::npos);
}

}  // namespace
