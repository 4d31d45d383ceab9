// The service shell against the stand-in back-ends in a scratch root: the switch scanner,
// every key the registration writes and removes, the firewall rule pair, and the bounded
// stop of a service process (real child processes stand in for the service's process).

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>

#include "opctoolbox/results.h"
#include "platform/firewall.h"
#include "platform/process_identity.h"
#include "platform/registry.h"
#include "platform/service_record.h"
#include "service/bus_registration.h"
#include "service/service_module.h"
#include "service/service_registration.h"
#include "support/test_environment.h"

extern char** environ;

namespace vexahv {
namespace {

using platform::Hive;
using platform::RecordFirewall;
using platform::RecordServiceManager;
using platform::Registry;
using platform::ServiceState;
namespace err = platform::service_error;

// A process standing in for a running service; ignoreTerm makes one that will not stop.
class ServiceProcess {
 public:
  explicit ServiceProcess(bool ignoreTerm) {
    const char* script = ignoreTerm ? "trap '' TERM; exec sleep 30" : "exec sleep 30";
    const char* argv[] = {"/bin/sh", "-c", script, nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    // Until the shell has set its trap and become sleep, a SIGTERM would still end it.
    for (int i = 0; i < 200 && !ready(ignoreTerm); ++i) ::usleep(5000);
  }
  ~ServiceProcess() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // Reaps it once it has ended by itself.
  bool ended() { return ::waitpid(pid_, nullptr, WNOHANG) == pid_ || platform::processStartTime(pid_) == 0; }

 private:
  bool ready(bool ignoreTerm) const {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec);
    return !ec && (!ignoreTerm || exe.filename() == "sleep");
  }
  pid_t pid_ = -1;
};

class ServiceShellTest : public ::testing::Test {
 protected:
  ServiceShellTest()
      : module_(std::make_unique<RecordServiceManager>(env_.root()),
                [this] { return std::make_unique<RecordFirewall>(env_.root()); }, definition()) {}

  platform::ServiceDefinition definition() const {
    platform::ServiceDefinition d;
    d.name = kServiceName;
    d.displayName = kServiceName;
    d.executable = "/opt/vexahv/bin/vexahv-opcserver";
    d.workingDirectory = d.platformRoot = env_.root();
    return d;
  }

  std::size_t rules() {
    std::vector<platform::FirewallRule> list;
    EXPECT_EQ(RecordFirewall(env_.root()).list(list), 0u);
    return list.size();
  }

  bool key(const std::string& path) {
    return Registry::forProcess().keyExists(Hive::ClassesRoot, path) == platform::RegResult::Success;
  }

  std::string value(const std::string& path, const std::string& name) {
    char buffer[512] = {};
    std::uint32_t size = sizeof buffer;
    platform::RegType type{};
    if (Registry::forProcess().queryValue(Hive::ClassesRoot, path, name, &type, buffer, &size) !=
        platform::RegResult::Success)
      return "<none>";
    return std::string(buffer, size > 0 ? size - 1 : 0);
  }

  // A record whose service is run by process `pid`.
  void recordRunning(pid_t pid) {
    platform::ServiceRecord r;
    r.definition = definition();
    r.state = ServiceState::Running;
    r.pid = pid;
    r.started = platform::processStartTime(pid);
    test::writeFile(RecordServiceManager(env_.root()).recordFile(kServiceName), platform::formatServiceRecord(r));
    ::chmod(RecordServiceManager(env_.root()).recordFile(kServiceName).c_str(), 0600);
  }

  long parse(const std::string& line) {
    long result = -7;
    ran_ = module_.ParseCommandLine(line, result);
    return result;
  }

  test::ScratchEnvironment env_;
  VEXAHVOPCServerModule module_;
  bool ran_ = false;
};

TEST_F(ServiceShellTest, SwitchScannerFindsTheThreeSwitchesOnly) {
  // Not switches: no leading '-' or '/', a longer or shorter word, an unknown word.
  for (const char* line : {"", "RegServer", "Service UnregServer", "/RegServerX", "/Reg", "-Services", "/help",
                           "/Service_", "-x- /"}) {
    parse(line);
    EXPECT_TRUE(ran_) << line;
  }
  EXPECT_FALSE(key(std::string("AppID\\") + kAppId));
  // Switches: any letter case, '-' or '/', after other words, at the end or before a blank or tab.
  for (const char* line : {"/RegServer", "-regserver", "x /SERVICE", "-Service\t-v", "a/service", "--service"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(line), 0) << line;
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ran_) << line;
    EXPECT_TRUE(key(std::string("AppID\\") + kAppId)) << line;
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse(std::string(line) == "-regserver" ? "-UNREGSERVER" : "/UnregServer"), 0) << line;
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ran_);
    EXPECT_FALSE(key(std::string("AppID\\") + kAppId)) << line;
  }
}

TEST_F(ServiceShellTest, RegistrationWritesEveryKeyTheRecordAndTheRulesAndUnregistrationRemovesThem) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/Service"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Successfully added firewall rule !\nSuccessfully added firewall rule !\n");

  const std::string appId = std::string("AppID\\") + kAppId;
  const std::string cls = std::string("CLSID\\") + kServiceClsid;
  EXPECT_EQ(value(appId, ""), "VEXAServiceModule");
  EXPECT_EQ(value(appId, "LocalService"), kServiceName);
  EXPECT_EQ(value("AppID\\vexahv-opcserver", "AppID"), kAppId);
  EXPECT_EQ(value("VEXAHVOPCService.VEXAHVOPCService.1", ""), "VEXAHVOPCService Object");
  EXPECT_EQ(value("VEXAHVOPCService.VEXAHVOPCService.1\\CLSID", ""), kServiceClsid);
  EXPECT_EQ(value("VEXAHVOPCService.VEXAHVOPCService\\CLSID", ""), kServiceClsid);
  EXPECT_EQ(value("VEXAHVOPCService.VEXAHVOPCService\\CurVer", ""), "VEXAHVOPCService.VEXAHVOPCService.1");
  EXPECT_EQ(value(cls, ""), "VEXAHVOPCService Object");
  EXPECT_EQ(value(cls, "AppID"), kAppId);
  EXPECT_EQ(value(cls + "\\ProgID", ""), "VEXAHVOPCService.VEXAHVOPCService.1");
  EXPECT_EQ(value(cls + "\\VersionIndependentProgID", ""), "VEXAHVOPCService.VEXAHVOPCService");
  EXPECT_TRUE(key(cls + "\\Programmable"));
  EXPECT_EQ(value(cls + "\\LocalServer32", ""), "\"/opt/vexahv/bin/vexahv-opcserver\"");
  EXPECT_EQ(value(cls + "\\LocalServer32", "ThreadingModel"), "apartment");
  EXPECT_EQ(value(cls + "\\TypeLib", ""), kServiceLibId);
  EXPECT_EQ(value(std::string("TypeLib\\") + kServiceLibId + "\\1.0", ""), "VEXAHVOPCServerModule 5.0 Type Library");
  EXPECT_EQ(module_.IsRegisteredAsService(), 0);
  platform::ServiceStatus status;
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);
  EXPECT_EQ(status.state, ServiceState::Stopped);
  struct stat st {};
  ASSERT_EQ(::stat(RecordServiceManager(env_.root()).recordFile(kServiceName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(rules(), 2u);
  // The configuration interface's counterpart of the class keys.
  const BusFiles bus = busFilesForProcess();
  EXPECT_EQ(bus.policy.parent_path(), env_.root() / "dbus" / "system.d");
  EXPECT_EQ(test::readFile(bus.policy), busPolicyText());
  const std::string activation = test::readFile(bus.activation);
  EXPECT_NE(activation.find("Name=VEXAHVOPCService.VEXAHVOPCService\n"), std::string::npos);
  EXPECT_NE(activation.find("Exec=/opt/vexahv/bin/vexahv-opcserver\n"), std::string::npos);
  EXPECT_NE(activation.find("SystemdService=vexahv-opcserver.service\n"), std::string::npos);
  // Without "LocalService" the process runs as a local server, the service installed or not.
  EXPECT_EQ(registerAppIdKeys(definition().executable, kServiceName, false), 0);
  EXPECT_EQ(module_.IsRegisteredAsService(), 2);
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);

  // Twice: the service is installed again, and the firewall holds the pair twice.
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/RegServer"), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(rules(), 4u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/UnregServer"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Successfully removed firewall rule !\nSuccessfully removed firewall rule !\n");
  EXPECT_EQ(rules(), 2u);
  for (const std::string& k : {appId, std::string("AppID\\vexahv-opcserver"), cls,
                               std::string("VEXAHVOPCService.VEXAHVOPCService"),
                               std::string("VEXAHVOPCService.VEXAHVOPCService.1"),
                               std::string("TypeLib\\") + kServiceLibId}) {
    EXPECT_FALSE(key(k)) << k;
  }
  EXPECT_TRUE(key("AppID"));
  EXPECT_TRUE(key("CLSID"));
  EXPECT_FALSE(std::filesystem::exists(busFilesForProcess().policy));
  EXPECT_FALSE(std::filesystem::exists(busFilesForProcess().activation));
  EXPECT_EQ(module_.IsRegisteredAsService(), 2);
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kDoesNotExist);

  // Unregistering with no rule left to remove still ends normally.
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/UnregServer"), 0);
  testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/UnregServer"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to remove firewall rule from the firewall rules collection : 0x80070002\n"
            "Failed to remove firewall rule from the firewall rules collection : 0x80070002\n");
  EXPECT_EQ(rules(), 0u);
}

TEST_F(ServiceShellTest, AFirewallThatRefusesLeavesTheRegistrationWhole) {
  testing::internal::CaptureStdout();
  parse("/Service");
  parse("/UnregServer");
  testing::internal::GetCapturedStdout();
  // No rights to change the rules: as the root user here, a file nobody may write.
  ASSERT_EQ(::chmod(RecordFirewall(env_.root()).rulesFile().c_str(), 0400), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse("/Service"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to add firewall rule to the firewall rules collection : 0x80070005\n"
            "Failed to add firewall rule to the firewall rules collection : 0x80070005\n");
  EXPECT_EQ(module_.IsRegisteredAsService(), 0);
}

TEST_F(ServiceShellTest, RecordsAnotherUserCouldHaveWrittenAreRefused) {
  testing::internal::CaptureStdout();
  parse("/Service");
  testing::internal::GetCapturedStdout();
  const auto file = RecordServiceManager(env_.root()).recordFile(kServiceName);
  ASSERT_EQ(::chmod(file.c_str(), 0620), 0);
  platform::ServiceStatus status;
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kAccessDenied);
  EXPECT_EQ(module_.services().requestStop(kServiceName), err::kAccessDenied);
  // Neither trusted nor replaced: a registration that cannot judge the service fails.
  EXPECT_FALSE(module_.Uninstall());
  EXPECT_EQ(::chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);
  const std::string damaged = "name=" + std::string(kServiceName) + "\nstate=flying\n";
  test::writeFile(file, damaged);
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kIoError);
  EXPECT_EQ(test::readFile(file), damaged);
}

TEST_F(ServiceShellTest, StopsAreBoundedAndAServiceThatWillNotStopIsKept) {
  testing::internal::CaptureStdout();
  parse("/Service");
  testing::internal::GetCapturedStdout();
  // Not running: the first look shows it stopped.
  EXPECT_EQ(module_.stopServiceAndWait(kServiceName), err::kSuccess);
  EXPECT_EQ(module_.stopServiceAndWait("NoSuchService"), err::kDoesNotExist);

  {
    ServiceProcess stubborn(true);
    recordRunning(stubborn.pid());
    module_.setStopWait(std::chrono::milliseconds(400));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(module_.stopServiceAndWait(kServiceName), err::kRequestTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse("/UnregServer"), OpcToolbox::E_FAIL);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not stop service"), std::string::npos);
    platform::ServiceStatus status;
    EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);  // kept
    EXPECT_EQ(status.pid, stubborn.pid());
  }
  {
    ServiceProcess willing(false);
    recordRunning(willing.pid());
    module_.setStopWait(std::chrono::seconds(10));
    // A restart of a running service flags the record and sends the stop control.
    EXPECT_EQ(module_.services().requestRestart(kServiceName), err::kSuccess);
    platform::ServiceRecord r;
    ASSERT_TRUE(platform::parseServiceRecord(
        test::readFile(RecordServiceManager(env_.root()).recordFile(kServiceName)), r));
    EXPECT_TRUE(r.restart);
    for (int i = 0; i < 400 && !willing.ended(); ++i) ::usleep(5000);
    EXPECT_TRUE(willing.ended());
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse("/UnregServer"), 0);
    testing::internal::GetCapturedStdout();
  }
  // Nothing installed: the restart is refused and the setting waits for the next start.
  EXPECT_EQ(module_.restartService(), -1);
}

TEST_F(ServiceShellTest, ARunAttachesOnceAndOnlySigtermStopsAService) {
  EXPECT_TRUE(module_.stopControl(SIGINT));  // a local server stops on any of them
  EXPECT_EQ(module_.startServiceRun({}), err::kNoServiceManager);  // not installed
  testing::internal::CaptureStdout();
  parse("/Service");
  testing::internal::GetCapturedStdout();
  {
    ServiceProcess other(false);
    recordRunning(other.pid());
    EXPECT_EQ(module_.startServiceRun({}), err::kAlreadyRunning);
  }
  module_.reportReady();
  EXPECT_EQ(module_.startServiceRun([] { return std::string("Serving 0 systems"); }), err::kSuccess);
  platform::ServiceStatus status;
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);
  EXPECT_EQ(status.state, ServiceState::Running);
  EXPECT_EQ(status.pid, ::getpid());
  EXPECT_FALSE(module_.stopControl(SIGINT));
  EXPECT_FALSE(module_.stopControl(SIGHUP));
  EXPECT_TRUE(module_.stopControl(SIGTERM));
  module_.beginStop();
  EXPECT_EQ(module_.restartService(), -1);  // the stop has begun
  EXPECT_FALSE(module_.endServiceRun());
  EXPECT_EQ(module_.services().query(kServiceName, status), err::kSuccess);
  EXPECT_EQ(status.state, ServiceState::Stopped);
}

}  // namespace
}  // namespace vexahv
