// The automation object's methods over a scratch store and a stand-in server, and the
// entry check that guards the store.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "config/system_entries.h"
#include "config/system_entry.h"
#include "config/vexahv_opc_service.h"
#include "platform/registry.h"
#include "logging/logging.h"
#include "support/test_environment.h"

namespace vexahv {
namespace {

class FakeServer final : public AutomationServer {
 public:
  std::int32_t clientCount() const override { return clients; }
  std::optional<std::uint32_t> entryCount() const override {
    if (!hasList) return std::nullopt;
    return count.load();
  }
  void setEntryCount(std::uint32_t c) override { count = c; }
  std::optional<std::int32_t> connectionStatus(std::uint32_t index) const override {
    if (!hasList || index >= statuses.size()) return std::nullopt;
    return statuses[index];
  }
  bool active() const override { return started; }
  std::string libraryRelease() const override { return "5.9"; }

  std::int32_t clients = 0;
  bool hasList = true;
  std::atomic<std::uint32_t> count{0};
  std::vector<std::int32_t> statuses;
  bool started = false;
};

TEST(SystemEntryCheckTest, NamesTheWrongFieldAndAcceptsWhatTheServerUses) {
  for (const char* good : {"CrateA,0,0,127.0.0.2", "CrateB,1,0,127.0.0.3:admin:hvsecret", "S,5,0,10.0.0.1:u",
                           "Serial,2,1,/dev/ttyS0", ",,CrateC,,4,,0,,127.0.0.4"}) {
    EXPECT_EQ(checkSystemEntry(good), "") << good;
  }
  const std::pair<const char*, const char*> bad[] = {
      {"", "0 fields"},
      {"CrateA,0,0", "3 fields"},
      {"CrateA,0,0,1.2.3.4,x", "5 fields"},
      {"Crate.A,0,0,1.2.3.4", "field 1 (name) [Crate.A]"},
      {"Crate A,0,0,1.2.3.4", "field 1 (name)"},
      {"Crate:A,0,0,1.2.3.4", "field 1 (name) [Crate:A] may hold no '.', ':' or blank"},
      {"CrateA,6,0,1.2.3.4", "field 2 (type) [6]"},
      {"CrateA,x,0,1.2.3.4", "field 2 (type) [x]"},
      {"CrateA,-1,0,1.2.3.4", "field 2 (type)"},
      {"CrateA,0,tcp,1.2.3.4", "field 3 (link) [tcp]"},
      {"CrateA,0,0,crate-a.local", "field 4 (address) [crate-a.local]"},
      {"CrateA,0,0,1.2.3.4:u:p:q", "more than IP:USER:PASSWORD"},
      {"CrateA,0,0,1.2.3.4\n", "control character"},
  };
  for (const auto& [entry, reason] : bad) {
    EXPECT_NE(checkSystemEntry(entry).find(reason), std::string::npos) << entry << ": " << checkSystemEntry(entry);
  }
  EXPECT_NE(checkSystemEntry("C" + std::string(75, 'x') + ",0,0,1.2.3.4").find("at most 79"), std::string::npos);
  // Every item id of the system ("NAME.Board00.Chan000.PARAMETER") must fit the library's 63.
  const std::string longest(maxSystemNameLength(), 'n');
  EXPECT_EQ(maxSystemNameLength(), 37u);
  EXPECT_EQ(checkSystemEntry(longest + ",0,0,1.2.3.4"), "");
  EXPECT_EQ(checkSystemEntry(longest + "n,0,0,1.2.3.4"),
            "field 1 (name) [" + longest + "n] has 38 characters; at most 37 fit the library's item identifiers of 63");
  // Whatever follows the user is hidden, and only that.
  for (const auto& [entry, shown] : std::vector<std::pair<std::string, std::string>>{
           {"CrateB,1,0,127.0.0.3:admin:hvsecret", "CrateB,1,0,127.0.0.3:admin:********"},
           {",,B,,1,0,,1.2.3.4::u::p:q,x", ",,B,,1,0,,1.2.3.4::u::********"},
           {"CrateA,0,0,127.0.0.2:admin", "CrateA,0,0,127.0.0.2:admin"},
           {"Serial,2,1,/dev/ttyS0:a:b", "Serial,2,1,/dev/ttyS0:a:b"},
           {"broken", "broken"}}) {
    EXPECT_EQ(maskSystemEntry(entry), shown);
  }
  // The parser itself still reads anything, as the server always has.
  const SystemEntry e = parseSystemEntry("CrateB,1,0,127.0.0.3:admin:hvsecret");
  EXPECT_EQ(e.systemType, 2);
  EXPECT_EQ(e.userName, "admin");
  EXPECT_EQ(e.password, "hvsecret");
}

class AutomationTest : public ::testing::Test {
 protected:
  AutomationTest() { startLogging(7); }
  ~AutomationTest() override { stopLogging(); }
  std::size_t logged(const std::string& text) {
    const std::string log = test::readFile(logFilePath());
    std::size_t n = 0;
    for (std::size_t p = 0; (p = log.find(text, p)) != std::string::npos; ++p) ++n;
    return n;
  }
  test::ScratchEnvironment env;
  FakeServer server;
  VEXAHVOPCService service{server};
};

TEST_F(AutomationTest, MethodsAnswerFromTheStoreAndTheServerAndSayWhatIsNotAvailable) {
  std::string text = "stale";
  EXPECT_EQ(service.getEntry(0, text), kAutomationFalse);
  EXPECT_EQ(text, "");
  EXPECT_EQ(service.putEntry("CrateA,0,0,127.0.0.2"), kAutomationOk);
  EXPECT_EQ(service.putEntry("CrateB,1,0,127.0.0.3:admin:pw"), kAutomationOk);
  std::uint32_t count = 0;
  EXPECT_EQ(service.getPowerSupplies(count), kAutomationOk);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(service.getEntry(1, text, VEXAHVOPCService::Caller::MayReadSecrets), kAutomationOk);
  EXPECT_EQ(text, "CrateB,1,0,127.0.0.3:admin:pw");
  EXPECT_EQ(service.getEntry(1, text), kAutomationOk);
  EXPECT_EQ(text, "CrateB,1,0,127.0.0.3:admin:********") << "anyone else sees no password";
  EXPECT_EQ(logged(":admin:pw"), 0u) << "nor does the log";
  EXPECT_EQ(logged("System entry [CrateB,1,0,127.0.0.3:admin:********] added as [1]"), 1u);
  EXPECT_EQ(service.getEntry(2, text), kAutomationFalse);  // i equal to the count
  EXPECT_EQ(text, "");

  // Added since the build: counted, but no node to report on until the next start.
  server.statuses = {1, 7};
  std::int16_t status = -1;
  EXPECT_EQ(service.getConnectionStatus(0, status), kAutomationOk);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(service.getConnectionStatus(1, status), kAutomationOk);
  EXPECT_EQ(status, 2);  // any status but 0 and 1
  EXPECT_EQ(service.getConnectionStatus(2, status), kAutomationFalse);
  EXPECT_EQ(status, 0);

  std::string release;
  EXPECT_EQ(service.getRelease(release), kAutomationOk);
  EXPECT_EQ(release, "5.62 (5.9)");
  std::int16_t active = -1;
  EXPECT_EQ(service.getServerActivity(active), kAutomationOk);
  EXPECT_EQ(active, 0);  // asking starts nothing
  EXPECT_FALSE(server.started);
  server.clients = 3;
  std::int32_t clients = 0;
  EXPECT_EQ(service.getClients(clients), kAutomationOk);
  EXPECT_EQ(clients, 3);

  // Without a server object or list: S_FALSE and zero, nothing changes.
  server.hasList = false;
  EXPECT_EQ(service.getPowerSupplies(count), kAutomationFalse);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(service.putEntry("CrateC,4,0,127.0.0.4"), kAutomationFalse);
  EXPECT_EQ(service.removeEntry(0), kAutomationFalse);
  EXPECT_EQ(readSystemEntries().size(), 2u);
}

TEST_F(AutomationTest, RefusalsChangeNothingAndSaySo) {
  ASSERT_EQ(service.putEntry("CrateA,0,0,127.0.0.2"), kAutomationOk);
  EXPECT_EQ(service.putEntry("CrateA,0,0,crate-a"), kAutomationFalse);
  EXPECT_EQ(service.putEntry(std::string(80, 'x')), kAutomationFalse);
  EXPECT_EQ(logged("Refused system entry ["), 2u);
  EXPECT_EQ(service.removeEntry(1), kAutomationFalse);       // at the count
  EXPECT_EQ(service.removeEntry(4000000000u), kAutomationFalse);
  EXPECT_EQ(logged("Error removing system entry ["), 2u);
  EXPECT_EQ(server.count.load(), 1u);
  EXPECT_EQ(readSystemEntries(), std::vector<std::string>{"CrateA,0,0,127.0.0.2"});

  // A store that cannot be written: S_FALSE, and the count stays.
  const auto hive = platform::Registry(env.root()).hiveFile(platform::Hive::CurrentUser);
  ASSERT_EQ(::chmod(hive.c_str(), 0444), 0);
  EXPECT_EQ(service.putEntry("CrateB,1,0,127.0.0.3"), kAutomationFalse);
  EXPECT_EQ(service.removeEntry(0), kAutomationFalse);
  EXPECT_EQ(server.count.load(), 1u);
  ASSERT_EQ(::chmod(hive.c_str(), 0600), 0);
  EXPECT_EQ(service.removeEntry(0), kAutomationOk);
  EXPECT_EQ(server.count.load(), 0u);
  EXPECT_TRUE(readSystemEntries().empty());
}

TEST_F(AutomationTest, ConcurrentAppendsAreAllKept) {
  std::thread a([&] {
    for (int i = 0; i < 20; ++i) EXPECT_EQ(service.putEntry("A" + std::to_string(i) + ",0,0,10.0.0.1"), kAutomationOk);
  });
  // The other writer goes straight to the store, as the tool does without the server.
  std::thread b([&] {
    for (int i = 0; i < 20; ++i) {
      std::uint32_t count = 0;
      addSystemEntry("B" + std::to_string(i) + ",0,0,10.0.0.2", count);
    }
  });
  a.join();
  b.join();
  EXPECT_EQ(readSystemEntries().size(), 40u);
  EXPECT_EQ(server.count.load(), 20u);  // the server counts its own appends
}

}  // namespace
}  // namespace vexahv
