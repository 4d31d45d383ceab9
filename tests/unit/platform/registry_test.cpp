#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/atomic_file.h"
#include "support/test_environment.h"

namespace vexahv::platform {
namespace {

constexpr const char* kKey = "Software\\VEXA/ZOLT\\VEXAHVOPCServer\\Settings\\";

class RegistryTest : public ::testing::Test {
 protected:
  test::ScratchEnvironment env;
  Registry reg{env.root()};

  std::uint32_t readDword(std::string_view name) {
    std::uint32_t v = 0, size = sizeof v;
    EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, name, nullptr, &v, &size),
              RegResult::Success);
    return v;
  }
};

TEST_F(RegistryTest, TypedValuesAndWin32QuerySemantics) {
  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kKey, "x", RegType::String, "a"), RegResult::NotFound);
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  ASSERT_EQ(reg.setString(Hive::CurrentUser, kKey, "0", "S1,0,0,127.0.0.2"), RegResult::Success);
  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kKey, "E", RegType::ExpandString, stringData("$X")),
            RegResult::Success);
  ASSERT_EQ(reg.setValue(Hive::CurrentUser, kKey, "B", RegType::Binary, std::string("\0\1", 2)),
            RegResult::Success);
  ASSERT_EQ(reg.setDword(Hive::CurrentUser, kKey, "HVPSNum", 0xdeadbeef), RegResult::Success);

  EXPECT_EQ(readDword("hvpsnum"), 0xdeadbeefu);  // names compare without case

  RegType type{};
  std::uint32_t size = 0;
  EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "0", &type, nullptr, &size),
            RegResult::Success);
  EXPECT_EQ(type, RegType::String);
  EXPECT_EQ(size, 17u);  // text and its zero

  char small[4];
  size = sizeof small;
  EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "0", &type, small, &size),
            RegResult::MoreData);
  EXPECT_EQ(size, 17u);

  char buf[80];
  size = sizeof buf;
  ASSERT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "E", &type, buf, &size), RegResult::Success);
  EXPECT_EQ(type, RegType::ExpandString);
  EXPECT_STREQ(buf, "$X");
  size = sizeof buf;
  ASSERT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "B", &type, buf, &size), RegResult::Success);
  EXPECT_EQ(type, RegType::Binary);
  EXPECT_EQ(size, 2u);

  EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "missing", &type, buf, &size),
            RegResult::NotFound);
  EXPECT_EQ(reg.deleteValue(Hive::CurrentUser, kKey, "B"), RegResult::Success);
  EXPECT_EQ(reg.deleteValue(Hive::CurrentUser, kKey, "B"), RegResult::NotFound);
  // Hives are separate stores.
  EXPECT_EQ(reg.keyExists(Hive::ClassesRoot, kKey), RegResult::NotFound);
}

TEST_F(RegistryTest, KeysHaveSubKeysAndDeleteAsATree) {
  ASSERT_EQ(reg.createKey(Hive::ClassesRoot, "CLSID\\{1}\\LocalServer32"), RegResult::Success);
  ASSERT_EQ(reg.createKey(Hive::ClassesRoot, "CLSID\\{2}"), RegResult::Success);
  RegistryTransaction tx;
  ASSERT_EQ(reg.begin(Hive::ClassesRoot, Registry::Access::Read, tx), RegResult::Success);
  EXPECT_EQ(tx.subKeyNames("clsid"), (std::vector<std::string>{"{1}", "{2}"}));
  EXPECT_EQ(tx.createKey("X"), RegResult::InvalidArgument);  // read transactions do not write

  ASSERT_EQ(reg.deleteKey(Hive::ClassesRoot, "CLSID\\{1}"), RegResult::Success);
  EXPECT_EQ(reg.keyExists(Hive::ClassesRoot, "CLSID\\{1}\\LocalServer32"), RegResult::NotFound);
  EXPECT_EQ(reg.keyExists(Hive::ClassesRoot, "CLSID\\{2}"), RegResult::Success);
}

TEST_F(RegistryTest, NothingReachesTheFileBeforeCommit) {
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  {
    RegistryTransaction tx;
    ASSERT_EQ(reg.begin(Hive::CurrentUser, Registry::Access::Write, tx), RegResult::Success);
    ASSERT_EQ(tx.setValue(kKey, "v", RegType::Dword, dwordData(1)), RegResult::Success);
  }  // abandoned
  std::uint32_t size = 0;
  EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "v", nullptr, nullptr, &size),
            RegResult::NotFound);
}

// The systems list holds the mainframes' passwords: the owner's alone, whatever the umask
// and whatever mode an older release left it with; 0640 survives only where it was chosen.
TEST_F(RegistryTest, TheHiveAndOtherSecretsAreTheOwnersAloneWhateverTheUmask) {
  const auto modeOf = [](const std::filesystem::path& f) {
    struct stat st {};
    EXPECT_EQ(::stat(f.c_str(), &st), 0) << f;
    return st.st_mode & 07777;
  };
  const auto write = [&](std::uint32_t v) {
    RegistryTransaction tx;
    ASSERT_EQ(reg.begin(Hive::CurrentUser, Registry::Access::Write, tx), RegResult::Success);
    ASSERT_EQ(tx.setValue(kKey, "HVPSNum", RegType::Dword, dwordData(v)), RegResult::Success);
    ASSERT_EQ(tx.commit(), RegResult::Success);
  };
  const mode_t umaskBefore = ::umask(0);
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  write(1);
  const auto hive = reg.hiveFile(Hive::CurrentUser);
  EXPECT_EQ(modeOf(hive), 0600u);
  ASSERT_EQ(::chmod(hive.c_str(), 0644), 0);
  write(2);
  EXPECT_EQ(modeOf(hive), 0600u) << "an older world-readable hive is narrowed";
  ASSERT_EQ(::chmod(hive.c_str(), 0640), 0);
  write(3);
  EXPECT_EQ(modeOf(hive), 0640u) << "the service's group, where someone chose it";
  ASSERT_EQ(::chmod(hive.c_str(), 0755), 0);
  write(4);
  EXPECT_EQ(modeOf(hive), 0600u);
  EXPECT_EQ(readDword("HVPSNum"), 4u);

  ::umask(0277);  // would leave the owner unable to write it again
  const auto key = env.root() / "key.pem";
  ASSERT_FALSE(replaceSecretFileAtomically(key, "secret"));
  EXPECT_EQ(modeOf(key), 0600u);
  ASSERT_FALSE(replaceSecretFileAtomically(key, "secret 2"));
  ::umask(umaskBefore);
}

TEST_F(RegistryTest, DamagedHiveIsKeptAsideAndReported) {
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  test::writeFile(reg.hiveFile(Hive::CurrentUser), "VEXAHV-REGISTRY-HIVE 1\n[K]\ngarbage\n");
  EXPECT_EQ(reg.keyExists(Hive::CurrentUser, kKey), RegResult::Corrupt);
  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(env.root() / "registry")) {
    if (e.path().filename().string().find("HKEY_CURRENT_USER.hive.damaged-") == 0) {
      ++aside;
      EXPECT_NE(test::readFile(e.path()).find("garbage"), std::string::npos);
    }
  }
  EXPECT_EQ(aside, 1);
  EXPECT_EQ(reg.keyExists(Hive::CurrentUser, kKey), RegResult::NotFound);  // starts afresh
}

TEST_F(RegistryTest, WritersInTwoProcessesLoseNothing) {
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  ASSERT_EQ(reg.setDword(Hive::CurrentUser, kKey, "n", 0), RegResult::Success);
  constexpr int kPerProcess = 150;
  auto increment = [&] {
    RegistryTransaction tx;
    if (reg.begin(Hive::CurrentUser, Registry::Access::Write, tx) != RegResult::Success) return false;
    std::uint32_t v = 0, size = 4;
    if (tx.queryValue(kKey, "n", nullptr, &v, &size) != RegResult::Success) return false;
    return tx.setValue(kKey, "n", RegType::Dword, dwordData(v + 1)) == RegResult::Success &&
           tx.commit() == RegResult::Success;
  };
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool ok = true;
    for (int i = 0; i < kPerProcess; ++i) ok = increment() && ok;
    ::_exit(ok ? 0 : 1);
  }
  for (int i = 0; i < kPerProcess; ++i) EXPECT_TRUE(increment());
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(readDword("n"), 2u * kPerProcess);
}

TEST_F(RegistryTest, AWriterKilledMidWriteLeavesAReadableHive) {
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  const std::string big(200000, 'x');  // long writes, so the kill lands inside one
  ASSERT_EQ(reg.setString(Hive::CurrentUser, kKey, "big", big), RegResult::Success);
  for (int round = 0; round < 3; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (std::uint32_t i = 0; i < 100000; ++i) {
        reg.setString(Hive::CurrentUser, kKey, "big", big + std::to_string(i));
        reg.setDword(Hive::CurrentUser, kKey, "i", i);
      }
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + 25 * round));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::uint32_t size = 0;
    EXPECT_EQ(reg.queryValue(Hive::CurrentUser, kKey, "big", nullptr, nullptr, &size),
              RegResult::Success);
    EXPECT_GE(size, big.size());
  }
  // The next writer clears what the killed ones left behind.
  ASSERT_EQ(reg.setDword(Hive::CurrentUser, kKey, "after", 1), RegResult::Success);
  for (const auto& e : std::filesystem::directory_iterator(env.root() / "registry"))
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
}

TEST_F(RegistryTest, UnwritableDirectoryIsAccessDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
  ASSERT_EQ(reg.createKey(Hive::CurrentUser, kKey), RegResult::Success);
  std::filesystem::permissions(env.root() / "registry", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_exec);
  EXPECT_EQ(reg.setDword(Hive::CurrentUser, kKey, "v", 1), RegResult::AccessDenied);
  EXPECT_EQ(reg.keyExists(Hive::CurrentUser, kKey), RegResult::Success);  // still readable
}

}  // namespace
}  // namespace vexahv::platform
