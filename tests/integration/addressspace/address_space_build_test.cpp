// The address space built over the sample crates: layout and order, item ids, data types,
// access, I/O modes, activation, first values, property items, unreachable systems.

#include <gtest/gtest.h>

#include "addressspace/event_ports.h"
#include "built_address_space.h"
#include "hwlib/VEXAHVWrapper.h"

namespace {

using namespace OpcToolbox;
using vexahv::ElementKind;
using vexahv::test::BuiltAddressSpace;

std::vector<std::string> range(const std::vector<std::string>& v, std::size_t from, std::size_t n) {
  return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(std::min(v.size(), from + n))};
}

ValueQT cached(const vexahv::VEXAHVElementPtr& e) { return e->getCachedValue(); }

TEST(AddressSpaceBuild, TypeZeroCrateLayoutTypesAndFirstValues) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2"}, true);
  EXPECT_EQ(space.childNames(""),
            (std::vector<std::string>{"CrateA", "OPCServerLogLevel", "OPCServerUseBatchedGroupTransactions"}));
  const auto top = space.childNames("CrateA");
  ASSERT_EQ(top.size(), 12u + 3u + 8u + 1u + 3u);
  EXPECT_EQ(range(top, 0, 2), (std::vector<std::string>{"SwRelease", "IPAddr"}));
  EXPECT_EQ(range(top, 12, 3), (std::vector<std::string>{"Board00", "Board01", "Board03"})) << "slot 2 is empty";
  EXPECT_EQ(range(top, 15, 12),
            (std::vector<std::string>{"Slots", "Kill", "ClearAlarm", "EventStatus", "Format", "RS232CmdOff", "EnMsg",
                                      "DisMsg", "ConnStatus", "OPCServerEventMode", "OPCServerLiveInsertion",
                                      "OPCServerVerifyTime"}));
  const auto board = space.childNames("CrateA.Board00");
  ASSERT_EQ(board.size(), 27u);
  EXPECT_EQ(range(board, 0, 10),
            (std::vector<std::string>{"Model", "Description", "Fmw Release", "SerNum", "NrOfCh", "Temp", "Temp#LowEU",
                                      "Temp#HighEU", "Temp#EU", "BdStatus"}));
  EXPECT_EQ(board[15], "Chan000");
  EXPECT_EQ(board[26], "Chan011");
  EXPECT_EQ(space.childNames("CrateA.Board01").back(), "Chan023");
  const auto chan = space.childNames("CrateA.Board00.Chan000");
  EXPECT_EQ(range(chan, 0, 5), (std::vector<std::string>{"Name", "V0Set", "V0Set#LowEU", "V0Set#HighEU", "V0Set#EU"}))
      << "no Resol on a type-0 system";

  // Data types, access and I/O modes by parameter type and mode.
  struct Expect {
    const char* id;
    std::uint16_t type;
    std::uint32_t access;
  };
  for (const Expect& x : {Expect{"CrateA.Board00.Chan000.VMon", VT_R4, 1}, {"CrateA.Board00.Chan000.V0Set", VT_R4, 3},
                          {"CrateA.Board00.Chan000.Pw", VT_BOOL, 3}, {"CrateA.Board00.Chan000.Status", VT_I4, 1},
                          {"CrateA.Board00.Chan000.Pswd", VT_I4, 2}, {"CrateA.Board00.Chan000.Label", VT_BSTR, 3},
                          {"CrateA.Board00.Chan000.Name", VT_BSTR, 3}, {"CrateA.Board00.BdLabel", VT_BSTR, 3},
                          {"CrateA.GenSignCfg", VT_UI2, 3}, {"CrateA.HvPwSM", VT_R4, 1}, {"CrateA.ClkFreq", VT_I2, 3},
                          {"CrateA.HVFanOn", VT_BOOL, 3}, {"CrateA.CfgPswd", VT_BSTR, 2},
                          {"CrateA.Board00.SerNum", VT_I2, 1}, {"CrateA.Slots", VT_UI2, 1}, {"CrateA.Kill", VT_BOOL, 3},
                          {"CrateA.OPCServerVerifyTime", VT_UI2, 3}, {"OPCServerUseBatchedGroupTransactions", VT_BOOL, 3}}) {
    const auto e = space.find(x.id);
    ASSERT_NE(e, nullptr) << x.id;
    EXPECT_EQ(e->getDatatype(), x.type) << x.id;
    EXPECT_EQ(e->getAccessRights(), x.access) << x.id;
  }
  const auto vmon = space.find("CrateA.Board00.Chan000.VMon");
  EXPECT_EQ(vmon->getKind(), ElementKind::ChannelParam);
  EXPECT_EQ(vmon->getIoMode(), kIoReport) << "the event test succeeded";
  EXPECT_FALSE(vmon->getActiveForClients());
  EXPECT_TRUE(vexahv::eventsAvailable);
  EXPECT_EQ(space.find("CrateA.Board00.Chan000")->getIoMode(), kIoNone);
  EXPECT_EQ(space.find("CrateA.ConnStatus")->getIoMode(), kIoReport);
  EXPECT_TRUE(space.find("CrateA.ConnStatus")->getActiveForClients());

  // First values.
  EXPECT_EQ(cached(space.find("CrateA.SwRelease")).getData().text(), "3.10.2");
  EXPECT_EQ(cached(space.find("CrateA.SwRelease")).getQuality(), kQualityGood);
  EXPECT_EQ(cached(space.find("CrateA.CfgPswd")).getQuality(), kQualityBad) << "write-only: its read fails";
  EXPECT_EQ(cached(space.find("CrateA.Board00.Fmw Release")).getData().text(), "02.04");
  EXPECT_EQ(cached(space.find("CrateA.Board00.SerNum")).getData().rawI2(), 101);
  EXPECT_EQ(cached(space.find("CrateA.Board01.NrOfCh")).getData().rawI2(), 24);
  EXPECT_EQ(cached(space.find("CrateA.Slots")).getData().rawUI2(), 6);
  EXPECT_EQ(cached(space.find("CrateA.EventStatus")).getData().text(), "Enabled");
  EXPECT_EQ(cached(space.find("CrateA.ConnStatus")).getData().text(), "Ok");
  EXPECT_EQ(cached(space.find("CrateA.OPCServerEventMode")).getData().text(), "true");
  EXPECT_EQ(cached(space.find("CrateA.Board00.Chan001.Name")).getData().text(), "Beam right");
  EXPECT_EQ(space.find("CrateA.Board00.Chan000")->getChannelName(), "Beam left");
  EXPECT_EQ(cached(space.find("CrateA.Board00.Chan000.IMon#EU")).getData().text(), "uAmpere");
  EXPECT_FLOAT_EQ(cached(space.find("CrateA.Board01.Chan000.V0Set#HighEU")).getData().rawR4(), 1500.0f);
  EXPECT_EQ(cached(space.find("CrateA.Board00.Chan000.GlbOnEn#CoOpen")).getData().text(), "Enabled");
  EXPECT_EQ(space.find("CrateA.Board00.Chan000.Status#LowEU"), nullptr) << "status parameters have no properties";
  EXPECT_NE(space.find("CrateA.Board00.Chan000.OutReg#EU"), nullptr) << "binary parameters have limits and unit";
  EXPECT_EQ(cached(space.find("CrateA.Board00.BdLabel")).getData().text(), "upstream");
  EXPECT_EQ(space.find("CrateA")->getKeepAliveState(), -1);

  const std::string log = space.log();
  EXPECT_NE(log.find("Configuring system [CrateA], whit handle ["), std::string::npos);
  EXPECT_NE(log.find("Getting board [2] channel [11] parameter [Label] properties"), std::string::npos);
  EXPECT_NE(log.find("System [CrateA] address space built"), std::string::npos);
  EXPECT_NE(log.find("_[CfgPswd] value - error code [13]"), std::string::npos);
}

TEST(AddressSpaceBuild, TypeTwoAndTypeSevenCrates) {
  BuiltAddressSpace space({"CrateB,1,0,127.0.0.3:admin:hvsecret", "CrateC,4,0,127.0.0.4"}, true);
  const auto b = space.childNames("CrateB");
  EXPECT_EQ(range(b, b.size() - 4, 4), (std::vector<std::string>{"Slots", "Kill", "ClearAlarm", "ConnStatus"}))
      << "no type-0 items and no server settings";
  const auto vmon = space.find("CrateB.Board01.Chan003.VMon");
  ASSERT_NE(vmon, nullptr);
  EXPECT_EQ(vmon->getIoMode(), kIoReport);
  EXPECT_TRUE(vmon->getActiveForClients()) << "type-2 items are active from the start";
  EXPECT_EQ(space.find("CrateB.Board01.Chan003.VMon#Resol"), nullptr);
  EXPECT_EQ(space.find("CrateB")->getKeepAliveState(), 3) << "subscribed before the event channel opened";
  EXPECT_EQ(space.crates().crate("CrateB").events().tcpConnectionCount(), 0u) << "it connects on the next tick";

  // Type 7: polled, Resol on channel parameters only, no channel names.
  const auto c = space.childNames("CrateC");
  EXPECT_EQ(range(c, 2, 3), (std::vector<std::string>{"Board00", "Board02", "ConnStatus"}));
  EXPECT_EQ(space.find("CrateC.Board02.Chan000.VMon")->getIoMode(), kIoPoll);
  EXPECT_EQ(cached(space.find("CrateC.Board00.Chan000.VMon#Resol")).getData().rawUI2(), 10);
  EXPECT_EQ(space.find("CrateC.Board00.Temp#Resol"), nullptr);
  EXPECT_EQ(space.find("CrateC.Board00.Chan000.Name"), nullptr);
  EXPECT_EQ(cached(space.find("CrateC.Board00.FUFwRel")).getData().text(), "3.01");
  EXPECT_NE(space.log().find("Error getting board [0], parameter [Temp] property [Resol] value"), std::string::npos);
}

TEST(AddressSpaceBuild, UnreachableAndUnconfigurableSystemsKeepTheirNodes) {
  BuiltAddressSpace space({"Dead,0,0,127.0.0.9", "NoPw,1,0,127.0.0.3:admin", "CrateA,0,0,127.0.0.2"}, false);
  EXPECT_EQ(range(space.childNames(""), 0, 3), (std::vector<std::string>{"Dead", "NoPw", "CrateA"}));
  EXPECT_EQ(space.childNames("Dead"), (std::vector<std::string>{"ConnStatus", "OPCServerEventMode",
                                                                "OPCServerLiveInsertion", "OPCServerVerifyTime"}));
  EXPECT_EQ(space.childNames("NoPw"), std::vector<std::string>{"ConnStatus"});
  EXPECT_EQ(cached(space.find("Dead.ConnStatus")).getData().text(), "Ko");
  EXPECT_EQ(cached(space.find("NoPw.ConnStatus")).getData().text(), "Ko");
  EXPECT_TRUE(space.find("Dead")->getNeedsConfiguration());
  EXPECT_EQ(space.find("Dead")->getKeepAliveState(), 0);
  // Events off: polled items and "Disabled".
  EXPECT_EQ(space.find("CrateA.Board03.Chan000.VMon")->getIoMode(), kIoPoll);
  EXPECT_EQ(cached(space.find("CrateA.EventStatus")).getData().text(), "Disabled");
  EXPECT_EQ(space.server().getSystemList()->entryCount(), 3);
  EXPECT_NE(space.log().find("Some problems occourred connecting to system [Dead,0,0,127.0.0.9]"),
            std::string::npos);
}

}  // namespace
