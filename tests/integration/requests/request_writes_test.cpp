// Writes through the toolbox's client side over the simulated crates: their effect on the
// mainframe, the commands, refusals that leave the cache alone, the server settings with
// the configuration file they leave, and the session count.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "../addressspace/built_address_space.h"
#include "config/server_globals.h"
#include "hwlib/VEXAHVWrapper.h"
#include "addressspace/library_result.h"
#include "requests/item_writer.h"
#include "requests/vexahv_session.h"
#include "logging/logging.h"

namespace {

using namespace OpcToolbox;
using vexahv::test::BuiltAddressSpace;
using vexahv::test::readFile;

class Writes : public ::testing::Test {
 protected:
  Writes() : space({"CrateA,0,0,127.0.0.2"}, false) {
    clients = getApp()->clients();
    EXPECT_EQ(clients->openSession("test", session), S_OK);
    handle = space.find("CrateA")->getHandle();
  }
  ~Writes() override {
    clients->closeSession(session);
    vexahv::VEXAHVServerGlobals::setUseBatchedGroupTransactions(false);
  }

  long write(const std::string& id, const Variant& v) {
    std::vector<long> results;
    EXPECT_EQ(clients->write(session, {WriteItem{space.find(id), ValueQT(v, kQualityGood, DateTime::now())}}, results),
              S_OK);
    return results.at(0);
  }
  ValueQT cache(const std::string& id) {
    ValueQT v;
    space.find(id)->getCacheValue(v);
    return v;
  }
  ValueQT deviceRead(const std::string& id) {
    std::vector<ReadResult> out;
    EXPECT_EQ(clients->readFromDevice(session, {ItemRef{space.find(id)}}, out), S_OK);
    return out.at(0).value;
  }
  float channelFloat(std::uint16_t slot, std::uint16_t ch, const char* p) {
    float f = -1;
    EXPECT_EQ(VEXAHV_GetChParam(handle, slot, p, 1, &ch, &f), VEXAHV_OK);
    return f;
  }
  std::uint32_t channelInt(std::uint16_t slot, std::uint16_t ch, const char* p) {
    std::uint32_t u = 99;
    EXPECT_EQ(VEXAHV_GetChParam(handle, slot, p, 1, &ch, &u), VEXAHV_OK);
    return u;
  }
  std::uint64_t calls() { return space.crates().crate("CrateA").requestCount(); }

  BuiltAddressSpace space;
  ClientAccess* clients = nullptr;
  std::uint32_t session = 0;
  int handle = -1;
};

Variant r4(float f) { Variant v; v.setR4(f); return v; }
Variant boolean(bool b) { Variant v; v.setBOOL(b); return v; }
Variant text(const std::string& s) { Variant v; v.setBSTR(s); return v; }
Variant ui4(std::uint32_t u) { Variant v; v.setUI4(u); return v; }

TEST_F(Writes, SetPointsSwitchesAndCommandsReachTheMainframe) {
  const std::string v0 = "CrateA.Board00.Chan003.V0Set";
  EXPECT_EQ(write(v0, r4(500.0f)), S_OK);
  EXPECT_FLOAT_EQ(channelFloat(0, 3, "V0Set"), 500.0f);
  EXPECT_FLOAT_EQ(cache(v0).getData().rawR4(), 500.0f) << "subscribers see the written value";
  EXPECT_NE(space.log().find("set [CrateA]_Board[0]_Channel[3]_[V0Set] value to [500]"), std::string::npos);

  EXPECT_EQ(write("CrateA.Board00.Chan003.Pw", boolean(true)), S_OK);
  EXPECT_EQ(channelInt(0, 3, "Pw"), 1u);
  float last = deviceRead("CrateA.Board00.Chan003.VMon").getData().rawR4();
  for (int i = 0; i < 3; ++i) {
    space.crates().step(5);
    const float now = deviceRead("CrateA.Board00.Chan003.VMon").getData().rawR4();
    EXPECT_GT(now, last) << "the monitored voltage ramps";
    last = now;
  }

  std::uint64_t before = calls();
  EXPECT_EQ(write("CrateA.Kill", boolean(false)), S_OK);
  EXPECT_EQ(write("CrateA.Format", ui4(1)), S_OK);
  EXPECT_EQ(calls(), before) << "Kill false and Format send nothing";
  EXPECT_EQ(write("CrateA.Kill", boolean(true)), S_OK);
  EXPECT_EQ(calls(), before + 1);
  EXPECT_EQ(channelInt(0, 3, "Pw"), 0u) << "Kill switched the channel off";
  EXPECT_NE(write("CrateA.Board00.Chan003.Pw", boolean(true)), S_OK) << "killed channels stay off";
  EXPECT_EQ(write("CrateA.ClearAlarm", boolean(true)), S_OK);
  EXPECT_EQ(write("CrateA.Board00.Chan003.Pw", boolean(true)), S_OK);

  Variant sign;
  sign.setUI2(0x1234);
  EXPECT_EQ(write("CrateA.GenSignCfg", sign), S_OK);
  std::uint16_t stored = 0;
  ASSERT_EQ(VEXAHV_GetSysProp(handle, "GenSignCfg", &stored), VEXAHV_OK);
  EXPECT_EQ(stored, 0xFF34);

  EXPECT_EQ(write("CrateA.Board00.Chan001.Name", text("Beam centre")), S_OK);
  char names[1][VEXAHV_CH_NAME_SIZE] = {};
  const std::uint16_t one = 1;
  ASSERT_EQ(VEXAHV_GetChName(handle, 0, 1, &one, names), VEXAHV_OK);
  EXPECT_STREQ(names[0], "Beam centre");
}

TEST_F(Writes, RefusedWritesLeaveCacheAndMainframeAlone) {
  const std::string v0 = "CrateA.Board00.Chan004.V0Set";
  ASSERT_EQ(write(v0, r4(250.0f)), S_OK);
  const ValueQT kept = cache(v0);

  EXPECT_NE(write(v0, r4(99999.0f)), S_OK) << "beyond the channel's maximum";
  EXPECT_TRUE(cache(v0) == kept);
  EXPECT_NE(space.log().find("Failed to write item [V0Set]"), std::string::npos);
  EXPECT_NE(space.log().find("_Board[0]_Channel[4]_[V0Set] value - error code [14] (system [CrateA])"),
            std::string::npos);

  const std::uint64_t before = calls();
  EXPECT_EQ(write(v0, text("fast")), DISP_E_TYPEMISMATCH) << "no number: never reaches the server";
  EXPECT_EQ(write("CrateA.Board00.Chan004.VMon", r4(1.0f)), OPC_E_BADRIGHTS);
  EXPECT_NE(write("CrateA.Board00.Chan004.Name", text(std::string(80, 'n'))), S_OK);
  EXPECT_EQ(calls(), before) << "nothing reached the library";
  EXPECT_NE(space.log().find("Refused writing item [CrateA.Board00.Chan004.Name]: text of [80] bytes"),
            std::string::npos);
  EXPECT_TRUE(cache(v0) == kept);

  // Board parameters: a text one cannot be written at all; a read-only one reaches the
  // library, which refuses it.
  std::uint64_t atBoard = calls();
  EXPECT_NE(write("CrateA.Board00.BdLabel", text("downstream")), S_OK);
  EXPECT_EQ(calls(), atBoard);
  EXPECT_NE(space.log().find("_Board[0]_[BdLabel] value - error code [-1]"), std::string::npos);
  EXPECT_EQ(vexahv::setBoardParameter(handle, 0, "Temp", 0, r4(20.0f)), VEXAHV_ERR_READ_ONLY);
  EXPECT_EQ(vexahv::setBoardParameter(handle, 0, "Temp", 1, boolean(true)), VEXAHV_ERR_READ_ONLY);
  EXPECT_GT(calls(), atBoard) << "both reached the library";
  EXPECT_NE(space.log().find("Error setting [" + std::to_string(handle) + "]_Board[0]_[Temp] value - error code [12]"),
            std::string::npos);

  EXPECT_EQ(vexahv::writeItemValue(nullptr, kept), -1);
  std::string propertyItem;
  for (const auto& name : space.childNames("CrateA.Board00.Chan004")) {
    if (name.rfind("V0Set#", 0) == 0) propertyItem = "CrateA.Board00.Chan004." + name;
  }
  ASSERT_TRUE(space.find(propertyItem)) << "a V0Set property item";
  EXPECT_EQ(vexahv::writeItemValue(space.find(propertyItem).get(), kept), -1) << "parameter properties are read-only";
  EXPECT_EQ(vexahv::writeItemValue(space.find("CrateA.ConnStatus").get(), kept), -1);
}

TEST_F(Writes, NoChannelSwitchesOnAboveItsBoardsVoltageLimitAloneOrInAGroup) {
  // Board00's limit turned down to 1,000 V; channel 0 is set above it, 1 to 3 below.
  ASSERT_EQ(space.crates().control("hv-limit CrateA 0 1000"), "OK hv-limit");
  ASSERT_EQ(write("CrateA.Board00.Chan000.V0Set", r4(1200.0f)), S_OK);
  for (const char* id : {"CrateA.Board00.Chan001.V0Set", "CrateA.Board00.Chan002.V0Set", "CrateA.Board00.Chan003.V0Set"}) {
    ASSERT_EQ(write(id, r4(800.0f)), S_OK);
  }
  auto& crate = space.crates().crate("CrateA");
  using vexahv::hwlib::Op;
  const long outOfRange = vexahv::requestResultOf(VEXAHV_ERR_OUT_OF_RANGE);

  EXPECT_EQ(write("CrateA.Board00.Chan000.Pw", boolean(true)), outOfRange);
  EXPECT_EQ(channelInt(0, 0, "Pw"), 0u);
  EXPECT_NE(space.log().find("Refused switching on [CrateA]_Board[0]_Channel[0]: its V0Set [1200] is above the "
                             "board's HVMax [1000]"),
            std::string::npos)
      << space.log();
  EXPECT_EQ(write("CrateA.Board00.Chan000.Pw", boolean(false)), S_OK) << "switching off is never refused";

  // In one Write of the four: one limit read, one set-point read, one call for the three.
  std::vector<WriteItem> items;
  for (int c = 0; c < 4; ++c) {
    const std::string id = "CrateA.Board00.Chan00" + std::to_string(c) + ".Pw";
    items.push_back(WriteItem{space.find(id), ValueQT(boolean(true), kQualityGood, DateTime::now())});
  }
  const std::uint64_t reads = crate.requestCount(Op::GetBdParam) + crate.requestCount(Op::GetChParam);
  const std::uint64_t sets = crate.requestCount(Op::SetChParam);
  std::vector<long> results;
  ASSERT_EQ(clients->write(session, items, results), S_OK);
  EXPECT_EQ(results, (std::vector<long>{outOfRange, S_OK, S_OK, S_OK}));
  EXPECT_EQ(crate.requestCount(Op::GetBdParam) + crate.requestCount(Op::GetChParam) - reads, 2u);
  EXPECT_EQ(crate.requestCount(Op::SetChParam) - sets, 1u);
  EXPECT_EQ(channelInt(0, 0, "Pw"), 0u);
  EXPECT_EQ(channelInt(0, 3, "Pw"), 1u);

  // The hardware holds its limit too: turned down to 100 V, the running channels stop there.
  ASSERT_EQ(space.crates().control("hv-limit CrateA 0 100"), "OK hv-limit");
  space.crates().step(40);
  EXPECT_FLOAT_EQ(channelFloat(0, 1, "VMon"), 100.0f);

  // The limit is each board's own: Board01's stays at 3,500 V.
  ASSERT_EQ(write("CrateA.Board01.Chan000.V0Set", r4(1200.0f)), S_OK);
  EXPECT_EQ(write("CrateA.Board01.Chan000.Pw", boolean(true)), S_OK);
}

TEST_F(Writes, ServerSettingsReachTheFileAndTakeEffect) {
  const auto file = std::filesystem::current_path() / "VEXAHVOPCServer.cfg";
  EXPECT_EQ(write("CrateA.OPCServerEventMode", text("TRUE")), S_OK);
  EXPECT_NE(readFile(file).find("EventEnabled = true;"), std::string::npos) << readFile(file);
  EXPECT_EQ(cache("CrateA.OPCServerEventMode").getData().text(), "TRUE");
  EXPECT_FALSE(vexahv::VEXAHVServerGlobals::eventEnabled) << "takes effect at the next start";

  const std::string before = readFile(file);
  EXPECT_NE(write("CrateA.OPCServerLiveInsertion", text("yes")), S_OK);
  EXPECT_EQ(readFile(file), before);
  EXPECT_EQ(cache("CrateA.OPCServerLiveInsertion").getData().text(), "false");

  EXPECT_EQ(write("CrateA.OPCServerLiveInsertion", text("false")), S_OK);
  Variant seconds;
  seconds.setUI2(120);
  EXPECT_EQ(write("CrateA.OPCServerVerifyTime", seconds), S_OK);
  EXPECT_NE(readFile(file).find("VerifyTime = 120;"), std::string::npos);

  EXPECT_EQ(write("OPCServerLogLevel", ui4(12)), S_OK);
  EXPECT_NE(readFile(file).find("LogLevel = 9;"), std::string::npos);
  EXPECT_EQ(cache("OPCServerLogLevel").getData().rawUI4(), 9u);
  EXPECT_EQ(cache("OPCServerLogLevel").getData().vartype(), space.find("OPCServerLogLevel")->getDatatype());
  EXPECT_TRUE(vexahv::logEnabled(vexahv::Severity::Debug));
  EXPECT_EQ(write("OPCServerLogLevel", ui4(3)), S_OK);
  EXPECT_FALSE(vexahv::logEnabled(vexahv::Severity::Notice));
  EXPECT_EQ(write("OPCServerLogLevel", ui4(7)), S_OK);

  EXPECT_EQ(write("OPCServerUseBatchedGroupTransactions", boolean(true)), S_OK);
  EXPECT_TRUE(vexahv::VEXAHVServerGlobals::getUseBatchedGroupTransactions());
  EXPECT_NE(readFile(file).find("UseBatchedGroupTransactions = true;"), std::string::npos);
  const std::string text = readFile(file);
  for (const char* key : {"EventEnabled = true;", "LiveInsertRemoval = false;", "VerifyTime = 120;", "LogLevel = 7;"}) {
    EXPECT_NE(text.find(key), std::string::npos) << key << " kept in " << text;
  }

  // A file that cannot be written: the batching flag is in force all the same.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_NE(write("OPCServerUseBatchedGroupTransactions", boolean(false)), S_OK);
  EXPECT_FALSE(vexahv::VEXAHVServerGlobals::getUseBatchedGroupTransactions());
  EXPECT_NE(write("CrateA.OPCServerVerifyTime", seconds), S_OK);
  std::filesystem::remove(file);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One Write of many items: a call per board, parameter and value, crates side by side,
// each item its own result and log line as one by one; a group the library refuses is
// written again channel by channel; the order of a channel's own writes is kept.
TEST(GroupedWrites, ABoardsChannelsGoInOneCallEachItemWithItsOwnResult) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"}, false);
  ClientAccess* clients = getApp()->clients();
  std::uint32_t session = 0;
  ASSERT_EQ(clients->openSession("test", session), S_OK);
  std::vector<WriteItem> items;
  const auto add = [&](const std::string& crate, int board, int channels, const char* param, const Variant& v) {
    for (int c = 0; c < channels; ++c) {
      char id[64];
      std::snprintf(id, sizeof id, "%s.Board%02d.Chan%03d.%s", crate.c_str(), board, c, param);
      ASSERT_TRUE(space.find(id)) << id;
      items.push_back(WriteItem{space.find(id), ValueQT(v, kQualityGood, DateTime::now())});
    }
  };
  const auto writeAll = [&] {
    std::vector<long> results;
    EXPECT_EQ(clients->write(session, items, results), S_OK);
    items.clear();
    return results;
  };
  // The library also asks a parameter's type once: only the setting calls are counted.
  const auto calls = [&](const char* crate) {
    return space.crates().crate(crate).requestCount(vexahv::hwlib::Op::SetChParam);
  };
  const int a = space.find("CrateA")->getHandle(), b = space.find("CrateB")->getHandle();

  // The set-points before the switch, as asked: 12 + 12 + 24 channels of CrateA, 12 of CrateB.
  add("CrateA", 0, 12, "V0Set", r4(300.0f));
  add("CrateA", 0, 12, "Pw", boolean(true));
  add("CrateA", 1, 24, "V0Set", r4(300.0f));
  add("CrateB", 0, 12, "V0Set", r4(200.0f));
  const std::uint64_t beforeA = calls("CrateA"), beforeB = calls("CrateB");
  std::vector<long> results = writeAll();
  EXPECT_EQ(results, std::vector<long>(60, S_OK));
  EXPECT_EQ(calls("CrateA") - beforeA, 3u) << "V0Set and Pw of board 0, V0Set of board 1";
  EXPECT_EQ(calls("CrateB") - beforeB, 1u);
  std::uint16_t ch = 11;
  float volts = 0;
  std::uint32_t on = 0;
  ASSERT_EQ(VEXAHV_GetChParam(a, 1, "V0Set", 1, &ch, &volts), VEXAHV_OK);
  EXPECT_FLOAT_EQ(volts, 300.0f);
  ASSERT_EQ(VEXAHV_GetChParam(a, 0, "Pw", 1, &ch, &on), VEXAHV_OK);
  EXPECT_EQ(on, 1u);
  ASSERT_EQ(VEXAHV_GetChParam(b, 0, "V0Set", 1, &ch, &volts), VEXAHV_OK);
  EXPECT_FLOAT_EQ(volts, 200.0f);
  ValueQT cached;
  space.find("CrateA.Board01.Chan023.V0Set")->getCacheValue(cached);
  EXPECT_FLOAT_EQ(cached.getData().rawR4(), 300.0f) << "subscribers see each written value";
  std::string log = space.log();
  EXPECT_EQ(count(log, "] value to ["), 60u) << "a line per item";
  EXPECT_NE(log.find("set [CrateA]_Board[1]_Channel[23]_[V0Set] value to [300]"), std::string::npos);

  // Channel 2 of board 0 trips on over-current; switching the board on again is refused
  // as a group, then each channel is written alone.
  const float microamps = 1;
  ch = 2;
  ASSERT_EQ(VEXAHV_SetChParam(a, 0, "I0Set", 1, &ch, &microamps), VEXAHV_OK);
  space.crates().step(40);
  std::uint32_t status = 0;
  ASSERT_EQ(VEXAHV_GetChParam(a, 0, "Status", 1, &ch, &status), VEXAHV_OK);
  ASSERT_NE(status & (1u << 7), 0u) << "tripped";
  add("CrateA", 0, 6, "Pw", boolean(true));
  const std::size_t logged = space.log().size();
  const std::uint64_t before = calls("CrateA");
  results = writeAll();
  EXPECT_EQ(results[2], vexahv::requestResultOf(VEXAHV_ERR_INHIBITED));
  results.erase(results.begin() + 2);
  EXPECT_EQ(results, std::vector<long>(5, S_OK)) << "the refused channel hides no other";
  EXPECT_EQ(calls("CrateA") - before, 7u) << "the group, then each of the six";
  log = space.log().substr(logged);
  EXPECT_NE(log.find("Writing [Pw] of [6] channels of board [0] of system [CrateA] at once failed - error code [18]"),
            std::string::npos)
      << log;
  EXPECT_EQ(count(log, "_Board[0]_Channel[2]_[Pw] value - error code [18]"), 1u);
  EXPECT_EQ(count(log, "Failed to write item [Pw]"), 1u);
  EXPECT_EQ(count(log, "]_[Pw] value to [true]"), 5u);

  // A channel's writes stay in their order: its third write, of the first's value, does
  // not join the first's call but comes after the second.
  add("CrateA", 1, 1, "V0Set", r4(100.0f));
  add("CrateA", 1, 1, "V0Set", r4(150.0f));
  add("CrateA", 1, 2, "V0Set", r4(100.0f));
  const std::uint64_t ordered = calls("CrateA");
  EXPECT_EQ(writeAll(), std::vector<long>(4, S_OK));
  EXPECT_EQ(calls("CrateA") - ordered, 3u) << "channel 1 joins the third";
  for (const std::uint16_t c : {0, 1}) {
    ASSERT_EQ(VEXAHV_GetChParam(a, 1, "V0Set", 1, &c, &volts), VEXAHV_OK);
    EXPECT_FLOAT_EQ(volts, 100.0f) << "channel " << c;
  }
  clients->closeSession(session);
}

TEST(Sessions, ClientCountRisesAndFallsWithTheLastDisconnectLoggedOnce) {
  BuiltAddressSpace space({}, false);
  vexahv::VEXAHVServerGlobals::plant.stopOnLastClient = true;
  vexahv::VEXAHVSession a(EnumSessionType::Da, 1), b(EnumSessionType::Da, 2);
  a.connectSession();
  b.connectSession();
  EXPECT_EQ(vexahv::VEXAHVSession::clientCount(), 2);
  a.disconnectSession();
  b.disconnectSession();
  const std::string log = space.log();
  std::size_t at = 0;
  for (const char* line : {"Connection - client count = [1]", "Connection - client count = [2]",
                           "Disconnection - client count = [1]", "Disconnection - client count = [0]",
                           "Last client disconnect from VEXAHVOPCServer", "Stopping VEXAHVOPCServer Service"}) {
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << line;
  }
  EXPECT_EQ(log.find("Last client disconnect"), log.rfind("Last client disconnect"));

  // The default: the last client leaves, and the server asks for no stop.
  vexahv::VEXAHVServerGlobals::plant.stopOnLastClient = false;
  a.connectSession();
  a.disconnectSession();
  const std::string after = space.log().substr(log.size());
  EXPECT_NE(after.find("Last client disconnect from VEXAHVOPCServer"), std::string::npos);
  EXPECT_EQ(after.find("Stopping VEXAHVOPCServer Service"), std::string::npos);
}

}  // namespace
