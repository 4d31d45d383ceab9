// The toolbox driven through its client side by a small test server of its own: life
// cycle, registration, address space, reads, writes, monitoring and stop.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "opctoolbox/application.h"
#include "platform/registry.h"
#include "support/test_environment.h"

namespace {

using namespace OpcToolbox;
using namespace std::chrono_literals;

// An item whose device value is its user data, and that records change() calls.
class TestElement : public DaAddressSpaceElement {
 public:
  using DaAddressSpaceElement::DaAddressSpaceElement;
  void change(bool active, int rate) override {
    DaAddressSpaceElement::change(active, rate);
    std::lock_guard lock(mutex);
    changes.emplace_back(active, rate);
  }
  std::mutex mutex;
  std::vector<std::pair<bool, int>> changes;
};

struct Device {
  std::mutex mutex;
  std::condition_variable cv;
  bool blocked = false;
  bool throwOnRead = false;
  std::vector<std::size_t> readSizes;  // requests per read transaction
  std::vector<std::size_t> writeSizes;
  int connects = 0, disconnects = 0;
  int readsEntered = 0;  // read transactions that reached the device
};
Device gDevice;

class TestTransaction : public DaTransaction {
 public:
  using DaTransaction::DaTransaction;
  long handleReadRequests() override {
    std::unique_lock lock(gDevice.mutex);
    ++gDevice.readsEntered;
    gDevice.cv.wait(lock, [] { return !gDevice.blocked; });
    if (gDevice.throwOnRead) throw std::runtime_error("device library fault");
    gDevice.readSizes.push_back(getRequests().size());
    lock.unlock();
    for (const auto& r : getRequests()) {
      if (!r->element()) continue;
      Variant v;
      v.setI4(static_cast<std::int32_t>(r->element()->getUserData()));
      r->setValue(ValueQT(v, kQualityGood, DateTime::now()));
      r->setResult(S_OK);
    }
    return completeRequests();
  }
  long handleWriteRequests() override {
    {
      std::lock_guard lock(gDevice.mutex);
      gDevice.writeSizes.push_back(getRequests().size());
    }
    for (const auto& r : getRequests()) {
      r->element()->setUserData(r->getValue().getData().rawUI4());
      r->setResult(r->element()->valueChanged(r->getValue()));
    }
    return completeRequests();
  }
};

class TestSession : public DaSession {
 public:
  using DaSession::DaSession;
  void connectSession() override { ++gDevice.connects; }
  void disconnectSession() override { ++gDevice.disconnects; }
};

class TestCreator : public Creator {
 public:
  ElementPtr createInternalDaAddressSpaceElement(const std::string& id, const std::string& name,
                                                 std::uint32_t rights, std::uint32_t io,
                                                 std::uint32_t type) override {
    return std::make_shared<TestElement>(id, name, rights, io, type);
  }
  std::shared_ptr<DaTransaction> createTransaction(EnumTransactionType t, RequestList r,
                                                   std::uint32_t s) override {
    return std::make_shared<TestTransaction>(t, std::move(r), s);
  }
  std::shared_ptr<DaSession> createSession(EnumSessionType t, std::uint32_t h) override {
    return std::make_shared<TestSession>(t, h);
  }
};

class ValueLog : public ValueObserver {
 public:
  void onValueChanged(DaAddressSpaceElement& e, const ValueQT& v) override {
    std::lock_guard lock(mutex);
    seen.emplace_back(e.getName(), v.getData().rawI4());
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
  std::mutex mutex;
  std::vector<std::pair<std::string, int>> seen;
};

struct Toolbox {
  Application* app = getApp();
  Toolbox() {
    {
      std::lock_guard lock(gDevice.mutex);
      gDevice.blocked = false;
      gDevice.throwOnRead = false;
      gDevice.readSizes.clear();
      gDevice.writeSizes.clear();
      gDevice.connects = gDevice.disconnects = 0;
    }
    app->setMinUpdateRateDa(200);
    app->setClsidDa("{5A0B7C1E-3D42-4F6B-9E21-6C0A3B8D7F10}");
    app->setProgIdDa("VEXA.HVOPCServer.5");
    app->setVerIndProgIdDa("VEXA.HVOPCServer");
    app->setDescription("OPC Server for VEXA Power Supplies");
    EXPECT_EQ(app->initialize(std::make_unique<TestCreator>()), S_OK);
  }
  ~Toolbox() { releaseApp(); }
  ElementPtr item(const std::string& name, std::uint32_t io, std::uint32_t rights = kReadWriteable,
                  std::uint16_t type = VT_I4) {
    return app->getCreator()->createInternalDaAddressSpaceElement("", name, rights, io, type);
  }
};

TEST(Toolbox, LifeCycleMisuseIsRefused) {
  Application* app = getApp();
  EXPECT_EQ(app->start(), E_UNEXPECTED);
  EXPECT_EQ(app->processCommandLine("-RegServer"), E_UNEXPECTED);
  EXPECT_EQ(app->getDaAddressSpaceRoot(), nullptr);
  EXPECT_EQ(app->initialize(nullptr), E_INVALIDARG);
  EXPECT_EQ(app->terminate(), E_UNEXPECTED);
  ASSERT_EQ(app->initialize(std::make_unique<Creator>()), S_OK);
  EXPECT_EQ(app->initialize(std::make_unique<Creator>()), E_UNEXPECTED);
  EXPECT_EQ(app->ready(), E_UNEXPECTED);
  EXPECT_EQ(app->stop(), E_UNEXPECTED);
  EXPECT_EQ(app->clients(), nullptr);
  ASSERT_EQ(app->start(), S_OK);
  EXPECT_EQ(app->start(), E_UNEXPECTED);
  EXPECT_NE(app->clients(), nullptr);
  ASSERT_EQ(app->ready(), S_OK);
  EXPECT_EQ(app->getState(), AppState::Ready);
  ASSERT_EQ(app->stop(), S_OK);
  EXPECT_EQ(app->clients(), nullptr);
  ASSERT_EQ(app->start(), S_OK) << "a stopped application starts again";
  EXPECT_EQ(app->terminate(), S_OK);
  EXPECT_EQ(app->getState(), AppState::NotInitialised);
  releaseApp();
}

TEST(Toolbox, RegistrationSwitchesWriteAndRemoveTheClassKeys) {
  vexahv::test::ScratchEnvironment env;
  Toolbox tb;
  const auto registry = vexahv::platform::Registry::forProcess();
  using vexahv::platform::Hive;
  using vexahv::platform::RegResult;
  EXPECT_EQ(tb.app->processCommandLine(""), 0);
  EXPECT_EQ(tb.app->processCommandLine("--verbose other"), 0);
  EXPECT_EQ(tb.app->processCommandLine("/REGSERVER"), 1);
  const std::string clsidKey = "CLSID\\{5A0B7C1E-3D42-4F6B-9E21-6C0A3B8D7F10}";
  EXPECT_EQ(registry.keyExists(Hive::ClassesRoot, "VEXA.HVOPCServer.5\\CLSID"), RegResult::Success);
  EXPECT_EQ(registry.keyExists(Hive::ClassesRoot, "VEXA.HVOPCServer\\CurVer"), RegResult::Success);
  char path[512];
  std::uint32_t size = sizeof path;
  ASSERT_EQ(registry.queryValue(Hive::ClassesRoot, clsidKey + "\\LocalServer32", "", nullptr, path, &size),
            RegResult::Success);
  EXPECT_NE(std::string(path).find("toolbox_tests"), std::string::npos) << path;
  EXPECT_EQ(tb.app->processCommandLine("-service"), 1);
  EXPECT_EQ(registry.keyExists(Hive::ClassesRoot, "AppID\\{5A0B7C1E-3D42-4F6B-9E21-6C0A3B8D7F10}"),
            RegResult::Success);
  EXPECT_EQ(tb.app->processCommandLine("-UnregServer"), 1);
  EXPECT_EQ(registry.keyExists(Hive::ClassesRoot, clsidKey), RegResult::NotFound);
  EXPECT_EQ(registry.keyExists(Hive::ClassesRoot, "VEXA.HVOPCServer.5"), RegResult::NotFound);
  tb.app->setClsidDa("");
  EXPECT_EQ(tb.app->processCommandLine("-RegServer"), 2) << "nothing to register without a CLSID";
}

TEST(Toolbox, ItemIdsLookupAndBrowsingWhileAdding) {
  Toolbox tb;
  DaAddressSpaceRoot* root = tb.app->getDaAddressSpaceRoot();
  ASSERT_NE(root, nullptr);
  // A subtree built first and added whole gets its ids when it joins.
  auto sys = tb.item("S", kIoNone);
  auto board = tb.item("Board01", kIoNone);
  auto chan = tb.item("Chan002", kIoNone);
  auto vmon = tb.item("VMon", kIoPoll);
  ASSERT_EQ(sys->addChild(board), S_OK);
  ASSERT_EQ(board->addChild(chan), S_OK);
  EXPECT_EQ(root->findElement("S.Board01"), nullptr) << "not in the address space yet";
  ASSERT_EQ(root->addChild(sys), S_OK);
  ASSERT_EQ(chan->addChild(vmon), S_OK);
  EXPECT_EQ(vmon->getItemId(), "S.Board01.Chan002.VMon");
  EXPECT_EQ(root->findElement("S.Board01.Chan002.VMon"), vmon);
  EXPECT_EQ(root->findElement("S.Board01"), board);
  EXPECT_EQ(vmon->getParent(), chan);
  EXPECT_EQ(root->addChild(vmon), E_INVALIDARG) << "an element has one place";
  EXPECT_EQ(root->addChild(nullptr), E_INVALIDARG);
  auto twin = tb.item("VMon", kIoPoll);
  ASSERT_EQ(chan->addChild(twin), S_OK);
  EXPECT_EQ(root->findElement("S.Board01.Chan002.VMon"), vmon) << "the first of one id is found";
  ASSERT_EQ(board->removeChild(chan.get()), S_OK);
  EXPECT_EQ(root->findElement("S.Board01.Chan002.VMon"), nullptr);
  EXPECT_EQ(root->findElement("S.Board01.Chan002"), nullptr);

  // Readers browse and look up while a writer adds 2000 items.
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* clients = tb.app->clients();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) board->addChild(tb.item("P" + std::to_string(i), kIoNone));
    done = true;
  });
  std::size_t seen = 0;
  while (!done) {
    seen = std::max(seen, clients->browse("S.Board01").size());
    (void)clients->find("S.Board01.P999");
  }
  writer.join();
  EXPECT_EQ(clients->browse("S.Board01").size(), 2000u);
  EXPECT_NE(clients->find("S.Board01.P1999"), nullptr);
  EXPECT_EQ(clients->browse("").size(), 1u);
  EXPECT_TRUE(clients->browse("No.Such").empty());
}

TEST(Toolbox, DeviceAndCacheReadsAndConvertedWrites) {
  Toolbox tb;
  DaAddressSpaceRoot* root = tb.app->getDaAddressSpaceRoot();
  auto a = tb.item("A", kIoPoll), b = tb.item("B", kIoPoll);
  auto ro = tb.item("RO", kIoPoll, kReadable);
  auto u2 = tb.item("U2", kIoPoll, kReadWriteable, VT_UI2);
  for (auto& e : {a, b, ro, u2}) root->addChild(e);
  a->setUserData(11);
  b->setUserData(22);
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* c = tb.app->clients();
  std::uint32_t session = 0;
  ASSERT_EQ(c->openSession("test client", session), S_OK);
  EXPECT_EQ(gDevice.connects, 1);

  std::vector<ReadResult> r;
  ASSERT_EQ(c->readFromDevice(session, {{a}, {b}, {nullptr}}, r), S_OK);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].value.getData().rawI4(), 11);
  EXPECT_EQ(r[1].value.getQuality(), kQualityGood);
  EXPECT_EQ(r[2].result, E_FAIL) << "left unanswered by the server";
  EXPECT_EQ(gDevice.readSizes, std::vector<std::size_t>{3}) << "one transaction for the list";
  EXPECT_EQ(c->readFromDevice(session + 7, {{a}}, r), E_INVALIDARG);
  const auto cached = c->readFromCache({a});
  EXPECT_EQ(cached[0].value.getQuality(), kQualityWaitingForInitialData) << "device reads do not fill the cache";

  Variant text, number, bad;
  text.setBSTR("12");
  number.setI4(5);
  bad.setBSTR("twelve");
  std::vector<long> results;
  ASSERT_EQ(c->write(session, {{u2, ValueQT(text, kQualityGood, DateTime::now())},
                               {ro, ValueQT(number, kQualityGood, DateTime::now())},
                               {a, ValueQT(bad, kQualityGood, DateTime::now())},
                               {b, ValueQT(number, kQualityGood, DateTime::now())}},
                     results),
            S_OK);
  EXPECT_EQ(results, (std::vector<long>{S_OK, OPC_E_BADRIGHTS, DISP_E_TYPEMISMATCH, S_OK}));
  EXPECT_EQ(gDevice.writeSizes, std::vector<std::size_t>{2}) << "only the convertible writes go out";
  ValueQT v;
  u2->getCacheValue(v);
  EXPECT_EQ(v.getData().vartype(), VT_UI2) << "converted to the item's type before the server sees it";
  EXPECT_EQ(v.getData().rawUI2(), 12);
  EXPECT_EQ(b->getUserData(), 5u);
  ASSERT_EQ(c->closeSession(session), S_OK);
  EXPECT_EQ(c->closeSession(session), E_INVALIDARG);
  EXPECT_EQ(gDevice.disconnects, 1);
}

TEST(Toolbox, MonitoringSamplesPolledItemsTogetherAndFeedsReportedOnes) {
  Toolbox tb;
  DaAddressSpaceRoot* root = tb.app->getDaAddressSpaceRoot();
  auto p1 = tb.item("P1", kIoPoll), p2 = tb.item("P2", kIoPoll), rep = tb.item("R", kIoReport);
  auto b = tb.item("B", kIoNone), other = tb.item("C", kIoNone), q = tb.item("Q", kIoPoll);
  for (auto& e : {b, rep, other}) root->addChild(e);
  b->addChild(p1);
  b->addChild(p2);
  other->addChild(q);
  p1->setUserData(1);
  p2->setUserData(2);
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* c = tb.app->clients();
  ValueLog log;
  std::uint64_t m1 = 0, m2 = 0, m3 = 0, m4 = 0;
  ASSERT_EQ(c->monitor(p1, 100, &log, m1), S_OK);
  ASSERT_EQ(c->monitor(p2, 100, &log, m2), S_OK);
  ASSERT_EQ(c->monitor(p2, 300, &log, m4), S_OK);
  ASSERT_EQ(c->monitor(rep, 0, &log, m3), S_OK);
  std::uint64_t mq = 0;
  ASSERT_EQ(c->monitor(q, 100, &log, mq), S_OK);
  c->flushActivations();  // change() runs on the activation thread
  auto* t1 = static_cast<TestElement*>(p1.get());
  auto* t2 = static_cast<TestElement*>(p2.get());
  EXPECT_EQ(t1->changes, (std::vector<std::pair<bool, int>>{{true, 100}})) << "the rate asked, not a DA minimum";
  EXPECT_EQ(t2->changes.size(), 1u) << "only the first monitor activates";

  for (int i = 0; i < 100 && log.count() < 6; ++i) std::this_thread::sleep_for(20ms);
  {
    std::lock_guard lock(gDevice.mutex);
    ASSERT_FALSE(gDevice.readSizes.empty());
    // Items due together: one transaction per top-level branch.
    EXPECT_EQ(std::count(gDevice.readSizes.begin(), gDevice.readSizes.end(), 2u) +
                  std::count(gDevice.readSizes.begin(), gDevice.readSizes.end(), 1u),
              static_cast<long>(gDevice.readSizes.size()));
    EXPECT_NE(std::find(gDevice.readSizes.begin(), gDevice.readSizes.end(), 2u), gDevice.readSizes.end());
  }
  Variant v;
  v.setI4(77);
  rep->valueChanged(ValueQT(v, kQualityGood, DateTime::now()));
  {
    std::lock_guard lock(log.mutex);
    EXPECT_NE(std::find(log.seen.begin(), log.seen.end(), std::make_pair(std::string("R"), 77)), log.seen.end());
    EXPECT_EQ(std::count_if(log.seen.begin(), log.seen.end(), [](auto& s) { return s.first == "R"; }), 1)
        << "reported items are never polled";
  }
  EXPECT_EQ(c->unmonitor(m2), S_OK);
  c->flushActivations();
  EXPECT_EQ(t2->changes.size(), 1u) << "still monitored once";
  EXPECT_EQ(c->unmonitor(m4), S_OK);
  c->flushActivations();
  EXPECT_EQ(t2->changes.back(), (std::pair<bool, int>{false, 300}));
  EXPECT_EQ(c->unmonitor(m4), E_INVALIDARG);
  EXPECT_EQ(c->unmonitor(m1), S_OK);

  // The same observer twice, as while its monitor is replaced by one at a new rate:
  // ending the old one keeps the new one feeding it.
  std::uint64_t m5 = 0;
  ASSERT_EQ(c->monitor(rep, 500, &log, m5), S_OK);
  EXPECT_EQ(c->unmonitor(m3), S_OK);
  v.setI4(78);
  rep->valueChanged(ValueQT(v, kQualityGood, DateTime::now()));
  {
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(std::count(log.seen.begin(), log.seen.end(), std::make_pair(std::string("R"), 78)), 1);
  }
  EXPECT_EQ(c->unmonitor(m5), S_OK);
}

// Device reads wait while blocked; how many have reached the device so far.
void blockDevice(bool on) {
  {
    std::lock_guard lock(gDevice.mutex);
    gDevice.blocked = on;
  }
  if (!on) gDevice.cv.notify_all();
}
int readsEntered() {
  std::lock_guard lock(gDevice.mutex);
  return gDevice.readsEntered;
}

TEST(Toolbox, StopCancelsQueuedTransactionsAndJoins) {
  Toolbox tb;
  tb.app->setWorkerThreads(1);
  DaAddressSpaceRoot* root = tb.app->getDaAddressSpaceRoot();
  auto a = tb.item("A", kIoPoll);
  root->addChild(a);
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* c = tb.app->clients();
  std::uint32_t s = 0;
  c->openSession("x", s);
  blockDevice(true);
  // The stop must find the first read running, not still queued: a loaded machine may not
  // have handed it to the worker yet.
  const int before = readsEntered();
  std::atomic<long> first{1}, second{1};
  ASSERT_EQ(c->readFromDevice(s, {{a}}, [&](const ReadAnswers& r) { first = r.result(0); }), S_OK);
  ASSERT_EQ(c->readFromDevice(s, {{a}}, [&](const ReadAnswers& r) { second = r.result(0); }), S_OK);
  for (int i = 0; i < 1000 && readsEntered() == before; ++i) std::this_thread::sleep_for(10ms);
  std::thread stopper([&] { tb.app->stop(); });
  // The stop answers the queued read while the running one still blocks (bounded wait: a
  // loaded machine may take a while to run the stopper).
  for (int i = 0; i < 1000 && second.load() == 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(second.load(), E_ABORT) << "the queued read is answered at stop";
  EXPECT_EQ(first.load(), 1) << "while the running read is still running";
  blockDevice(false);
  stopper.join();
  EXPECT_EQ(first.load(), S_OK) << "the running read finishes";
}

// Cancel answers the queued reads of its session and tag at once, and only those; the
// worker that would have run one serves the next.
TEST(Toolbox, CancelAnswersQueuedReadsOfItsTagOnly) {
  Toolbox tb;
  tb.app->setWorkerThreads(1);
  auto a = tb.item("A", kIoPoll);
  tb.app->getDaAddressSpaceRoot()->addChild(a);
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* c = tb.app->clients();
  std::uint32_t s = 0;
  c->openSession("x", s);
  blockDevice(true);
  const int before = readsEntered();
  std::atomic<long> running{1}, cancelled{1}, other{1};
  ASSERT_EQ(c->readFromDevice(s, {{a}}, [&](const ReadAnswers& r) { running = r.result(0); }, 1), S_OK);
  ASSERT_EQ(c->readFromDevice(s, {{a}}, [&](const ReadAnswers& r) { cancelled = r.result(0); }, 7), S_OK);
  ASSERT_EQ(c->readFromDevice(s, {{a}}, [&](const ReadAnswers& r) { other = r.result(0); }, 8), S_OK);
  for (int i = 0; i < 1000 && readsEntered() == before; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(c->cancelReads(s, 1), 0u) << "a read at the device is not cancelled";
  EXPECT_EQ(c->cancelReads(s + 1, 8), 0u) << "another session's handle names nothing here";
  EXPECT_EQ(c->cancelReads(s, 7), 1u);
  EXPECT_EQ(cancelled.load(), E_CANCELLED_BY_CLIENT) << "answered at once";
  EXPECT_EQ(c->cancelReads(s, 7), 0u) << "and only once";
  blockDevice(false);
  for (int i = 0; i < 1000 && other.load() == 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(running.load(), S_OK);
  EXPECT_EQ(other.load(), S_OK) << "the only worker lives on past the cancelled read";
  EXPECT_EQ(readsEntered() - before, 2) << "the cancelled read never reached the device";
  tb.app->stop();
}

// A transaction that throws is answered as failed, and its worker serves the next one.
TEST(Toolbox, ATransactionThatThrowsIsAnsweredAndKeepsItsWorker) {
  Toolbox tb;
  tb.app->setWorkerThreads(1);
  auto a = tb.item("A", kIoPoll);
  tb.app->getDaAddressSpaceRoot()->addChild(a);
  ASSERT_EQ(tb.app->start(), S_OK);
  ClientAccess* c = tb.app->clients();
  std::uint32_t s = 0;
  c->openSession("x", s);
  auto throwing = [](bool on) {
    std::lock_guard lock(gDevice.mutex);
    gDevice.throwOnRead = on;
  };
  throwing(true);
  std::vector<ReadResult> out;
  ASSERT_EQ(c->readFromDevice(s, {{a}}, out), S_OK);
  EXPECT_EQ(out.at(0).result, E_UNEXPECTED);
  throwing(false);
  ASSERT_EQ(c->readFromDevice(s, {{a}}, out), S_OK);
  EXPECT_EQ(out.at(0).result, S_OK) << "the only worker is still there";
  tb.app->stop();
}

}  // namespace
