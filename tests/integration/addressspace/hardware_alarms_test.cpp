// The alarms of the built hardware: which sources have which conditions, the reports a
// status word makes, and the severities of the alarms file.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "addressspace/hardware_alarms.h"
#include "built_address_space.h"
#include "opctoolbox/application.h"
#include "config/server_globals.h"
#include "hwlib/VEXAHVWrapper.h"
#include "platform/platform_root.h"

namespace {

using namespace vexahv;
using test::BuiltAddressSpace;

const OpcToolbox::ConditionReport* activeOne(const std::vector<OpcToolbox::ConditionReport>& all, const std::string& id) {
  for (const auto& r : all) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

TEST(HardwareAlarms, ChannelsAndCratesHaveTheirConditionsWithTheSeveritiesInForce) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2"}, true);
  OpcToolbox::ConditionTable& table = OpcToolbox::getApp()->conditions();
  declareAlarmTypes(table);
  EXPECT_EQ(table.conditionsOf("CrateA.Board00.Chan003").size(), 7u);
  ASSERT_EQ(table.conditionsOf("CrateA").size(), 3u) << "a UDP crate";
  EXPECT_STREQ(table.conditionsOf("CrateA")[0].name, "ConnectionLost");
  EXPECT_STREQ(table.conditionsOf("CrateA")[1].name, "NotBuilt");
  EXPECT_STREQ(table.conditionsOf("CrateA")[2].name, "EventChannelLost");
  ASSERT_EQ(table.conditionsOf("CrateA.Board00").size(), 5u) << "its BdStatus";
  EXPECT_STREQ(table.conditionsOf("CrateA.Board00")[1].name, "OverTemperature");
  EXPECT_TRUE(table.conditionsOf("CrateA.Board00.Chan003.VMon").empty());
  EXPECT_TRUE(table.conditionsOf("CrateZ").empty());
  EXPECT_NE(table.classOf("CrateA.Board00.Chan003#Trip"), nullptr);
  EXPECT_EQ(table.classOf("CrateA.Board00.Chan003#ConnectionLost"), nullptr);

  // The file: named kinds take their severities, the others keep the defaults.
  const std::filesystem::path file = platform::platformRoot() / kAlarmsFile;  // the scratch root's
  std::ofstream(file) << "# plant A\nTrip = 950\n\nConnectionLost=990\nOverTemperature = 850\n";
  ASSERT_EQ(loadAlarmSeverities(file), "");
  EXPECT_EQ(alarmSeverity("Trip"), 950);
  EXPECT_EQ(alarmSeverity("OverTemperature"), 850);
  EXPECT_EQ(alarmSeverity("ConnectionLost"), 990);
  EXPECT_EQ(alarmSeverity("OverCurrent"), 700);
  EXPECT_EQ(table.classOf("CrateA.Board00.Chan003#Trip")->severity, 950) << "a quiet condition shows it too";

  const auto status = std::dynamic_pointer_cast<VEXAHVElement>(space.find("CrateA.Board00.Chan003.Status"));
  ASSERT_TRUE(status);
  reportStatusWord(table, *status, (1u << 7) | (1u << 3), OpcToolbox::DateTime::now());  // tripped, over current
  const auto active = table.active();
  const auto* trip = activeOne(active, "CrateA.Board00.Chan003#Trip");
  ASSERT_NE(trip, nullptr);
  EXPECT_EQ(trip->severity, 950);
  EXPECT_EQ(trip->message.rfind("CrateA Board00 Chan003 tripped", 0), 0u) << trip->message;
  ASSERT_NE(activeOne(active, "CrateA.Board00.Chan003#OverCurrent"), nullptr);
  reportStatusWord(table, *status, 0, OpcToolbox::DateTime::now());
  EXPECT_TRUE(table.active().empty());
  // A board's word: its own bits, with its own names.
  const auto board = std::dynamic_pointer_cast<VEXAHVElement>(space.find("CrateA.Board00.BdStatus"));
  ASSERT_TRUE(board);
  reportStatusWord(table, *board, (1u << 0) | (1u << 1), OpcToolbox::DateTime::now());  // power failed, too hot
  const auto faults = table.active();
  ASSERT_EQ(faults.size(), 2u);
  ASSERT_NE(activeOne(faults, "CrateA.Board00#PowerFail"), nullptr);
  EXPECT_EQ(activeOne(faults, "CrateA.Board00#PowerFail")->message, "CrateA Board00 power failed");
  ASSERT_NE(activeOne(faults, "CrateA.Board00#OverTemperature"), nullptr);
  EXPECT_EQ(activeOne(faults, "CrateA.Board00#OverTemperature")->severity, 850);
  reportStatusWord(table, *board, 0, OpcToolbox::DateTime::now());
  EXPECT_TRUE(table.active().empty());

  // A wrong file names its line and changes nothing.
  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"Trip = 800\nTripped = 900\n", "line 2: no alarm is named [Tripped]"},
           {"OverVoltage = 0\n", "line 1: the severity of [OverVoltage] is a whole number from 1 to 1000, not [0]"},
           {"Killed = 12x\n", "not [12x]"},
           {"Killed\n", "line 1: "}}) {
    std::ofstream(file) << text;
    const std::string error = loadAlarmSeverities(file);
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_NE(error.find(file.filename().string()), std::string::npos) << error;
    EXPECT_EQ(alarmSeverity("Trip"), 950) << text;
  }
  std::filesystem::remove(file);
  EXPECT_EQ(loadAlarmSeverities(file), "");
  EXPECT_EQ(alarmSeverity("Trip"), 900) << "no file: the defaults";
  EXPECT_EQ(alarmSeverity("ConnectionLost"), 1000);
}

}  // namespace

namespace {

TEST(HardwareAlarms, APolledCrateRaisesItsChannelsAlarmsWithNoClientWatching) {
  using namespace std::chrono_literals;
  VEXAHVServerGlobals::setUseBatchedGroupTransactions(true);
  {
    BuiltAddressSpace space({"CrateC,4,0,127.0.0.4"}, false);
    OpcToolbox::ConditionTable& table = OpcToolbox::getApp()->conditions();
    space.crates().simulator().run();
    // 1 uA at 10 V on the 10 MOhm load of board 2, reached in half a second of the ramp.
    const int handle = space.find("CrateC")->getHandle();
    const std::uint16_t channel = 0;
    const float limit = 1, volts = 100;
    const std::uint32_t on = 1;
    ASSERT_EQ(VEXAHV_SetChParam(handle, 2, "I0Set", 1, &channel, &limit), VEXAHV_OK);
    ASSERT_EQ(VEXAHV_SetChParam(handle, 2, "V0Set", 1, &channel, &volts), VEXAHV_OK);
    ASSERT_EQ(VEXAHV_SetChParam(handle, 2, "Pw", 1, &channel, &on), VEXAHV_OK);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!table.isActive("CrateC.Board02.Chan000#OverCurrent") && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(table.isActive("CrateC.Board02.Chan000#OverCurrent")) << "its status word is polled for the alarms alone";
    EXPECT_EQ(space.log().find("are read only for the channels clients watch"), std::string::npos);

    // Reads turned item by item: the watch stops, as it would cost a call per channel.
    const auto requests = [&] { return space.crates().crate("CrateC").requestCount(); };
    const auto readsWithin = [&](std::chrono::milliseconds window) {
      std::this_thread::sleep_for(500ms);  // a poll under way ends first
      const std::uint64_t before = requests();
      std::this_thread::sleep_for(window);
      return requests() - before;
    };
    VEXAHVServerGlobals::setUseBatchedGroupTransactions(false);
    followBatchedReads(false);
    EXPECT_EQ(readsWithin(2500ms), 0u) << "no client watches it: nothing is read";
    EXPECT_NE(space.log().find("Status words of system [CrateC] are read only"), std::string::npos);
    VEXAHVServerGlobals::setUseBatchedGroupTransactions(true);
    followBatchedReads(true);
    EXPECT_GE(readsWithin(2500ms), 2u) << "batched again: watched again, a call per board each second";
  }
  VEXAHVServerGlobals::setUseBatchedGroupTransactions(false);
  BuiltAddressSpace unbatched({"CrateC,4,0,127.0.0.4"}, false);
  EXPECT_NE(unbatched.log().find("Status words of system [CrateC] are read only for the channels clients watch"),
            std::string::npos)
      << "item by item, a poll of every channel would take the crate's link: said once";
}

}  // namespace
