#include "config/configuration_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "config/server_globals.h"
#include "logging/logging.h"
#include "support/test_environment.h"

namespace vexahv {
namespace {

struct Settings {
  bool eventEnabled = false;
  bool liveInsertRemoval = false;
  std::int32_t verifyTime = 600;
  std::int32_t logLevel = 0;
  std::atomic<bool> batched{false};
};

void parse(std::string_view text, Settings& s) {
  applyConfigurationText(text, {s.eventEnabled, s.liveInsertRemoval, s.verifyTime, s.logLevel,
                                s.batched});
}

TEST(ConfigurationReader, EntriesKeysAndValues) {
  const struct {
    const char* text;
    bool events, live;
    std::int32_t verify, level;
    bool batched;
  } cases[] = {
      {"", false, false, 600, 0, false},
      {"eventenabled = TRUE;", true, false, 600, 0, false},
      {"LiveInsertRemoval = 1;", false, true, 600, 0, false},
      {"LiveInsertRemoval = no;", false, false, 600, 0, false},
      {"EventEnabled = true LiveInsertRemoval = false;", true, true, 600, 0, false},
      {"EventEnabled = true;EventEnabled = false;", false, false, 600, 0, false},  // last wins
      {"LogLevel = 12;", false, false, 600, 3, false},
      {"LogLevel = -1;", false, false, 600, 3, false},
      {"LogLevel = 9", false, false, 600, 9, false},  // no final ';'
      {"VerifyTime =;", false, false, 600, 0, false},
      {"VerifyTime = ;", false, false, 0, 0, false},
      {"VerifyTime = 30s;", false, false, 30, 0, false},
      {"VerifyTime 45;", false, false, 0, 0, false},
      {"VerifyTime = +15;", false, false, 15, 0, false},
      {"VerifyTime = 99999999999;", false, false, 2147483647, 0, false},  // saturates
      {"VerifyTime = -99999999999;", false, false, -2147483647 - 1, 0, false},
      // The '=' at the end stops the entry: the LogLevel key in it is not tested.
      {"LogLevel 4 VerifyTime =;", false, false, 600, 0, false},
      {"\r\nVerifyTime = 20;\r\nLogLevel = 5;\r\n", false, false, 20, 5, false},
      {"UseBatchedGroupTransactions = true;", false, false, 600, 0, true},
      {"USEBATCHEDGROUPTRANSACTIONS = 0;", false, false, 600, 0, false},
      {"EventEnabled\n=\ntrue\n;", true, false, 600, 0, false},  // newlines are no separators
  };
  for (const auto& c : cases) {
    Settings s;
    parse(c.text, s);
    EXPECT_EQ(s.eventEnabled, c.events) << c.text;
    EXPECT_EQ(s.liveInsertRemoval, c.live) << c.text;
    EXPECT_EQ(s.verifyTime, c.verify) << c.text;
    EXPECT_EQ(s.logLevel, c.level) << c.text;
    EXPECT_EQ(s.batched.load(), c.batched) << c.text;
  }
}

TEST(ConfigurationReader, HistorySettingsAndTheirBounds) {
  const struct {
    const char* text;
    bool history;
    std::int32_t days, mib;
  } cases[] = {
      {"", true, 30, 1024},
      {"History = false;", false, 30, 1024},
      {"HistoryDays = 7; HistoryMaxMiB = 200;", true, 7, 200},
      {"HistoryDays = 0; HistoryMaxMiB = 8;", true, 30, 1024},  // out of range: the defaults
      {"HistoryDays = 3651;", true, 30, 1024},
      {"HistoryDays = 365; History = true;", true, 365, 1024},  // "HistoryDays = 0" is no switch
      {"HistoryDays = 1;", true, 1, 1024},
  };
  for (const auto& c : cases) {
    Settings s;
    PlantSettings plant;
    applyConfigurationText(c.text, {s.eventEnabled, s.liveInsertRemoval, s.verifyTime, s.logLevel, s.batched, &plant});
    EXPECT_EQ(plant.history, c.history) << c.text;
    EXPECT_EQ(plant.historyDays, c.days) << c.text;
    EXPECT_EQ(plant.historyMaxMiB, c.mib) << c.text;
  }
  // A connection string is kept as written, and its words set nothing else.
  Settings s;
  PlantSettings plant;
  applyConfigurationText("HistoryDatabase = host=DB1 dbname=EventEnabled_True user=hv;\nHistorySource = Hall-B ;",
                         {s.eventEnabled, s.liveInsertRemoval, s.verifyTime, s.logLevel, s.batched, &plant});
  EXPECT_EQ(plant.historyDatabase, "host=DB1 dbname=EventEnabled_True user=hv");
  EXPECT_EQ(plant.historySource, "Hall-B");
  EXPECT_TRUE(plant.history);
  EXPECT_FALSE(s.eventEnabled);
}

TEST(ConfigurationWriter, RewriteKeepsOtherEntriesAndPutsTheSettingLast) {
  const struct {
    std::optional<std::string> old;
    const char* key;
    const char* value;
    std::optional<std::string> expected;
  } cases[] = {
      {std::nullopt, "VerifyTime", "300", "VerifyTime = 300;"},
      {"EventEnabled = true;\nVerifyTime = 600;\n", "VerifyTime", "300",
       "EventEnabled = true;;VerifyTime = 300;"},
      {"EventEnabled = 1;\nLiveInsertRemoval = 0;\n", "VerifyTime", "5",
       "EventEnabled = 1;\nLiveInsertRemoval = 0;;VerifyTime = 5;"},
      {"eventenabled = false;;;LOGLEVEL=2;", "EventEnabled", "TRUE",
       "LOGLEVEL=2;EventEnabled = true;"},
      {"A;B\n\n;", "LogLevel", "7", "A;B;LogLevel = 7;"},
      {"x;", "EventEnabled", "yes", std::nullopt},
      {std::nullopt, "LiveInsertRemoval", "1", std::nullopt},  // refused even without a file
      {"x;", "VerifyTime", "1;LogLevel = 9", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rewriteConfigurationText(c.old, c.key, c.value), c.expected)
        << (c.old ? *c.old : "<no file>") << " <- " << c.key << "=" << c.value;
  }
}

class ConfigurationFileTest : public ::testing::Test {
 protected:
  ConfigurationFileTest() { startLogging(7); }
  ~ConfigurationFileTest() override { stopLogging(); }
  test::ScratchEnvironment env;
  std::string logText() { return test::readFile(logFilePath()); }
};

TEST_F(ConfigurationFileTest, ReadsDefaultsWithoutAFileAndTheFileWhenPresent) {
  bool e = true, l = true;
  std::int32_t v = 1, lv = 1;
  std::atomic<bool> b{true};
  readConfigurationFile(e, l, v, lv, b);
  EXPECT_FALSE(e || l || b);
  EXPECT_EQ(v, 600);
  EXPECT_EQ(lv, 0);
  test::writeFile(kConfigurationFileName, "EventEnabled = true;VerifyTime = 60;LogLevel = 6;");
  readConfigurationFile(e, l, v, lv, b);
  EXPECT_TRUE(e);
  EXPECT_EQ(v, 60);
  EXPECT_EQ(lv, 6);
}

TEST_F(ConfigurationFileTest, WriteRoundTripsAndRefusalsLeaveTheFileUntouched) {
  ASSERT_TRUE(writeConfigurationEntry("OPCServerEventMode", "TRUE"));
  ASSERT_TRUE(writeConfigurationEntry("OPCServerLogLevel", "4"));
  EXPECT_EQ(test::readFile(kConfigurationFileName), "EventEnabled = true;LogLevel = 4;");

  EXPECT_FALSE(writeConfigurationEntry("OPCServerLogLevelX", "4"));
  EXPECT_FALSE(writeConfigurationEntry("OPCServerLiveInsertion", "maybe"));
  EXPECT_EQ(test::readFile(kConfigurationFileName), "EventEnabled = true;LogLevel = 4;");
  const std::string log = logText();
  std::size_t n = 0;
  for (std::size_t p = 0; (p = log.find("; Error]: Configuration parameter error\n", p)) !=
                          std::string::npos;
       ++p)
    ++n;
  EXPECT_EQ(n, 2u);
  // No temporaries left beside the file.
  for (const auto& e : std::filesystem::directory_iterator(env.workDir()))
    EXPECT_EQ(e.path().filename(), kConfigurationFileName);
}

TEST_F(ConfigurationFileTest, AFailedWriteKeepsTheOldFile) {
  test::writeFile(kConfigurationFileName, "VerifyTime = 60;");
  // A file-size limit stands in for a full disk: the new text cannot be written.
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool written = writeConfigurationEntry("OPCServerVerifyTime", std::string(2 << 20, '7'));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(test::readFile(kConfigurationFileName), "VerifyTime = 60;");
  EXPECT_NE(logText().find("Error]: Failed to open configuration file [VEXAHVOPCServer.cfg]"),
            std::string::npos);
  for (const auto& e : std::filesystem::directory_iterator(env.workDir()))
    EXPECT_EQ(e.path().filename(), kConfigurationFileName);
}

TEST_F(ConfigurationFileTest, AnUnreadableFileIsNotReplaced) {
  std::filesystem::create_directory(kConfigurationFileName);  // exists, cannot be read
  EXPECT_FALSE(writeConfigurationEntry("OPCServerVerifyTime", "30"));
  EXPECT_TRUE(std::filesystem::is_directory(kConfigurationFileName));
}

TEST_F(ConfigurationFileTest, AnUnreadableFileGivesItsErrorAndLogLevelFive) {
  std::filesystem::create_directory(kConfigurationFileName);
  Settings s;
  const std::error_code ec = readConfigurationFile(s.eventEnabled, s.liveInsertRemoval, s.verifyTime,
                                                   s.logLevel, s.batched);
  EXPECT_EQ(ec, std::errc::is_a_directory);
  EXPECT_EQ(s.logLevel, 5);
  EXPECT_EQ(s.verifyTime, 600);
}

mode_t modeOf(const std::filesystem::path& file) {
  struct stat st {};
  ::stat(file.c_str(), &st);
  return st.st_mode & 07777;
}

// What an administrator did to the file survives a client's write, or the write is refused.
TEST_F(ConfigurationFileTest, WritesKeepModeOwnerAndSymlinksAndRefuseReadOnlyFiles) {
  test::writeFile(kConfigurationFileName, "VerifyTime = 60;");
  ::chmod(kConfigurationFileName, 0600);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(kConfigurationFileName, 4321, 4322), 0);
  }
  ASSERT_TRUE(writeConfigurationEntry("OPCServerLogLevel", "4"));
  EXPECT_EQ(modeOf(kConfigurationFileName), 0600u);
  if (::geteuid() == 0) {
    struct stat st {};
    ::stat(kConfigurationFileName, &st);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }

  // Mode 0444: refused as a file that cannot be opened for writing, even for root.
  ::chmod(kConfigurationFileName, 0444);
  EXPECT_FALSE(writeConfigurationEntry("OPCServerVerifyTime", "30"));
  EXPECT_EQ(test::readFile(kConfigurationFileName), "VerifyTime = 60;LogLevel = 4;");
  EXPECT_EQ(modeOf(kConfigurationFileName), 0444u);
  EXPECT_NE(logText().find("Error]: Failed to open configuration file [VEXAHVOPCServer.cfg]: Permission denied"),
            std::string::npos);

  // A link (relative, through a second link) is written through; the links stay links.
  std::filesystem::create_directory("etc");
  std::filesystem::rename(kConfigurationFileName, "etc/real.cfg");
  ::chmod("etc/real.cfg", 0640);
  std::filesystem::create_symlink("real.cfg", "etc/link.cfg");
  std::filesystem::create_symlink("etc/link.cfg", kConfigurationFileName);
  ASSERT_TRUE(writeConfigurationEntry("OPCServerVerifyTime", "30"));
  EXPECT_TRUE(std::filesystem::is_symlink(kConfigurationFileName));
  EXPECT_TRUE(std::filesystem::is_symlink("etc/link.cfg"));
  EXPECT_EQ(test::readFile("etc/real.cfg"), "LogLevel = 4;VerifyTime = 30;");
  EXPECT_EQ(modeOf("etc/real.cfg"), 0640u);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("etc")) ++files;
  EXPECT_EQ(files, 2u);  // no temporary beside the target
}

// A write killed before its rename leaves <file>.tmp.<pid>.<n>: the next start or write
// removes it, unless its writer is still alive.
TEST_F(ConfigurationFileTest, TemporariesOfDeadWritersAreRemovedAtStartAndWrite) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string stale = std::string(kConfigurationFileName) + ".tmp." + std::to_string(dead) + ".0";
  const std::string live = std::string(kConfigurationFileName) + ".tmp." + std::to_string(::getppid()) + ".3";
  test::writeFile(stale, "LogLevel = ");
  test::writeFile(live, "");
  test::writeFile(kConfigurationFileName, "LogLevel = 6;");
  Settings s;
  EXPECT_FALSE(readConfigurationFile(s.eventEnabled, s.liveInsertRemoval, s.verifyTime, s.logLevel, s.batched));
  EXPECT_EQ(s.logLevel, 6);
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live));

  test::writeFile(stale, "");
  ASSERT_TRUE(writeConfigurationEntry("OPCServerLogLevel", "3"));
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live));
}

TEST_F(ConfigurationFileTest, BatchedSetterStoresAndLogs) {
  VEXAHVServerGlobals::setUseBatchedGroupTransactions(true);
  EXPECT_TRUE(VEXAHVServerGlobals::getUseBatchedGroupTransactions());
  VEXAHVServerGlobals::setUseBatchedGroupTransactions(false);
  EXPECT_FALSE(VEXAHVServerGlobals::getUseBatchedGroupTransactions());
  const std::string log = logText();
  EXPECT_NE(log.find("; Notice]: VEXAHVServerGlobals::setUseBatchedGroupTransactions value set "
                     "to [true]\n"),
            std::string::npos);
  EXPECT_NE(log.find("value set to [false]\n"), std::string::npos);
}

}  // namespace
}  // namespace vexahv
