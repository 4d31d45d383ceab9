// The machine-facing back-ends without touching the machine: bounded helper processes,
// the systemd back-end against a stand-in systemctl (its unit files checked by
// systemd-analyze verify where the host has it), firewalld against a stand-in
// firewall-cmd, and the service record's format.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "platform/child_process.h"
#include "platform/firewall.h"
#include "platform/process_identity.h"
#include "platform/service_record.h"
#include "platform/systemd_service.h"
#include "support/test_environment.h"

namespace vexahv::platform {
namespace {

namespace err = service_error;
namespace fr = firewall_result;

// A shell script standing in for a helper: it logs its arguments to <dir>/calls and then
// runs body.
std::filesystem::path fakeHelper(const std::filesystem::path& dir, const std::string& name, const std::string& body) {
  const auto file = dir / name;
  test::writeFile(file, "#!/bin/sh\necho \"$*\" >> '" + (dir / "calls").string() + "'\n" + body);
  ::chmod(file.c_str(), 0755);
  return file;
}

TEST(ChildProcessTest, CapturesOutputAndStatusAndKillsWhatOverstays) {
  CommandResult r = runCommand({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, std::chrono::seconds(10));
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.output, "out\nerr\n");

  const auto start = std::chrono::steady_clock::now();
  r = runCommand({"/bin/sh", "-c", "exec sleep 20"}, std::chrono::milliseconds(200));
  EXPECT_EQ(r.error, std::errc::timed_out);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // A helper that hands its output to a lingering child is bounded too.
  r = runCommand({"/bin/sh", "-c", "sleep 20 & exit 0"}, std::chrono::milliseconds(300));
  EXPECT_EQ(r.error, std::errc::timed_out);

  r = runCommand({"/no/such/helper"}, std::chrono::seconds(1));
  EXPECT_TRUE(r.error);
  EXPECT_FALSE(r.succeeded());

  r = runCommand({"/bin/sh", "-c", "head -c 100000 /dev/zero"}, std::chrono::seconds(10), 1000);
  EXPECT_TRUE(r.succeeded());
  EXPECT_EQ(r.output.size(), 1000u);
}

TEST(ServiceRecordTest, FormatRoundTripsAndDamageIsRefused) {
  ServiceRecord r;
  r.definition.name = "Svc";
  r.definition.displayName = "Svc display";
  r.definition.executable = "/opt/x y/bin";
  r.state = ServiceState::StopPending;
  r.pid = 42;
  r.started = 1234;
  r.restart = true;
  r.status = "two\nlines";  // would forge a key if written as it is
  ServiceRecord back;
  ASSERT_TRUE(parseServiceRecord(formatServiceRecord(r), back));
  EXPECT_EQ(back.definition.executable, r.definition.executable);
  EXPECT_EQ(back.state, ServiceState::StopPending);
  EXPECT_EQ(back.pid, 42);
  EXPECT_EQ(back.started, 1234u);
  EXPECT_TRUE(back.restart);
  EXPECT_EQ(back.status, "two lines");
  for (const char* bad : {"", "state=running\n", "name=x\nstate=up\n", "name=x\npid=-3\n", "name=x\nnoise\n",
                          "name=x\nrestart=yes\n", "name=x\nowner=me\n"}) {
    EXPECT_FALSE(parseServiceRecord(bad, back)) << bad;
  }
  EXPECT_EQ(processStartTime(-1), 0u);
  EXPECT_NE(processStartTime(::getpid()), 0u);
}

class SystemdBackEndTest : public ::testing::Test {
 protected:
  SystemdBackEndTest() {
    std::filesystem::create_directories(units_);
    // systemctl's answer to "show" is whatever <dir>/show holds.
    systemctl_ = fakeHelper(env_.root(), "systemctl",
                            "case \"$1\" in show) cat '" + (env_.root() / "show").string() + "';; esac\nexit 0\n");
    show("LoadState=not-found\nActiveState=inactive\nMainPID=0\n");
  }
  void show(const std::string& text) { test::writeFile(env_.root() / "show", text); }
  std::string calls() {
    std::error_code ec;
    const std::string c = std::filesystem::exists(env_.root() / "calls", ec) ? test::readFile(env_.root() / "calls") : "";
    std::filesystem::remove(env_.root() / "calls", ec);
    return c;
  }
  ServiceDefinition definition() const {
    ServiceDefinition d;
    d.name = "Svc";
    d.displayName = "Svc";
    d.executable = "/bin/true";
    d.workingDirectory = d.platformRoot = "/var/lib/vexahv";
    d.listenHost = "127.0.0.1";
    d.listenPort = 4855;
    return d;
  }

  test::ScratchEnvironment env_;
  std::filesystem::path units_ = env_.root() / "units";
  std::filesystem::path systemctl_;
};

TEST_F(SystemdBackEndTest, InstallsVerifiableUnitsAndControlsThemThroughSystemctl) {
  SystemdServiceManager manager("Svc", "vexahv-opcserver", units_, systemctl_.string());
  ServiceStatus status;
  EXPECT_EQ(manager.query("Svc", status), err::kDoesNotExist);
  calls();
  EXPECT_EQ(manager.install(definition()), err::kSuccess);
  EXPECT_EQ(calls(), "daemon-reload\nstart vexahv-opcserver.socket\n");
  const std::string unit = test::readFile(manager.serviceUnitFile());
  for (const char* line : {"Type=notify\n", "Description=Svc\n", "ExecStart=/bin/true\n", "NoNewPrivileges=yes\n",
                           "ProtectSystem=strict\n", "ProtectHome=yes\n", "PrivateTmp=yes\n", "StateDirectory=vexahv\n",
                           "LogsDirectory=vexahv\n", "Requires=vexahv-opcserver.socket\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("VEXAHV_ROOT"), std::string::npos);  // the default state directory
  EXPECT_NE(test::readFile(manager.socketUnitFile()).find("ListenStream=127.0.0.1:4855\n"), std::string::npos);
  // Installed already: nothing is rewritten or reloaded.
  EXPECT_EQ(manager.install(definition()), err::kSuccess);
  EXPECT_EQ(calls(), "");

  if (std::filesystem::exists("/usr/bin/systemd-analyze")) {
    const CommandResult verify = runCommand(
        {"/usr/bin/systemd-analyze", "verify", manager.serviceUnitFile().string(), manager.socketUnitFile().string()},
        std::chrono::seconds(60));
    EXPECT_TRUE(verify.succeeded()) << verify.output;
    EXPECT_EQ(verify.output, "");  // not even a warning
  }

  // With a system user of its own: that user, the state directory named, and all the
  // hardening an unprivileged service allows, still a unit systemd loads.
  SystemdServiceManager unprivileged("Svc", "vexahv-own", env_.root() / "own-units", systemctl_.string());
  ServiceDefinition own = definition();
  own.user = "vexahv";
  std::filesystem::create_directories(env_.root() / "own-units");
  ASSERT_EQ(unprivileged.install(own), err::kSuccess);
  calls();
  const std::string ownUnit = test::readFile(unprivileged.serviceUnitFile());
  for (const char* line : {"User=vexahv\n", "Group=vexahv\n", "Environment=\"VEXAHV_ROOT=/var/lib/vexahv\"\n",
                           "CapabilityBoundingSet=\n", "ProtectProc=invisible\n", "SystemCallFilter=@system-service\n",
                           "MemoryDenyWriteExecute=yes\n", "UMask=0077\n", "ProtectSystem=strict\n"}) {
    EXPECT_NE(ownUnit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("User="), std::string::npos) << "root's unit as before";
  if (std::filesystem::exists("/usr/bin/systemd-analyze")) {
    const CommandResult verify = runCommand({"/usr/bin/systemd-analyze", "verify", unprivileged.serviceUnitFile().string(),
                                             unprivileged.socketUnitFile().string()},
                                            std::chrono::seconds(60));
    EXPECT_TRUE(verify.succeeded()) << verify.output;
    EXPECT_EQ(verify.output, "");
  }

  show("LoadState=loaded\nActiveState=inactive\nMainPID=0\n");
  EXPECT_EQ(manager.query("Svc", status), err::kSuccess);
  EXPECT_EQ(status.state, ServiceState::Stopped);
  EXPECT_EQ(manager.requestRestart("Svc"), err::kNotActive);
  EXPECT_EQ(manager.requestStop("Svc"), err::kNotActive);
  calls();
  show("LoadState=loaded\nActiveState=active\nMainPID=4242\n");
  EXPECT_EQ(manager.query("Svc", status), err::kSuccess);
  EXPECT_EQ(status.state, ServiceState::Running);
  EXPECT_EQ(status.pid, 4242);
  calls();
  EXPECT_EQ(manager.requestRestart("Svc"), err::kSuccess);
  EXPECT_EQ(manager.requestStop("Svc"), err::kSuccess);
  const std::string asked = calls();
  EXPECT_NE(asked.find("restart --no-block vexahv-opcserver.service\n"), std::string::npos) << asked;
  EXPECT_NE(asked.find("stop --no-block vexahv-opcserver.service\n"), std::string::npos) << asked;
  EXPECT_EQ(manager.query("Other", status), err::kDoesNotExist);

  // Not started by systemd: no notification socket, so no service run.
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(manager.attach("Svc"), err::kNoServiceManager);

  EXPECT_EQ(manager.remove("Svc"), err::kSuccess);
  EXPECT_EQ(calls(), "stop vexahv-opcserver.socket\ndaemon-reload\n");
  EXPECT_FALSE(std::filesystem::exists(manager.serviceUnitFile()));
  EXPECT_FALSE(std::filesystem::exists(manager.socketUnitFile()));
  EXPECT_EQ(manager.remove("Svc"), err::kDoesNotExist);
}

TEST_F(SystemdBackEndTest, ARefusedReloadLeavesNoUnitBehindAndAPrivateRootIsPassedOn) {
  const auto refusing = fakeHelper(env_.root(), "systemctl-refusing", "echo 'Access denied' >&2\nexit 1\n");
  SystemdServiceManager manager("Svc", "vexahv-opcserver", units_, refusing.string());
  EXPECT_EQ(manager.install(definition()), err::kAccessDenied);
  EXPECT_FALSE(std::filesystem::exists(manager.serviceUnitFile()));
  EXPECT_FALSE(std::filesystem::exists(manager.socketUnitFile()));

  SystemdServiceManager accepting("Svc", "vexahv-opcserver", units_, systemctl_.string());
  ServiceDefinition d = definition();
  d.workingDirectory = d.platformRoot = "/home/op/hv state";
  EXPECT_EQ(accepting.install(d), err::kSuccess);
  const std::string unit = test::readFile(accepting.serviceUnitFile());
  EXPECT_NE(unit.find("Environment=\"VEXAHV_ROOT=/home/op/hv state\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ReadWritePaths=\"/home/op/hv state\"\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find("ProtectHome=yes"), std::string::npos);  // the root must stay reachable
}

TEST(FirewalldBackEndTest, OneServiceDefinitionCarriesThePairAndRefusalsAreAccessDenied) {
  test::ScratchEnvironment env;
  const auto state = env.root() / "enabled";
  const auto cmd = fakeHelper(env.root(), "firewall-cmd",
                              "case \"$*\" in\n"
                              "*--add-service*) if [ -e '" + state.string() + "' ]; then echo 'Warning: ALREADY_ENABLED: x'; "
                              "else touch '" + state.string() + "'; echo success; fi;;\n"
                              "*--remove-service*) if [ -e '" + state.string() + "' ]; then rm '" + state.string() +
                              "'; echo success; else echo 'Warning: NOT_ENABLED: x'; fi;;\n"
                              "*) echo success;;\nesac\n");
  const auto services = env.root() / "services";
  std::filesystem::create_directories(services);
  FirewallPorts ports;
  ports.opcUa = 4841;
  Firewalld firewall(cmd.string(), services, ports);
  FirewallRule rule;
  rule.name = "Rule";
  rule.description = "Rule";
  EXPECT_EQ(firewall.add(rule), fr::kOk);
  rule.protocol = 17;
  EXPECT_EQ(firewall.add(rule), fr::kOk);
  const std::string xml = test::readFile(services / "vexahv-opcserver.xml");
  EXPECT_NE(xml.find("<port protocol=\"tcp\" port=\"4841\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<port protocol=\"tcp\" port=\"4527-4546\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<port protocol=\"udp\" port=\"1527-1546\"/>"), std::string::npos) << xml;
  const std::string calls = test::readFile(env.root() / "calls");
  EXPECT_NE(calls.find("--permanent --add-service=vexahv-opcserver"), std::string::npos) << calls;

  EXPECT_EQ(firewall.removeByName("Rule"), fr::kOk);
  EXPECT_TRUE(std::filesystem::exists(services / "vexahv-opcserver.xml"));
  EXPECT_EQ(firewall.removeByName("Rule"), fr::kOk);
  EXPECT_FALSE(std::filesystem::exists(services / "vexahv-opcserver.xml"));
  EXPECT_EQ(firewall.removeByName("Rule"), fr::kNotFound);

  const auto refusing = fakeHelper(env.root(), "firewall-cmd-refusing", "echo 'Authorization failed.'\nexit 11\n");
  Firewalld denied(refusing.string(), services, ports);
  EXPECT_EQ(denied.add(rule), fr::kAccessDenied);
}

}  // namespace
}  // namespace vexahv::platform
