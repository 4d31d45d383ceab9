#include "logging/logging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "support/test_environment.h"

namespace vexahv {
namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class LoggingTest : public ::testing::Test {
 protected:
  ~LoggingTest() override { stopLogging(); }
  test::ScratchEnvironment env;

  std::vector<std::string> logged() { return lines(test::readFile(logFilePath())); }

  // One line per severity, each naming its own severity.
  void logEverySeverity() {
    logEmergency("m0");
    logAlert("m1");
    logCritical("m2");
    logError("m3");
    logWarning("m4");
    logNotice("m5");
    logInformational("m6");
    logDebug("m7");
  }
};

TEST_F(LoggingTest, CeilingFiltersBySeverity) {
  EXPECT_TRUE(logEnabled(Severity::Notice));  // 5 before start
  EXPECT_FALSE(logEnabled(Severity::Informational));
  const struct {
    std::int32_t level;
    std::size_t expected;
  } cases[] = {{0, 1}, {3, 4}, {7, 8}, {9, 8}, {-1, 0}};
  for (const auto& c : cases) {
    std::filesystem::remove(logFilePath());
    startLogging(c.level);
    logEverySeverity();
    stopLogging();
    auto got = logged();
    ASSERT_EQ(got.size(), c.expected) << "level " << c.level;
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_NE(got[i].find("]: m" + std::to_string(i)), std::string::npos) << got[i];
  }
}

TEST_F(LoggingTest, LineFormatAndPartsWithNothingBetween) {
  startLogging(7);
  logError("Connecting to system [", std::string("S1"), "] slot ", 7, " of ", -2u, '!');
  auto got = logged();
  ASSERT_EQ(got.size(), 1u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(got[0], m,
                               std::regex(R"(\[VEXAHVOPCServerLog\.(\d+), (\S.*\S); Error\]: (.*))")))
      << got[0];
  EXPECT_EQ(m[1].str(), std::to_string(::gettid()));
  EXPECT_EQ(m[3].str(), "Connecting to system [S1] slot 7 of 4294967294!");
}

TEST_F(LoggingTest, RunTimeChangeTakesEffectAtOnceAndRunsAppend) {
  startLogging(3);
  logInformational("before");
  EXPECT_EQ(setLogLevel(6), 3);
  logInformational("after");
  stopLogging();
  startLogging(6);  // a second run appends
  logInformational("second run");
  auto got = logged();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].find("]: after"), std::string::npos);
  EXPECT_NE(got[1].find("]: second run"), std::string::npos);
}

// A rotation moves the file away: SIGUSR1's reopen makes a new one at once; without the
// signal the writer notices the move within a second of its next entry.
TEST_F(LoggingTest, AMovedLogIsFollowedOnRequestAndByItself) {
  startLogging(5);
  logNotice("before");
  const std::filesystem::path moved = logFilePath().string() + ".1";
  std::filesystem::rename(logFilePath(), moved);
  logNotice("still to the open file");
  EXPECT_TRUE(reopenLog());
  logNotice("after");
  EXPECT_NE(test::readFile(moved).find("still to the open file"), std::string::npos);
  std::string fresh = test::readFile(logFilePath());
  EXPECT_NE(fresh.find("Log file reopened"), std::string::npos);
  EXPECT_NE(fresh.find("after"), std::string::npos);
  EXPECT_EQ(fresh.find("before"), std::string::npos);

  const std::filesystem::path again = logFilePath().string() + ".2";
  std::filesystem::rename(logFilePath(), again);
  const std::time_t start = std::time(nullptr);
  while (std::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  logNotice("found by itself");
  EXPECT_NE(test::readFile(logFilePath()).find("found by itself"), std::string::npos);
  EXPECT_EQ(test::readFile(again).find("found by itself"), std::string::npos);
}

TEST_F(LoggingTest, ManyThreadsNeverInterleave) {
  startLogging(7);
  constexpr int kThreads = 8, kLines = 400;
  const std::string body(300, 'b');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) logDebug("t", t, " ", body, " end");
    });
  for (auto& th : threads) th.join();
  auto got = logged();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kLines));
  const std::regex whole(R"(\[VEXAHVOPCServerLog\.\d+, .+; Debug\]: t\d b{300} end)");
  for (const auto& l : got) ASSERT_TRUE(std::regex_match(l, whole)) << l;
}

TEST_F(LoggingTest, WhenTheLogCannotOpenTheErrorFileSaysSoAndNothingIsLogged) {
  std::filesystem::create_directories(logFilePath());  // a directory where the file should be
  startLogging(7);
  EXPECT_FALSE(loggingStarted());
  EXPECT_EQ(test::readFile(logErrorFilePath()), "failed to initialise logger\n");
  EXPECT_TRUE(logEnabled(Severity::Notice));  // ceiling stays 5
  EXPECT_FALSE(logEnabled(Severity::Informational));
  logNotice("lost");  // must not crash or create anything
}

TEST_F(LoggingTest, PlatformDiagnosticsReachTheLog) {
  startLogging(3);
  platform::reportDiagnostic("hive damaged");
  auto got = logged();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find("; Error]: hive damaged"), std::string::npos);
}

}  // namespace
}  // namespace vexahv
