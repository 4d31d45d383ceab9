// No crate goes unwatched: a silent crate of every type is found and brought back, a slow
// answer does not wedge a crate, a crate that comes up late reports through events and is
// verified, forged UDP event data changes nothing, and one bad id does not leave a crate
// unsubscribed. The simulator answers on its own threads; ticks are driven by hand unless
// a test runs them.

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <iostream>
#include <thread>

#include "addressspace/event_ports.h"
#include "addressspace/item_reader.h"
#include "events/event_dispatch.h"
#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/event_wire.h"
#include "hwlib/mainframe_link.h"
#include "integration/events/evented_space.h"
#include "platform/socket.h"
#include "requests/item_writer.h"
#include "sim/crate_file.h"

namespace {

using namespace std::chrono_literals;
using namespace vexahv;
using Clock = std::chrono::steady_clock;
using OpcToolbox::kQualityGood;
using OpcToolbox::kQualityNotConnected;
using OpcToolbox::ValueQT;
using test::EventedSpace;
using test::fast;
using test::toolboxValue;
using test::eventually;
using test::Watcher;

std::string connStatus(EventedSpace& s, const std::string& system) {
  return toolboxValue(s.find(system + ".ConnStatus")).getData().text();
}

// A small crate of any system type, served beside the samples.
void addCrate(test::SimulatedCrates& crates, const std::string& name, int type, const std::string& address) {
  const std::string text = "mainframe name=" + name + " address=" + address + " type=" + std::to_string(type) +
                           " slots=1\n"
                           "property name=SwRelease type=text mode=ro value=\"1.0\"\n"
                           "board slot=0 model=A1 description=\"Two channels\" serial=1 firmware=1.0 channels=2\n"
                           "channelparam name=V0Set type=numeric mode=rw min=0 max=100 unit=2 exp=0 resol=10 value=0\n"
                           "channelparam name=VMon type=numeric mode=ro min=0 max=100 unit=2 exp=0 resol=10 value=0\n";
  sim::CrateSpec spec;
  std::string error;
  ASSERT_TRUE(sim::parseCrateText(text, spec, error) && crates.simulator().add(std::move(spec), error)) << error;
}

ValueQT r4(float f) {
  OpcToolbox::Variant v;
  v.setR4(f);
  return ValueQT(v, kQualityGood, OpcToolbox::DateTime::now());
}

TEST(CrateWatch, ASilentCrateOfEveryTypeTurnsLostAndComesBack) {
  const std::vector<std::string> crates = {"CrateA", "CrateC", "T4", "T5", "T10"};
  EventedSpace s({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4", "T4,2,0,127.0.0.44", "T5,3,0,127.0.0.45",
                  "T10,5,0,127.0.0.50"},
                 fast(), 1000, 600, [](test::SimulatedCrates& c) {
                   addCrate(c, "T4", 4, "127.0.0.44");
                   addCrate(c, "T5", 5, "127.0.0.45");
                   addCrate(c, "T10", 10, "127.0.0.50");
                 });
  for (const std::string& name : crates) ASSERT_EQ(connStatus(s, name), "Ok") << name;

  const auto silent = Clock::now();
  for (const std::string& name : crates) s.crates().control("silent " + name + " on");
  for (const std::string& name : crates) {
    const std::string vmon = name == "CrateA" ? name + ".Board00.Chan000.VMon" : name + ".Board00.Chan001.VMon";
    ASSERT_TRUE(eventually([&] { return connStatus(s, name) == "Ko"; }, 25s)) << name << " never found lost";
    EXPECT_EQ(toolboxValue(s.find(vmon)).getQuality(), kQualityNotConnected) << name;
    std::cout << "[ figure ] " << name << " lost after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - silent).count() << " ms\n";
  }
  const auto back = Clock::now();
  for (const std::string& name : crates) s.crates().control("silent " + name + " off");
  for (const std::string& name : crates) {
    ASSERT_TRUE(eventually([&] { return connStatus(s, name) == "Ok"; }, 20s)) << name << " never restored";
    EXPECT_EQ(readItemValue(s.find(name + ".Board00.Chan001.VMon").get()).getQuality(), kQualityGood) << name;
    std::cout << "[ figure ] " << name << " Ok again after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count() << " ms\n";
  }
}

TEST(CrateWatch, AType2CrateWithEventsFlowingIsWrittenAgainAfterOneSlowAnswer) {
  EventedSpace s({"CrateB,1,0,127.0.0.3:admin:hvsecret"}, fast(), 1000);
  s.crates().simulator().run();
  ASSERT_TRUE(eventually([&] { return s.find("CrateB")->getKeepAliveState() == 1; }, 15s));
  const auto v0set = s.find("CrateB.Board01.Chan002.V0Set");
  s.crates().control("latency CrateB 1500");
  EXPECT_NE(writeItemValue(v0set.get(), r4(10.0f)), 0) << "the answer comes too late";
  s.crates().control("latency CrateB 0");
  std::this_thread::sleep_for(hwlib::MainframeLink::kReopenPause + 100ms);
  EXPECT_EQ(writeItemValue(v0set.get(), r4(20.0f)), 0) << "the crate answers in time again";
  EXPECT_EQ(connStatus(s, "CrateB"), "Ok");
  EXPECT_TRUE(eventually([&] { return v0set->getCachedValue().getData().rawR4() == 20.0f; }, 10s))
      << "and its events still arrive";
}

TEST(CrateWatch, AType0CrateThatComesUpLateReportsThroughEventsAndIsVerified) {
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, fast(), 1000, 1,
                 [](test::SimulatedCrates& c) { c.control("refuse-login CrateA on"); });
  EXPECT_FALSE(s.events().eventsRunning()) << "no UDP crate passed its event test";
  s.crates().control("refuse-login CrateA off");
  ASSERT_TRUE(eventually([&] { return s.logCount("System [CrateA] address space built") == 1; }, 15s));
  ASSERT_TRUE(eventually([&] { return s.events().eventsRunning(); }, 10s)) << "started by the late crate";

  Watcher w;
  const std::string id = "CrateA.Board00.Chan003.V0Set";
  test::ScopedMonitor m(s.find(id), 100, w);
  ASSERT_TRUE(m.ok());
  OpcToolbox::getApp()->clients()->flushActivations();
  const int h = s.find("CrateA")->getHandle();
  const std::uint16_t ch = 3;
  float set = 33.0f;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  s.crates().step(1);  // the tick sends the change
  EXPECT_TRUE(w.waitFor(id, [](const ValueQT& v) { return v.getData().rawR4() == 33.0f; }, 10s)) << "through an event";
  // No tick, so no event: only the verification (every second here) can bring this one.
  set = 44.0f;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &set), VEXAHV_OK);
  EXPECT_TRUE(w.waitFor(id, [](const ValueQT& v) { return v.getData().rawR4() == 44.0f; }, 10s)) << "by verification";
}

TEST(CrateWatch, UdpEventDataIsTakenOnlyFromTheCratesOwnAddress) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4"}, quiet);
  ASSERT_TRUE(s.events().eventsRunning());
  const auto vmon = s.find("CrateA.Board00.Chan002.VMon");
  auto send = [&](std::uint32_t from, const char* id, float value) {
    VEXAHVUdpEventRecord r{};
    r.type = VEXAHV_EVENT_PARAMETER;
    std::strncpy(r.id, id, sizeof r.id - 1);
    std::memcpy(r.value, &value, 4);
    const auto bytes = hwlib::encodeUdpDatagram({&r, 1});
    platform::Socket sender;
    ASSERT_FALSE(platform::Socket::open(platform::Socket::Kind::Udp, sender));
    ASSERT_FALSE(sender.bind({from, 0}));
    ASSERT_FALSE(sender.sendTo(bytes.data(), bytes.size(), {platform::kLoopback, udpEventPort.load()}));
  };
  auto& udp = s.events().udp();
  send(0x7f000009, "CrateA.Board00.Chan002.VMon", 999.0f);  // a host that is no crate
  ASSERT_TRUE(eventually([&] { return udp.droppedDatagrams() == 1; }, 5s));
  send(0x7f000004, "CrateA.Board00.Chan002.VMon", 888.0f);  // another crate, speaking for CrateA
  ASSERT_TRUE(eventually([&] { return udp.droppedRecords() == 1; }, 5s));
  EXPECT_NE(vmon->getCachedValue().getData().rawR4(), 999.0f);
  EXPECT_NE(vmon->getCachedValue().getData().rawR4(), 888.0f);
  EXPECT_EQ(s.logCount("UDP event data from [127.0.0.9] dropped"), 1u) << "named once, then rate-limited";

  send(0x7f000002, "CrateA.Board00.Chan002.VMon", 1.5f);  // the crate itself
  EXPECT_TRUE(eventually([&] { return vmon->getCachedValue().getData().rawR4() == 1.5f; }, 5s));
  EXPECT_EQ(udp.droppedDatagrams(), 1u);
  EXPECT_EQ(udp.droppedRecords(), 1u);
}

TEST(CrateWatch, OneIdTheLibraryCannotTakeLeavesTheOthersSubscribed) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, quiet);
  const int h = s.find("CrateA")->getHandle();
  const std::uint16_t channels[2] = {5, 6};
  const float set = 42.0f;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 2, channels, &set), VEXAHV_OK);
  const auto a = s.find("CrateA.Board00.Chan005.V0Set"), b = s.find("CrateA.Board00.Chan006.V0Set");
  ASSERT_NE(a->getCachedValue().getData().rawR4(), 42.0f) << "built before the write";

  // An item whose id is past the library's 63 characters, activated with the two.
  auto tooLong = VEXAHVElement::create();
  tooLong->setName("V0Set", ElementKind::ChannelParam);
  tooLong->setItemId("CrateA.Board00.Chan007." + std::string(50, 'x'));
  tooLong->setSystemType(0);
  tooLong->setIoMode(OpcToolbox::kIoReport);
  tooLong->setHandle(h);
  VEXAHVElement::changeAll({{a, true, 100}, {tooLong, true, 100}, {b, true, 100}});
  EXPECT_EQ(s.logCount("not an identifier the library takes"), 1u);
  s.crates().step(1);  // the subscribed items' current values go out
  EXPECT_TRUE(eventually([&] { return a->getCachedValue().getData().rawR4() == 42.0f; }, 5s));
  EXPECT_TRUE(eventually([&] { return b->getCachedValue().getData().rawR4() == 42.0f; }, 5s));
}

VEXAHVUdpEventRecord udpText(const char* id, const char* text) {
  VEXAHVUdpEventRecord r{};
  r.type = VEXAHV_EVENT_PARAMETER;
  std::strncpy(r.id, id, sizeof r.id - 1);
  std::strncpy(r.text, text, sizeof r.text - 1);
  return r;
}

TEST(CrateWatch, ACrateOwnsItsItemsAndItsEventsReachOnlyItsOwnParameters) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4"}, quiet);
  const std::shared_ptr<Crate> crate = s.find("CrateA")->crate();
  ASSERT_TRUE(crate);
  const auto vmon = s.find("CrateA.Board00.Chan002.VMon");
  EXPECT_EQ(crate->find(0, 2, "VMon"), vmon);
  EXPECT_EQ(crate->findById("Board00.Chan002.VMon"), vmon);
  EXPECT_EQ(crate->find(0, -1, "Temp"), s.find("CrateA.Board00.Temp"));
  EXPECT_EQ(crate->find(-1, -1, "SwRelease"), s.find("CrateA.SwRelease"));
  EXPECT_EQ(crate->find(0, 2, "Temp"), nullptr);
  EXPECT_EQ(s.find("CrateA.Board00.Chan002")->crate(), crate) << "branches belong to it too";
  EXPECT_NE(s.find("CrateC.Board02.Chan000.VMon")->crate(), crate);

  // One handle for every item: a reconnection stores it once.
  const int h = crate->handle();
  s.find("CrateA")->setHandle(h + 1000);
  EXPECT_EQ(vmon->hardware()->handle(), h + 1000);
  s.find("CrateA")->setHandle(h);

  // From the crate's own address, still only its mainframe's parameters: the connection
  // status is the server's, and another crate's items are not this crate's to set.
  events::applyUdpEvent(*crate, udpText("CrateA.ConnStatus", "Ko"));
  EXPECT_EQ(connStatus(s, "CrateA"), "Ok");
  const auto other = s.find("CrateC.Board02.Chan000.VMon");
  const ValueQT before = other->getCachedValue();
  events::applyUdpEvent(*crate, udpText("CrateC.Board02.Chan000.VMon", ""));
  EXPECT_EQ(other->getCachedValue(), before);
  EXPECT_EQ(s.logCount("Event - id [CrateA.ConnStatus] not valid"), 1u);
}

TEST(CrateWatch, AnObserverToldOfAValueMayAskTheElementFromAnotherThread) {
  events::EventTimings quiet;
  quiet.probePeriod = std::chrono::minutes(10);
  EventedSpace s({"CrateA,0,0,127.0.0.2"}, quiet);
  // What a subscription does: its lock, taken by another thread that reads the element.
  struct Asking : OpcToolbox::ValueObserver {
    std::atomic<bool> answered{false};
    void onValueChanged(OpcToolbox::DaAddressSpaceElement& e, const ValueQT&) override {
      auto& element = static_cast<VEXAHVElement&>(e);
      auto other = std::async(std::launch::async, [&element] { return element.getCachedValue(); });
      answered = other.wait_for(3s) == std::future_status::ready;
    }
  } asking;
  const auto vmon = s.find("CrateA.Board00.Chan002.VMon");
  vmon->addObserver(&asking);
  vmon->setCachedValue(r4(5.0f));
  vmon->removeObserver(&asking);
  EXPECT_TRUE(asking.answered) << "no element lock is held while observers are told";
}

}  // namespace
