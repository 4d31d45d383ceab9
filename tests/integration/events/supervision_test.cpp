// Connection supervision against faults injected through the simulator: a crate that
// stops answering, a TCP event connection that drops or goes silent, a crate that appears
// after start-up, a refused login, damaged event data, a board taken out and put back.
// The simulator ticks in real time (100 ms, keep-alives every second); probes every 100 ms.

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "addressspace/item_reader.h"
#include "opctoolbox/application.h"
#include "hwlib/VEXAHVWrapper.h"
#include "integration/events/evented_space.h"

namespace {

using namespace std::chrono_literals;
using namespace vexahv;
using OpcToolbox::kQualityGood;
using OpcToolbox::kQualityNotConnected;
using OpcToolbox::ValueQT;
using test::EventedSpace;
using test::fast;
using test::toolboxValue;
using test::eventually;
using test::Watcher;

bool good(const ValueQT& v) { return v.getQuality() == kQualityGood; }

TEST(Supervision, ACrateThatStopsAnsweringIsMarkedLostAndRestored) {
  EventedSpace s({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4"}, fast(), 1000);
  s.crates().simulator().run();
  Watcher w;
  const auto vset = s.find("CrateA.Board00.Chan001.V0Set");
  test::ScopedMonitor m(vset, 100, w);
  ASSERT_TRUE(m.ok());

  const int before = s.find("CrateA")->getHandle();
  s.crates().control("silent CrateA on");
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection KO for [CrateA]") == 1; }, 15s));
  // The status follows its log line at once.
  ASSERT_TRUE(eventually([&] { return toolboxValue(s.find("CrateA.ConnStatus")).getData().text() == "Ko"; }, 2s));
  EXPECT_EQ(s.logCount("KeepAlive failed for device [CrateA] - Fail count [1]"), 1u);
  EXPECT_EQ(s.logCount("KeepAlive failed for device [CrateA] - Fail count [2]"), 1u);
  EXPECT_EQ(s.logCount("KeepAlive failed for device [CrateA] - Fail count [3]"), 1u);
  EXPECT_EQ(toolboxValue(vset).getQuality(), kQualityNotConnected);
  EXPECT_EQ(toolboxValue(s.find("CrateA.ConnStatus")).getData().text(), "Ko");
  EXPECT_TRUE(good(toolboxValue(s.find("CrateC.ConnStatus")))) << "other crates untouched";
  EXPECT_EQ(toolboxValue(s.find("CrateC.ConnStatus")).getData().text(), "Ok");
  EXPECT_TRUE(eventually([&] { return s.logCount("Connection NOT restored for system [CrateA]") >= 1; }, 20s));

  s.crates().control("silent CrateA off");
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection restored for system [CrateA]") == 1; }, 15s));
  EXPECT_TRUE(eventually([&] { return toolboxValue(s.find("CrateA.ConnStatus")).getData().text() == "Ok"; }, 2s));
  // Every item reads through the new connection: the handle its binding shares changed once.
  EXPECT_NE(s.find("CrateA")->getHandle(), before);
  EXPECT_EQ(readItemValue(s.find("CrateA.Board01.Chan003.VMon").get()).getQuality(), kQualityGood);
  // The subscription is restored: a change reaches the client through an event again.
  const float set = 777.0f;
  const std::uint16_t ch = 1;
  ASSERT_EQ(VEXAHV_SetChParam(s.find("CrateA")->getHandle(), 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  EXPECT_TRUE(w.waitFor("CrateA.Board00.Chan001.V0Set",
                        [](const ValueQT& v) { return good(v) && v.getData().rawR4() == 777.0f; }, 15s));
}

TEST(Supervision, ATcpEventConnectionThatDropsOrFallsSilentIsRebuilt) {
  // A silent mainframe answers no probe either: with 5 s calls the probes need 15 s to call
  // it lost, so it is the event connection's silence (1.5 s) that is seen first, even on a
  // loaded machine.
  EventedSpace s({"CrateB,1,0,127.0.0.3:admin:hvsecret"}, fast(), 5000);
  s.crates().simulator().run();
  const auto node = s.find("CrateB");
  ASSERT_TRUE(eventually([&] { return node->getKeepAliveState() == 1; }, 15s));

  // Counts grow by at least one: on a loaded machine a slow probe may add a round of its own.
  s.crates().control("break-events CrateB");
  ASSERT_TRUE(eventually([&] { return s.logCount("Trying to reconnect to127.0.0.3]") >= 1; }, 15s));
  EXPECT_GE(s.logCount("Socket error for client [127.0.0.3]"), 1u);
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection restored for system [CrateB]") >= 1; }, 15s));
  ASSERT_TRUE(eventually([&] { return node->getKeepAliveState() == 1 && node->hasEventThread(); }, 15s));

  // Silent without closing: the connection stays open and says nothing.
  const auto reconnects = s.logCount("Trying to reconnect to127.0.0.3]");
  const auto restored = s.logCount("Connection restored for system [CrateB]");
  const auto missing = s.logCount("No event connection of system [CrateB]");
  s.crates().control("silent CrateB on");
  // Seen as the open connection's silence; or, when the mainframe had not yet opened its
  // new connection after the break (a loaded machine), as a connection that never comes.
  ASSERT_TRUE(eventually([&] {
    return s.logCount("TCP event connection of system [CrateB] delivered nothing for") >= 1 ||
           s.logCount("No event connection of system [CrateB]") > missing;
  }, 15s));
  ASSERT_TRUE(eventually([&] { return s.logCount("Trying to reconnect to127.0.0.3]") > reconnects; }, 15s));
  EXPECT_EQ(toolboxValue(s.find("CrateB.Board00.Chan000.VMon")).getQuality(), kQualityNotConnected);
  s.crates().control("silent CrateB off");
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection restored for system [CrateB]") > restored; }, 20s));
  EXPECT_TRUE(eventually([&] { return good(toolboxValue(s.find("CrateB.Board00.Chan000.VMon"))); }, 15s));
}

TEST(Supervision, ACrateUnreachableAtStartUpIsBuiltWholeWhenItAppears) {
  EventedSpace s({"CrateB,1,0,127.0.0.3:admin:hvsecret"}, fast(), 3000, 600,
                 [](test::SimulatedCrates& crates) { crates.control("refuse-login CrateB on"); });
  s.crates().simulator().run();
  EXPECT_EQ(s.find("CrateB.Board00"), nullptr) << "nothing built of a crate that refused the login";
  EXPECT_TRUE(s.find("CrateB")->getNeedsConfiguration());
  const auto notBuilt = [] {
    for (const auto& r : OpcToolbox::getApp()->conditions().active()) {
      if (r.id == "CrateB#NotBuilt") return r.message;
    }
    return std::string();
  };
  EXPECT_EQ(notBuilt(), "CrateB could not be built: its login was refused");
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection NOT restored for system [CrateB]") >= 2; }, 15s))
      << "retried every probe period";
  s.crates().control("refuse-login CrateB off");
  ASSERT_TRUE(eventually([&] { return s.logCount("System [CrateB] address space built") == 1; }, 20s));
  EXPECT_FALSE(s.find("CrateB")->getNeedsConfiguration());
  EXPECT_EQ(notBuilt(), "") << "built: its alarm is back to normal";
  const auto vmon = s.find("CrateB.Board01.Chan005.VMon");
  ASSERT_NE(vmon, nullptr) << "built whole";
  ASSERT_TRUE(eventually([&] { return s.find("CrateB")->getKeepAliveState() == 1; }, 15s)) << "and reporting";
  const std::uint16_t ch = 5;
  const float set = 55.0f;
  ASSERT_EQ(VEXAHV_SetChParam(s.find("CrateB")->getHandle(), 1, "V0Set", 1, &ch, &set), VEXAHV_OK);
  EXPECT_TRUE(eventually([&] { return s.find("CrateB.Board01.Chan005.V0Set")->getCachedValue().getData().rawR4() == 55.0f; },
                         5s));
}

TEST(Supervision, DamagedEventDataIsLoggedAndTheLoopGoesOn) {
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, fast());
  s.crates().simulator().run();
  Watcher w;
  test::ScopedMonitor m(s.find("CrateA.Board00.Chan004.V0Set"), 100, w);
  ASSERT_TRUE(m.ok());
  const int h = s.find("CrateA")->getHandle();
  const std::uint16_t ch = 4;
  s.crates().control("damage-udp CrateA 2");
  float set = 11.0f;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  ASSERT_TRUE(eventually([&] { return s.logCount("Event data not valid") >= 2; }, 15s));
  set = 22.0f;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  EXPECT_TRUE(w.waitFor("CrateA.Board00.Chan004.V0Set", [](const ValueQT& v) { return v.getData().rawR4() == 22.0f; }, 15s));
}

// A type-2 mainframe that never opens its event connection after the subscription (its one
// attempt failed) would leave its values good and stale for ever: past the wait the system
// counts as lost and is reconnected, which subscribes it again.
TEST(Supervision, ASubscriptionWithoutItsEventConnectionIsReconnected) {
  EventedSpace s({"CrateB,1,0,127.0.0.3:admin:hvsecret"}, fast(), 3000);
  // No tick: the simulated mainframe never connects.
  EXPECT_EQ(s.find("CrateB")->getKeepAliveState(), 3);
  ASSERT_TRUE(eventually([&] { return s.logCount("No event connection of system [CrateB] for [1500ms]") == 1; }, 15s));
  ASSERT_TRUE(eventually([&] { return s.logCount("Connection restored for system [CrateB]") == 1; }, 15s));
  s.crates().simulator().run();
  // Generous: under a loaded machine the first event connections may be judged silent again.
  EXPECT_TRUE(eventually([&] { return s.find("CrateB")->getKeepAliveState() == 1; }, 30s)) << "and then it reports";
}

// A UDP mainframe that forgot its subscriptions answers every probe and sends nothing: its
// values would stay good and stale. Past the wait its event channel is lost, an alarm, and
// it is subscribed again; its events then flow, and the alarm returns to normal.
TEST(Supervision, AUdpCrateThatAnswersButSendsNothingIsSubscribedAgain) {
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, fast());
  s.crates().simulator().run();
  Watcher w;
  test::ScopedMonitor m(s.find("CrateA.Board00.Chan002.V0Set"), 100, w);
  ASSERT_TRUE(m.ok());
  OpcToolbox::ConditionTable& alarms = OpcToolbox::getApp()->conditions();
  struct Reports : OpcToolbox::ConditionListener {
    std::mutex mutex;
    std::vector<std::string> seen;
    void conditionChanged(const OpcToolbox::ConditionReport& r) override {
      std::lock_guard l(mutex);
      seen.push_back(r.id + (r.active ? " active: " : " inactive: ") + r.message);
    }
  } reports;
  alarms.setListener(&reports);
  s.crates().control("forget-events CrateA");
  ASSERT_TRUE(eventually([&] { return s.logCount("No event data from system [CrateA] for [") >= 1; }, 15s));
  EXPECT_EQ(s.logCount("KeepAlive failed for device [CrateA]"), 0u) << "it answered all along";
  EXPECT_TRUE(eventually([&] { return !alarms.isActive("CrateA#EventChannelLost") &&
                                      s.logCount("Event data from system [CrateA] comes again") >= 1; }, 15s))
      << "raised, then back to normal with the next datagram";
  alarms.setListener(nullptr);
  EXPECT_EQ(reports.seen, (std::vector<std::string>{
                              "CrateA#EventChannelLost active: CrateA sends no events: its values may be stale",
                              "CrateA#EventChannelLost inactive: CrateA sends events again"}));
  EXPECT_EQ(s.logCount("Trying to reconnect to system [CrateA]"), 0u) << "the link was never rebuilt";
  const float set = 321.0f;
  const std::uint16_t ch = 2;
  ASSERT_EQ(VEXAHV_SetChParam(s.find("CrateA")->getHandle(), 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  EXPECT_TRUE(w.waitFor("CrateA.Board00.Chan002.V0Set", [](const ValueQT& v) { return v.getData().rawR4() == 321.0f; }, 15s))
      << "the watched item is subscribed again";
}

}  // namespace
