// The crate-file parser: what it builds from a good file and how it names damage.

#include <gtest/gtest.h>

#include <string>

#include "sim/crate_file.h"
#include "support/simulated_crates.h"

namespace {

using vexahv::sim::CrateSpec;
using vexahv::sim::parseCrateText;

std::string refusal(const std::string& text) {
  CrateSpec spec;
  std::string error;
  EXPECT_FALSE(parseCrateText(text, spec, error)) << text;
  return error;
}

TEST(CrateFile, SampleCratesParse) {
  for (const char* file : {"crate-a-udp.crate", "crate-b-tcp.crate", "crate-c-fu.crate"}) {
    CrateSpec spec;
    std::string error;
    EXPECT_TRUE(vexahv::sim::readCrateFile(vexahv::test::sampleCratePath(file), spec, error)) << error;
  }
  CrateSpec spec;
  std::string error;
  ASSERT_TRUE(vexahv::sim::readCrateFile(vexahv::test::sampleCratePath("crate-a-udp.crate"), spec, error));
  EXPECT_EQ(spec.name, "CrateA");
  EXPECT_EQ(spec.address, 0x7f000002u);
  ASSERT_EQ(spec.boards.size(), 3u);
  EXPECT_EQ(spec.boards[2].slot, 3);
  EXPECT_EQ(spec.boards[2].model, "A1535") << "like= copies the board";
  EXPECT_EQ(spec.boards[2].channelParams.size(), spec.boards[0].channelParams.size());
  EXPECT_TRUE(spec.boards[2].channelNames.empty()) << "channel names are not copied";
  EXPECT_EQ(spec.boards[0].channelNames.at(1), "Beam right");
}

TEST(CrateFile, DamageIsNamedWithItsLine) {
  const std::string head = "mainframe name=M address=127.0.0.5 type=0 slots=2\n";
  EXPECT_EQ(refusal(""), "no 'mainframe' line");
  EXPECT_EQ(refusal("board slot=0\n"), "line 1: the file must begin with 'mainframe'");
  EXPECT_EQ(refusal("mainframe name=M address=10.0.0.1 type=0 slots=2\n"),
            "line 1: address=10.0.0.1 is not a loopback address (127.x.y.z)");
  EXPECT_EQ(refusal("mainframe name=M address=127.0.0.5 type=3 slots=2\n"),
            "line 1: type=3 is not a system type (0, 2, 4, 5, 7, 10)");
  EXPECT_EQ(refusal(head + "# fine\n\nproperty name=X type=text mode=rx\n"),
            "line 4: mode=rx is not one of ro, wo, rw");
  EXPECT_EQ(refusal(head + "property name=X type=text mode=ro value=\"open\n"),
            "line 2: unterminated quoted value of 'value'");
  EXPECT_EQ(refusal(head + "board slot=2 model=B channels=1\n"),
            "line 2: slot 2 is beyond the crate's 2 slots");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1\nboard slot=0 model=C channels=1\n"),
            "line 3: slot 0 is declared twice");
  EXPECT_EQ(refusal(head + "channelparam name=V type=numeric mode=rw\n"),
            "line 2: 'channelparam' before any 'board'");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1\n"
                           "channelparam name=VeryLongName type=numeric mode=rw\n"),
            "line 3: name is longer than 9 characters");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1\n"
                           "channelparam name=V type=numeric mode=rw min=5 max=1\n"),
            "line 3: min is above max for parameter V");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1 colour=red\n"),
            "line 2: 'board' has no key 'colour'");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1\nchannelname channel=1 name=X\n"),
            "line 3: channel 1 is beyond the board's channels");
  EXPECT_EQ(refusal(head + "property name=P type=ui2 mode=ro value=abc\n"),
            "line 2: value=abc of property P is not a number");
  EXPECT_EQ(refusal(head + "property name=P type=ui2 mode=ro\nproperty name=P type=ui2 mode=ro\n"),
            "property P is declared twice");
  EXPECT_EQ(refusal(head + "frobnicate\n"), "line 2: unknown directive 'frobnicate'");
  EXPECT_EQ(refusal(head + "property name=P type=i2 mode=ro value=86400\n"),
            "line 2: value of property P does not fit its type");
  EXPECT_EQ(refusal(head + "board slot=0 model=B channels=1\nchannelparam name=Pw type=onoff mode=rw value=2\n"),
            "line 3: value of parameter Pw does not fit its type");
}

}  // namespace
