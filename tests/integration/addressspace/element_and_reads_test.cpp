// The element's connection-status operations across two systems, and the read dispatch for
// every kind, with the library's failures and their log lines.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "addressspace/event_ports.h"
#include "addressspace/item_reader.h"
#include "platform/socket.h"
#include "built_address_space.h"
#include "hwlib/VEXAHVWrapper.h"

namespace {

using namespace OpcToolbox;
using vexahv::readItemValue;
using vexahv::test::BuiltAddressSpace;

ValueQT toolboxCache(const vexahv::VEXAHVElementPtr& e) {
  ValueQT v;
  e->getCacheValue(v);
  return v;
}

TEST(AddressSpaceElements, ConnectionStatusMarksOnlyItsOwnSystem) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4"}, true);
  const auto a = space.find("CrateA");
  const auto vmonA = space.find("CrateA.Board00.Chan000.VMon");
  const auto vmonC = space.find("CrateC.Board02.Chan000.VMon");
  // An element of another system wrongly hung below CrateA is left alone.
  auto stray = vexahv::VEXAHVElement::create();
  stray->setName("Stray", vexahv::ElementKind::SystemItem);
  stray->setHandle(vmonC->getHandle());
  stray->setIoMode(kIoPoll);
  stray->setCachedValue(ValueQT(Variant{}, kQualityGood, DateTime::now()));
  a->addElement(stray);

  a->setConnectionStatus(vexahv::kStatusKo);
  EXPECT_EQ(toolboxCache(vmonA).getQuality(), kQualityNotConnected);
  EXPECT_EQ(vmonA->getCachedValue().getQuality(), kQualityGood) << "the own cache keeps its quality";
  EXPECT_EQ(toolboxCache(space.find("CrateA.ConnStatus")).getData().text(), "Ko");
  EXPECT_EQ(toolboxCache(vmonC).getQuality(), kQualityGood);
  EXPECT_EQ(toolboxCache(stray).getQuality(), kQualityGood);
  EXPECT_EQ(toolboxCache(space.find("CrateA.Board00.Model")).getQuality(), kQualityNotConnected);

  a->setConnectionStatus(vexahv::kStatusOk);
  EXPECT_EQ(toolboxCache(space.find("CrateA.ConnStatus")).getData().text(), "Ok");
  EXPECT_EQ(toolboxCache(vmonA).getQuality(), kQualityNotConnected) << "Ok alone does not refresh items";
  a->refreshAllValues();
  EXPECT_EQ(toolboxCache(space.find("CrateA.SwRelease")).getQuality(), kQualityGood);
}

TEST(AddressSpaceElements, ReadDispatchForEveryKind) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2"}, true, 300);
  const int h = space.find("CrateA")->getHandle();
  const float set = 321.0f;
  const std::uint16_t ch = 2;
  ASSERT_EQ(VEXAHV_SetChParam(h, 1, "V0Set", 1, &ch, &set), VEXAHV_OK);
  ValueQT v = readItemValue(space.find("CrateA.Board01.Chan002.V0Set").get());
  EXPECT_FLOAT_EQ(v.getData().rawR4(), 321.0f);
  EXPECT_EQ(v.getQuality(), kQualityGood);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.Chan000.Pw").get()).getData().vartype(), VT_UI2);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.Chan000.Status").get()).getData().vartype(), VT_I4);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.Chan001.Name").get()).getData().text(), "Beam right");
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.Chan001.Label").get()).getData().vartype(), VT_BSTR);
  EXPECT_FLOAT_EQ(readItemValue(space.find("CrateA.Board00.Temp").get()).getData().rawR4(), 31.5f);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.BdLabel").get()).getData().text(), "upstream");
  EXPECT_EQ(readItemValue(space.find("CrateA.ClkFreq").get()).getData().rawI2(), -12);
  EXPECT_EQ(readItemValue(space.find("CrateA.UpTime").get()).getData().rawUI4(), 86400u);
  EXPECT_EQ(readItemValue(space.find("CrateA.IPAddr").get()).getData().text(), "127.0.0.2")
      << "from the system's address, not the library";
  EXPECT_EQ(readItemValue(space.find("CrateA.ConnStatus").get()).getData().text(), "Ok");
  EXPECT_EQ(readItemValue(space.find("CrateA.Slots").get()).getData().rawUI2(), 6);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00.Model").get()).getData().text(), "A1535");
  EXPECT_EQ(readItemValue(space.find("OPCServerUseBatchedGroupTransactions").get()).getQuality(), kQualityGood);
  EXPECT_EQ(readItemValue(space.find("CrateA.Board00").get()).getQuality(), kQualityBad) << "a branch has no value";
  EXPECT_EQ(readItemValue(nullptr).getQuality(), kQualityBad);
  // Write-only items answer from the cache, without the library.
  const auto pswd = space.find("CrateA.Board00.Chan000.Pswd");
  Variant secret;
  secret.setI4(42);
  pswd->setCachedValue(ValueQT(secret, kQualityGood, DateTime::now()));
  EXPECT_EQ(readItemValue(pswd.get()).getData().rawI4(), 42);

  // A silent mainframe: the failure value and one line with the code; the time-out is a
  // communication failure, the calls after it find the connection lost.
  space.crates().control("silent CrateA on");
  v = readItemValue(space.find("CrateA.Board00.Chan000.VMon").get());
  EXPECT_EQ(v.getQuality(), kQualityCommFailure);
  EXPECT_FLOAT_EQ(v.getData().rawR4(), 0.0f);
  v = readItemValue(space.find("CrateA.Board00.Temp").get());
  EXPECT_EQ(v.getQuality(), kQualityNotConnected);
  v = readItemValue(space.find("CrateA.SwRelease").get());
  EXPECT_EQ(v.getData().text(), "");
  const std::string log = space.log();
  const std::string hs = std::to_string(h);
  EXPECT_NE(log.find("Critical]: Error getting [" + hs +
                     "]_Board[0]_Channel[0]_[VMon] value - error code [2] (system [CrateA])"),
            std::string::npos);
  EXPECT_NE(log.find("Error]: Error getting [" + hs + "]_Board[0]_[Temp] value - error code [1]"), std::string::npos)
      << "after the time-out the link is broken: not connected";
  EXPECT_NE(log.find("Error getting [" + hs + "]_[SwRelease] value - error code [1]"), std::string::npos);

  // Unknown types never reach the library.
  v = vexahv::readBoardParameter(h, 0, "Temp", 9);
  EXPECT_EQ(v.getData().vartype(), VT_INT);
  v = vexahv::readSystemProperty(h, "SwRelease", 7);
  EXPECT_EQ(v.getData().vartype(), VT_I2);
  EXPECT_NE(space.log().find("Unknown type of data for [" + hs + "]_[SwRelease]"), std::string::npos);
}

TEST(AddressSpaceElements, ActivationSubscribesTypeZeroReportedItemsOnly) {
  BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret"}, true);
  using vexahv::platform::Socket;
  Socket rx;
  ASSERT_FALSE(Socket::open(Socket::Kind::Udp, rx));
  ASSERT_FALSE(rx.bind({vexahv::platform::kLoopback, 0}));
  vexahv::platform::Ipv4Endpoint local;
  ASSERT_FALSE(rx.localEndpoint(local));
  (void)rx.setReceiveTimeout(std::chrono::milliseconds(2000));
  vexahv::udpEventPort = local.port;

  // A client monitors a reported item: the element subscribes its events and the toolbox
  // gets the cached value at once.
  const auto vmon = space.find("CrateA.Board00.Chan000.VMon");
  struct Seen : ValueObserver {
    int n = 0;
    void onValueChanged(DaAddressSpaceElement&, const ValueQT&) override { ++n; }
  } seen;
  std::uint64_t m = 0;
  ASSERT_EQ(getApp()->clients()->monitor(vmon, 100, &seen, m), S_OK);
  getApp()->clients()->flushActivations();  // change() runs on the activation thread
  EXPECT_TRUE(vmon->getActiveForClients());
  EXPECT_EQ(vmon->getUpdateRate(), 100) << "the rate the client asked";
  EXPECT_EQ(seen.n, 1);
  space.crates().step(1);
  VEXAHVUdpEventRecord* list = nullptr;
  unsigned count = 0;
  ASSERT_EQ(VEXAHVGetEventData(rx.fd(), &list, &count), VEXAHV_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(list[0].id, "CrateA.Board00.Chan000.VMon");
  VEXAHVFreeEventData(&list);
  ASSERT_EQ(getApp()->clients()->unmonitor(m), S_OK);
  getApp()->clients()->flushActivations();
  EXPECT_FALSE(vmon->getActiveForClients());

  // Many items monitored at once: one subscription call for all, events for each; and one
  // call to end them.
  std::vector<std::string> ids = {"CrateA.SwRelease", "CrateA.Board00.Temp"};
  for (int ch = 0; ch < 12; ++ch) {
    char channel[32];
    std::snprintf(channel, sizeof channel, "CrateA.Board00.Chan%03d.", ch);
    for (const char* p : {"VMon", "IMon"}) ids.push_back(channel + std::string(p));
  }
  auto& crate = space.crates().crate("CrateA");
  std::vector<std::uint64_t> handles(ids.size());
  const std::uint64_t before = crate.requestCount();
  {
    const ClientAccess::ActivationHold gather(getApp()->clients());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      ASSERT_EQ(getApp()->clients()->monitor(space.find(ids[i]), 100, &seen, handles[i]), S_OK) << ids[i];
    }
  }
  getApp()->clients()->flushActivations();
  EXPECT_EQ(crate.requestCount() - before, 1u) << "one VEXAHV_Subscribe for " << ids.size() << " items";
  space.crates().step(1);
  std::set<std::string> evented;
  while (evented.size() < ids.size() && VEXAHVGetEventData(rx.fd(), &list, &count) == VEXAHV_OK) {
    for (unsigned i = 0; i < count; ++i) evented.insert(list[i].id);
    VEXAHVFreeEventData(&list);
  }
  EXPECT_EQ(evented, std::set<std::string>(ids.begin(), ids.end()));
  const std::uint64_t subscribed = crate.requestCount();
  {
    const ClientAccess::ActivationHold gather(getApp()->clients());
    for (auto h : handles) ASSERT_EQ(getApp()->clients()->unmonitor(h), S_OK);
  }
  getApp()->clients()->flushActivations();
  EXPECT_EQ(crate.requestCount() - subscribed, 1u) << "one VEXAHV_UnSubscribe";
  for (const auto& id : ids) EXPECT_FALSE(space.find(id)->getActiveForClients()) << id;

  // Type 2 only records the activation.
  const auto b = space.find("CrateB.Board00.Chan000.VMon");
  b->change(false, 1000);
  EXPECT_TRUE(b->getActiveForClients()) << "type-2 items stay active; their events come over TCP";
  EXPECT_FALSE(b->getActive());
}

}  // namespace
