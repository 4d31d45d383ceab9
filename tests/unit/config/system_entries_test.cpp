#include "config/system_entries.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "logging/logging.h"
#include "support/test_environment.h"

namespace vexahv {
namespace {

using platform::Hive;
using platform::RegResult;
using platform::RegType;
using Strings = std::vector<std::string>;

class SystemEntriesTest : public ::testing::Test {
 protected:
  SystemEntriesTest() { startLogging(7); }
  ~SystemEntriesTest() override { stopLogging(); }
  test::ScratchEnvironment env;
  platform::Registry reg{env.root()};

  std::uint32_t fill(const Strings& entries) {
    std::uint32_t count = 0;
    for (const auto& e : entries) addSystemEntry(e, count);
    return count;
  }
  std::uint32_t storedCount() {
    std::uint32_t v = 0, size = 4;
    EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kSettingsKey, "HVPSNum", nullptr, &v, &size),
              RegResult::Success);
    return v;
  }
  bool hasValue(const char* name) {
    std::uint32_t size = 0;
    return reg.queryValue(Hive::CurrentUser, kSettingsKey, name, nullptr, nullptr, &size) ==
           RegResult::Success;
  }
  std::size_t errorLines(const std::string& text) {
    const std::string log = test::readFile(logFilePath());
    std::size_t n = 0;
    for (std::size_t p = 0; (p = log.find("; Error]: " + text, p)) != std::string::npos; ++p) ++n;
    return n;
  }
};

TEST_F(SystemEntriesTest, AddReadAndRemoveAtStartMiddleAndEnd) {
  EXPECT_EQ(readSystemEntries(), Strings{});
  // The fixed text, then where and why.
  const std::string hive = reg.hiveFile(Hive::CurrentUser).string();
  EXPECT_EQ(errorLines("Error opening Windows registry key [" + std::string(kSettingsKey) + "] of [" + hive +
                       "]: no such key"), 1u);

  std::uint32_t count = fill({"A,0,0,127.0.0.2", "B,2,0,127.0.0.3", "C", "D", "E"});
  ASSERT_EQ(count, 5u);
  EXPECT_EQ(readSystemEntries(), (Strings{"A,0,0,127.0.0.2", "B,2,0,127.0.0.3", "C", "D", "E"}));

  removeSystemEntry(0, count);  // start
  EXPECT_EQ(readSystemEntries(), (Strings{"B,2,0,127.0.0.3", "C", "D", "E"}));
  removeSystemEntry(1, count);  // middle
  EXPECT_EQ(readSystemEntries(), (Strings{"B,2,0,127.0.0.3", "D", "E"}));
  removeSystemEntry(2, count);  // end
  EXPECT_EQ(readSystemEntries(), (Strings{"B,2,0,127.0.0.3", "D"}));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(storedCount(), 2u);
  EXPECT_FALSE(hasValue("2"));

  // The longest entry the reader can hold, and an empty one.
  addSystemEntry(std::string(79, 'x'), count);
  addSystemEntry("", count);
  EXPECT_EQ(readSystemEntries(), (Strings{"B,2,0,127.0.0.3", "D", std::string(79, 'x'), ""}));
}

TEST_F(SystemEntriesTest, ABadValueInTheListIsSkippedWithOneErrorLine) {
  std::uint32_t count = fill({"S0", "S1", "S2"});
  ASSERT_EQ(reg.setDword(Hive::CurrentUser, kSettingsKey, "1", 7), RegResult::Success);
  EXPECT_EQ(readSystemEntries(), (Strings{"S0", "S2"}));
  EXPECT_EQ(errorLines("Error reading string value from Windows registry key [" +
                       reg.hiveFile(Hive::CurrentUser).string() + "]: value [1] not a string"), 1u);

  // The caller counts readable entries; an append goes after every stored value, so the
  // unreadable one is never overwritten.
  count = 2;
  addSystemEntry("S3", count);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(storedCount(), 4u);
  EXPECT_EQ(readSystemEntries(), (Strings{"S0", "S2", "S3"}));
  // Removal by readable index: "S2" is the second readable entry; later values, readable
  // or not, move down as they are stored, and the list keeps no hole.
  removeSystemEntry(1, count);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(storedCount(), 3u);
  EXPECT_EQ(readSystemEntries(), (Strings{"S0", "S3"}));
  removeSystemEntry(0, count);
  EXPECT_EQ(storedCount(), 2u);
  std::uint32_t moved = 0, size = 4;
  EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kSettingsKey, "0", nullptr, &moved, &size), RegResult::Success);
  EXPECT_EQ(moved, 7u);  // the unreadable value, kept as it was
  EXPECT_EQ(readSystemEntries(), (Strings{"S3"}));
  EXPECT_FALSE(hasValue("2"));

  // Other unreadable forms: an expandable string is accepted, an unterminated one is not.
  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kSettingsKey, "0", RegType::ExpandString,
                         platform::stringData("$E")), RegResult::Success);
  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kSettingsKey, "1", RegType::String, "nozero"),
            RegResult::Success);
  EXPECT_EQ(readSystemEntries(), (Strings{"$E"}));

  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kSettingsKey, "HVPSNum", RegType::Binary, "12"),
            RegResult::Success);
  EXPECT_EQ(readSystemEntries(), Strings{});
  EXPECT_EQ(errorLines("Error reading entries number from Windows registry key [" +
                       reg.hiveFile(Hive::CurrentUser).string() + "]: value [HVPSNum] is not 4 bytes long"), 1u);
}

TEST_F(SystemEntriesTest, RefusalsLeaveTheStoreAndTheCountUntouched) {
  std::uint32_t count = 0;
  removeSystemEntry(0, count);  // empty list
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(errorLines("Error removing system entry [0]: the list holds 0 entries"), 1u);

  count = fill({"S0", "S1"});
  removeSystemEntry(2, count);
  removeSystemEntry(4000000000u, count);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(errorLines("Error removing system entry [2]: the list holds 2 entries"), 1u);

  addSystemEntry(std::string(80, 'y'), count);
  addSystemEntry(std::string("a\0b", 3), count);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(errorLines("Error adding system entry ["), 2u);
  EXPECT_EQ(storedCount(), 2u);
  EXPECT_EQ(readSystemEntries(), (Strings{"S0", "S1"}));
}

}  // namespace
}  // namespace vexahv
