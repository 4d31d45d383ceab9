// Events end to end over the simulated crates: values that follow the hardware through
// events alone (UDP for type 0, TCP for type 2), and the dispatch rules of both channels.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "addressspace/event_ports.h"
#include "addressspace/item_reader.h"
#include "config/server_globals.h"
#include "platform/socket.h"
#include "events/event_dispatch.h"
#include "hwlib/VEXAHVWrapper.h"
#include "integration/events/evented_space.h"

namespace {

using namespace std::chrono_literals;
using namespace vexahv;
using OpcToolbox::kQualityGood;
using OpcToolbox::ValueQT;
using test::EventedSpace;
using test::Watcher;

const std::vector<std::string> kCrates = {"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"};

void switchOn(int handle, std::uint16_t slot, std::uint16_t channel, float volts) {
  const std::uint32_t on = 1;
  ASSERT_EQ(VEXAHV_SetChParam(handle, slot, "V0Set", 1, &channel, &volts), VEXAHV_OK);
  ASSERT_EQ(VEXAHV_SetChParam(handle, slot, "Pw", 1, &channel, &on), VEXAHV_OK);
}

float volts(const ValueQT& v) { return v.getData().rawR4(); }

TEST(Events, MonitoredValuesFollowARampThroughEventsAlone) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);  // no keep-alive probe inside the counted window
  EventedSpace s(kCrates, quiet);
  EXPECT_EQ(s.logCount("Keep alive/Live insertion registered"), 1u) << "CrateA only: CrateB reports over TCP";
  // Written by the events thread right after it said its subscriptions are in place.
  EXPECT_TRUE(test::eventually([&] { return s.logCount("Starting events data loop") >= 1; }, 5s));
  EXPECT_NE(udpEventPort.load(), 0);

  Watcher w;
  const auto vmonA = s.find("CrateA.Board00.Chan001.VMon");
  const auto vmonB = s.find("CrateB.Board00.Chan003.VMon");
  ASSERT_TRUE(vmonA && vmonB);
  test::ScopedMonitor ma(vmonA, 100, w), mb(vmonB, 100, w);
  ASSERT_TRUE(ma.ok() && mb.ok());
  // The activation's subscription is a library call too: done before the counted window.
  OpcToolbox::getApp()->clients()->flushActivations();
  switchOn(s.find("CrateA")->getHandle(), 0, 1, 1000);
  switchOn(s.find("CrateB")->getHandle(), 0, 3, 1000);

  // CrateB's event connection comes on the first tick; both subscriptions in place, its
  // state is 1 and batches apply.
  s.crates().step(1, true);
  ASSERT_TRUE(test::eventually([&] { return s.find("CrateB")->getKeepAliveState() == 1; }, 20s));
  const std::uint64_t beforeA = s.requests("CrateA"), beforeB = s.requests("CrateB");
  for (int i = 0; i < 10; ++i) {
    s.crates().step(1, i % 10 == 0);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(w.waitFor("CrateA.Board00.Chan001.VMon", [](const ValueQT& v) { return volts(v) >= 40.0f; }, 20s));
  EXPECT_TRUE(w.waitFor("CrateB.Board00.Chan003.VMon", [](const ValueQT& v) { return volts(v) >= 80.0f; }, 20s));
  EXPECT_EQ(s.requests("CrateA"), beforeA) << "no device read in between";
  EXPECT_EQ(s.requests("CrateB"), beforeB);
  // Every value is good and no value goes backwards during the ramp up.
  float last = -1;
  for (const auto& [id, v] : w.values("CrateA.Board00.Chan001.VMon")) {
    EXPECT_EQ(v.getQuality(), kQualityGood);
    EXPECT_GE(volts(v), last);
    last = volts(v);
  }
  EXPECT_GT(s.events().udp().batches(), 0u);
}

VEXAHVUdpEventRecord udpRecord(std::uint8_t type, const char* id, float value) {
  VEXAHVUdpEventRecord r{};
  r.type = type;
  std::strncpy(r.id, id, sizeof r.id - 1);
  std::memcpy(r.value, &value, 4);
  return r;
}

VEXAHVTcpEventRecord tcpRecord(std::int32_t slot, std::int32_t channel, const char* name, float value) {
  VEXAHVTcpEventRecord r{};
  r.type = VEXAHV_EVENT_PARAMETER;
  r.slot = slot;
  r.channel = channel;
  std::strncpy(r.name, name, sizeof r.name - 1);
  std::memcpy(r.data.value, &value, 4);
  return r;
}

TEST(Events, DispatchFindsItemsByIdentifierOrPosition) {
  EventedSpace s(kCrates, {});
  using events::findElementById;
  EXPECT_EQ(findElementById("CrateA..Board01"), s.find("CrateA.Board01")) << "empty pieces are dropped";
  EXPECT_EQ(findElementById("CrateA.Board00.Chan002.VMon.extra"), s.find("CrateA.Board00.Chan002.VMon"))
      << "five pieces resolve by the first four";
  EXPECT_EQ(findElementById("OPCServerLogLevel"), nullptr) << "the first piece must be a system";
  EXPECT_EQ(findElementById("CrateZ.Board00"), nullptr);

  events::applyUdpEvent(udpRecord(VEXAHV_EVENT_PARAMETER, "CrateA.Board00.Chan002.VMon", 1.5f));
  ValueQT v = s.find("CrateA.Board00.Chan002.VMon")->getCachedValue();
  EXPECT_FLOAT_EQ(volts(v), 1.5f);
  EXPECT_EQ(v.getQuality(), kQualityGood);
  EXPECT_EQ(s.logCount("Event - id [CrateA.Board00.Chan002.VMon] - value [1.5]"), 1u);
  events::applyUdpEvent(udpRecord(VEXAHV_EVENT_PARAMETER, "CrateA.Board00.Chan099.VMon", 2.0f));
  EXPECT_EQ(s.logCount("Event - id [CrateA.Board00.Chan099.VMon] not valid"), 1u);
  events::applyUdpEvent(udpRecord(7, "CrateA.Board00.Chan002.VMon", 9.0f));
  EXPECT_FLOAT_EQ(volts(s.find("CrateA.Board00.Chan002.VMon")->getCachedValue()), 1.5f) << "type 7 is skipped";
  VEXAHVUdpEventRecord unterminated = udpRecord(VEXAHV_EVENT_PARAMETER, "", 0);
  std::memset(unterminated.id, 'A', sizeof unterminated.id);
  events::applyUdpEvent(unterminated);  // read within its 64 bytes, found nowhere

  s.find("CrateA")->setConnectionStatus(kStatusKo);
  events::applyUdpEvent(udpRecord(VEXAHV_EVENT_PARAMETER, "CrateA.Board00.Chan002.VMon", 3.0f));
  EXPECT_FLOAT_EQ(volts(s.find("CrateA.Board00.Chan002.VMon")->getCachedValue()), 1.5f)
      << "a lost system's items stay not connected until it is restored";
  s.find("CrateA")->setConnectionStatus(kStatusOk);

  s.find("CrateA")->setKeepAliveState(0);
  events::applyUdpEvent(udpRecord(VEXAHV_EVENT_KEEPALIVE, "CrateZ.KeepAlive", 0));
  EXPECT_EQ(s.find("CrateA")->getKeepAliveState(), 0) << "an unknown system changes nothing";
  events::applyUdpEvent(udpRecord(VEXAHV_EVENT_KEEPALIVE, "CrateA.KeepAlive", 0));
  EXPECT_EQ(s.find("CrateA")->getKeepAliveState(), 1);

  // TCP records by slot and channel; a batch is applied only in state 1.
  auto& b = *s.find("CrateB");
  const VEXAHVTcpEventRecord batch[] = {tcpRecord(-1, -1, "HvPwSM", 2.5f), tcpRecord(0, -1, "Temp", 33.0f),
                                        tcpRecord(0, 0, "VMon", 12.0f), tcpRecord(0, 40, "VMon", 1.0f)};
  b.setKeepAliveState(2);
  events::applyTcpBatch(b, batch, 4);
  EXPECT_NE(volts(s.find("CrateB.Board00.Chan000.VMon")->getCachedValue()), 12.0f) << "state 2: discarded";
  b.setKeepAliveState(1);
  events::applyTcpBatch(b, batch, 4);
  EXPECT_FLOAT_EQ(volts(s.find("CrateB.HvPwSM")->getCachedValue()), 2.5f);
  EXPECT_FLOAT_EQ(volts(s.find("CrateB.Board00.Temp")->getCachedValue()), 33.0f);
  EXPECT_FLOAT_EQ(volts(s.find("CrateB.Board00.Chan000.VMon")->getCachedValue()), 12.0f);
  EXPECT_EQ(s.logCount("Event - id [VMon] not valid"), 1u) << "channel 40 is beyond the board";
}

}  // namespace

namespace {

TEST(Events, BusyPortsMoveUpwardAndTheSubscriptionsNameTheOnesBound) {
  using vexahv::platform::Socket;
  // Below the kernel's ephemeral range, so that no other test's connection holds the next
  // port; still, a port further up is also "moved upward".
  udpEventPort = 21527;
  tcpEventPort = 24527;
  Socket udp, tcp;
  ASSERT_FALSE(Socket::open(Socket::Kind::Udp, udp));
  ASSERT_FALSE(udp.bind({0, 21527}));
  ASSERT_FALSE(Socket::open(Socket::Kind::Tcp, tcp));
  ASSERT_FALSE(tcp.bind({0, 24527}));
  ASSERT_FALSE(tcp.listen());
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s(kCrates, quiet);
  EXPECT_GT(udpEventPort.load(), 21527);
  EXPECT_LT(udpEventPort.load(), 21527 + 16);
  EXPECT_GT(tcpEventPort.load(), 24527);
  EXPECT_LT(tcpEventPort.load(), 24527 + 16);
  s.crates().simulator().run();  // real-time ticks: a connection that fails once is tried again
  EXPECT_TRUE(test::eventually([&] { return s.find("CrateB")->getKeepAliveState() == 1; }, 10s))
      << "CrateB's mainframe connected to the port its subscription named";
  EXPECT_TRUE(test::eventually([&] { return s.find("CrateA")->getKeepAliveState() == 1; }, 10s));
  // The build subscribed every status word (the alarms follow them) before the events
  // thread ran: to the port bound, so a channel no client watches still reports.
  const auto status = s.find("CrateA.Board00.Chan002.Status");
  ASSERT_TRUE(status);
  switchOn(s.find("CrateA")->getHandle(), 0, 2, 500);
  EXPECT_TRUE(test::eventually([&] { return (status->getCachedValue().getData().rawUI4() & 1u) != 0; }, 10s))
      << "the status word of a channel switched on";
}

TEST(Events, LiveInsertionIsSubscribedAndABoardTakenOutReadsAsFailed) {
  VEXAHVServerGlobals::liveInsertRemoval = true;
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, quiet);
  VEXAHVServerGlobals::liveInsertRemoval = false;
  s.crates().control("remove CrateA 1");
  s.crates().simulator().run();  // real-time ticks: a connection that fails once is tried again
  EXPECT_TRUE(test::eventually([&] { return s.logCount("Event - type [SIGNAL]") >= 1; }, 10s))
      << "the board notice came on CrateA.LiveInsRem";
  EXPECT_EQ(readItemValue(s.find("CrateA.Board01.Chan000.VMon").get()).getQuality(), OpcToolbox::kQualityDeviceFailure);
  EXPECT_NE(s.find("CrateA.Board01.Chan000.VMon"), nullptr) << "the address space does not change";
  s.crates().control("insert CrateA 1");
  EXPECT_EQ(readItemValue(s.find("CrateA.Board01.Chan000.VMon").get()).getQuality(), kQualityGood);
}

TEST(Events, VerificationReadsTheActiveItemsOfType0SystemsWhenNoBatchCame) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s(kCrates, quiet, 3000, 1);  // verifyTime 1 s
  Watcher w;
  test::ScopedMonitor a(s.find("CrateA.Board00.Chan001.VMon"), 100, w), b(s.find("CrateA.Board00.Chan002.VMon"), 100, w);
  OpcToolbox::getApp()->clients()->flushActivations();
  std::this_thread::sleep_for(300ms);
  const std::uint64_t beforeA = s.requests("CrateA"), beforeB = s.requests("CrateB");
  std::this_thread::sleep_for(2500ms);  // no tick: no event batch comes
  EXPECT_GE(s.requests("CrateA") - beforeA, 2u) << "its two active items read at least once";
  EXPECT_EQ(s.requests("CrateB"), beforeB) << "type 2 is never verified";
}

}  // namespace

namespace {

TEST(Events, AConnectionFromAnAddressOfTwoSystemsGoesToTheFirst) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateB,1,0,127.0.0.3:admin:hvsecret", "Twin,1,0,127.0.0.3:admin:hvsecret"}, quiet);
  s.crates().simulator().run();  // real-time ticks: a connection that fails once is tried again
  ASSERT_TRUE(test::eventually(
      [&] { return s.find("CrateB")->hasEventThread() && s.find("CrateB")->getKeepAliveState() == 1; }, 10s));
  EXPECT_FALSE(s.find("Twin")->hasEventThread());
}

}  // namespace

namespace {

// The server watches every status word itself: a board's faults and an interlock of the
// whole crate raise their alarms through events with no client watching anything.
TEST(Events, ABoardsFaultsAndACratesInterlockRaiseTheirAlarmsWithNoClientWatching) {
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, test::fast());
  s.crates().simulator().run();
  OpcToolbox::ConditionTable& alarms = OpcToolbox::getApp()->conditions();
  const auto activeNamed = [&](std::string_view name) {
    std::size_t n = 0;
    for (const auto& r : alarms.active()) n += r.name == name ? 1 : 0;
    return n;
  };
  ASSERT_EQ(s.crates().control("board-status CrateA 0 2"), "OK board-status");  // over-temperature
  ASSERT_TRUE(test::eventually([&] { return alarms.isActive("CrateA.Board00#OverTemperature"); }, 10s));
  EXPECT_FALSE(alarms.isActive("CrateA.Board00#PowerFail"));
  EXPECT_EQ(s.crates().control("board-status CrateA 2 1").rfind("ERROR", 0), 0u) << "slot 2 is empty";
  ASSERT_EQ(s.crates().control("board-status CrateA 0 0"), "OK board-status");
  EXPECT_TRUE(test::eventually([&] { return !alarms.isActive("CrateA.Board00#OverTemperature"); }, 10s));

  // 12 + 24 + 12 channels, each interlocked and tripped; none may switch on meanwhile.
  const std::size_t channels = 48;
  ASSERT_EQ(s.crates().control("interlock CrateA"), "OK interlock");
  EXPECT_TRUE(test::eventually([&] { return activeNamed("Interlock") == channels && activeNamed("Trip") == channels; }, 10s))
      << activeNamed("Interlock") << " interlocked, " << activeNamed("Trip") << " tripped";
  const int handle = s.find("CrateA")->getHandle();
  ASSERT_EQ(VEXAHV_ExecComm(handle, "ClearAlarm"), VEXAHV_OK);
  const std::uint32_t on = 1;
  const std::uint16_t ch = 0;
  EXPECT_EQ(VEXAHV_SetChParam(handle, 1, "Pw", 1, &ch, &on), VEXAHV_ERR_INHIBITED) << "the interlock holds";
  EXPECT_TRUE(test::eventually([&] { return activeNamed("Trip") == 0; }, 10s)) << "the trips are cleared";
  EXPECT_EQ(activeNamed("Interlock"), channels);
  ASSERT_EQ(s.crates().control("interlock CrateA off"), "OK interlock");
  EXPECT_TRUE(test::eventually([&] { return activeNamed("Interlock") == 0; }, 10s));
  EXPECT_EQ(VEXAHV_SetChParam(handle, 1, "Pw", 1, &ch, &on), VEXAHV_OK) << "released";
}

}  // namespace
