// What history keeps of a built crate, as the history file says: the parameters kept by
// default and those the file adds or takes away, each item's deadband from its resolution
// unless the file gives one, and the interval between values; a refused file names its line.

#include <gtest/gtest.h>

#include <fstream>

#include "addressspace/history_policy.h"
#include "built_address_space.h"
#include "history/history_service.h"
#include "history/sqlite_history_store.h"
#include "opctoolbox/application.h"
#include "platform/platform_root.h"

namespace {

using namespace vexahv;

constexpr std::int64_t kSecond = 10'000'000;

TEST(HistoryPolicy, TheFileChoosesWhatIsKeptAndHowFinely) {
  EXPECT_EQ(parseHistoryPolicy("VMon = deadband fine"),
            "line 1: the deadband of [VMon] is a number, 0 or more, not [fine]");
  EXPECT_EQ(parseHistoryPolicy("IMon = interval 90000"),
            "line 1: the interval of [IMon] is a number of seconds from 0 to 86400, not [90000]");
  EXPECT_EQ(parseHistoryPolicy("\nRUp = keep"), "line 2: [RUp] is on, off, deadband <number> or interval <seconds>, not [keep]");

  std::unique_ptr<history::HistoryService> service;
  test::BuiltAddressSpace space({"CrateA,0,0,127.0.0.2", "CrateC,4,0,127.0.0.4"}, true, 500, [&](test::BuiltAddressSpace&) {
    std::ofstream(platform::platformRoot() / kHistoryPolicyFile)
        << "# test stand\nI0Set = off\nRUp = on\nIMon = deadband 0, interval 0\n";
    ASSERT_EQ(loadHistoryPolicy(platform::platformRoot() / kHistoryPolicyFile), "");
    history::StoreStatus s;
    history::HistoryService::Settings settings;
    settings.limits.maxAge = std::chrono::hours(24 * 365 * 100);
    service = std::make_unique<history::HistoryService>(
        history::SqliteHistoryStore::open(platform::platformRoot() / "history.db", s), settings);
    OpcToolbox::getApp()->setHistory(service.get());
  });
  ASSERT_TRUE(service);
  const std::string chan = "CrateA.Board00.Chan003.";
  for (const char* p : {"VMon", "IMon", "Status", "Pw", "V0Set", "RUp"}) EXPECT_TRUE(service->historizing(chan + p)) << p;
  EXPECT_FALSE(service->historizing(chan + "I0Set")) << "off in the file";
  EXPECT_FALSE(service->historizing(chan + "RDWn")) << "not kept by default";
  EXPECT_TRUE(service->historizing("CrateA.Board00.BdStatus"));
  EXPECT_TRUE(service->historizing("CrateA.ConnStatus"));

  // CrateC's VMon has one decimal (its Resol): a move of 0.03 is none, of 0.2 one.
  // CrateA's publishes no resolution: every change. IMon, deadband and interval 0: every
  // change at once.
  auto slot = [&](const std::string& id) -> std::uint32_t {
    const auto e = std::dynamic_pointer_cast<VEXAHVElement>(space.find(id));
    return e ? e->historySlot() : 0;
  };
  const std::string other = "CrateC.Board02.Chan000.";
  const std::uint32_t vmon = slot(other + "VMon"), plain = slot(chan + "VMon"), imon = slot(chan + "IMon");
  ASSERT_TRUE(vmon != 0 && plain != 0 && imon != 0);
  // After the values the build itself gave them.
  const std::int64_t kT0 = OpcToolbox::DateTime::now().ticks() + 10 * kSecond;
  const double volts[] = {100.0, 100.03, 100.2}, amps[] = {1.0, 1.001, 1.002};
  for (int i = 0; i < 3; ++i) {
    service->record(vmon, history::Sample{kT0 + 2 * i * kSecond, 0, history::Value(volts[i])});
    service->record(plain, history::Sample{kT0 + 2 * i * kSecond, 0, history::Value(volts[i])});
    service->record(imon, history::Sample{kT0 + i * kSecond / 10, 0, history::Value(amps[i])});
  }
  service->flush();
  const history::RawRequest all{kT0 - kSecond, kT0 + 10 * kSecond, 0, false};
  EXPECT_EQ(service->readRaw(other + "VMon", all, 0).values.size(), 2u);
  EXPECT_EQ(service->readRaw(chan + "VMon", all, 0).values.size(), 3u);
  EXPECT_EQ(service->readRaw(chan + "IMon", all, 0).values.size(), 3u);
  OpcToolbox::getApp()->setHistory(nullptr);
  EXPECT_EQ(parseHistoryPolicy(""), "");  // the defaults again for what runs next
}

}  // namespace
