// vexahv-opcserver run as systemd runs it, without systemd: registered through the systemd
// back-end (a stand-in systemctl, units in the scratch root), then started with a
// notification socket, a watchdog and its OPC UA port passed the way systemd passes them
// (LISTEN_FDS, LISTEN_PID, descriptor 3). The server must report start, readiness,
// status, watchdog and stop, and serve on the passed socket without binding its own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/unique_fd.h"
#include "support/test_environment.h"

namespace vexahv {
namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

class SystemdRunTest : public ::testing::Test {
 protected:
  SystemdRunTest() {
    units_ = env_.root() / "units";
    std::filesystem::create_directories(units_);
    systemctl_ = env_.root() / "systemctl";
    test::writeFile(systemctl_, "#!/bin/sh\necho \"$*\" >> '" + (env_.root() / "calls").string() +
                                    "'\ncase \"$1\" in show) echo LoadState=not-found;; esac\nexit 0\n");
    ::chmod(systemctl_.c_str(), 0755);
    test::writeFile(env_.workDir() / "VEXAHVOPCServer.cfg", "LogLevel=7;");
    baseEnv_ = {"VEXAHV_ROOT=" + env_.root().string(), "VEXAHV_SERVICE_MANAGER=systemd",
                "VEXAHV_SYSTEMCTL=" + systemctl_.string(), "VEXAHV_SYSTEMD_UNIT_DIR=" + units_.string(),
                "VEXAHV_FIREWALL=record", "VEXAHV_SYSLOG=off", "PATH=/usr/bin:/bin"};
  }

  // Runs the server with extra environment and optionally the passed listener as fd 3
  // (LISTEN_PID set to the child's own pid, which only the child knows).
  pid_t spawn(const std::vector<std::string>& args, std::vector<std::string> extraEnv, int listener) {
    std::vector<std::string> envText = baseEnv_;
    envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv{const_cast<char*>(VEXAHV_SERVER_BIN)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    static char listenPid[32];
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    if (listener >= 0) {
      envp.push_back(const_cast<char*>("LISTEN_FDS=1"));
      envp.push_back(listenPid);
    }
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls until exec.
      if (listener >= 0) {
        char digits[16];
        int n = 0;
        for (pid_t p = ::getpid(); p > 0; p /= 10) digits[n++] = static_cast<char>('0' + p % 10);
        std::memcpy(listenPid, "LISTEN_PID=", 11);
        for (int i = 0; i < n; ++i) listenPid[11 + i] = digits[n - 1 - i];
        listenPid[11 + n] = '\0';
        if (listener != 3) {
          ::dup2(listener, 3);
          ::close(listener);
        } else {
          ::fcntl(3, F_SETFD, 0);
        }
      }
      ::chdir(env_.workDir().c_str());
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    return pid;
  }

  int waitExit(pid_t pid, std::chrono::seconds bound) {
    const auto end = Clock::now() + bound;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() > end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test::ScratchEnvironment env_;
  std::filesystem::path units_, systemctl_;
  std::vector<std::string> baseEnv_;
};

// Every notification until `until` appears in one, or the bound passes.
std::vector<std::string> notifications(int fd, const std::string& until, std::chrono::milliseconds bound) {
  std::vector<std::string> got;
  const auto end = Clock::now() + bound;
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) continue;
    got.emplace_back(buffer, static_cast<std::size_t>(n));
    if (got.back().find(until) != std::string::npos) break;
  }
  return got;
}

bool contains(const std::vector<std::string>& messages, const std::string& text) {
  for (const std::string& m : messages) {
    if (m.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST_F(SystemdRunTest, ReportsToSystemdAndServesOnThePassedSocket) {
  // Registration: the units are written and systemd is asked to read them.
  const pid_t reg = spawn({"/Service"}, {}, -1);
  ASSERT_EQ(waitExit(reg, std::chrono::seconds(30)), 0);
  ASSERT_TRUE(std::filesystem::exists(units_ / "vexahv-opcserver.service"));
  EXPECT_NE(test::readFile(env_.root() / "calls").find("daemon-reload"), std::string::npos);

  // The notification socket systemd would listen on.
  const std::string notifyPath = (env_.root() / "notify").string();
  UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  std::strncpy(un.sun_path, notifyPath.c_str(), sizeof un.sun_path - 1);
  ASSERT_EQ(::bind(notify.get(), reinterpret_cast<sockaddr*>(&un), sizeof un), 0);

  // The OPC UA port systemd's socket unit would hold.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  socklen_t len = sizeof sa;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len);

  const pid_t pid = spawn({}, {"NOTIFY_SOCKET=" + notifyPath, "WATCHDOG_USEC=400000", "VEXAHV_OPCUA_PORT=1"},
                          listener.get());
  listener.reset();  // the server holds it now, as it would hold systemd's

  const auto ready = notifications(notify.get(), "READY=1", std::chrono::seconds(20));
  ASSERT_TRUE(contains(ready, "READY=1")) << "no READY=1";
  EXPECT_TRUE(contains(ready, "STATUS=Serving 0 systems (0 connected), 0 clients"));
  const auto later = notifications(notify.get(), "WATCHDOG=1", std::chrono::seconds(5));
  EXPECT_TRUE(contains(later, "WATCHDOG=1"));

  // An OPC UA Hello on the passed socket is answered (VEXAHV_OPCUA_PORT=1 was not bound).
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  std::string hello = "HELF";
  auto u32 = [&hello](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) hello.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  u32(static_cast<std::uint32_t>(32 + url.size()));
  for (std::uint32_t v : {0u, 65536u, 65536u, 0u, 0u}) u32(v);
  u32(static_cast<std::uint32_t>(url.size()));
  hello += url;
  ASSERT_EQ(::send(client.get(), hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
  pollfd p{client.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  char answer[4] = {};
  ASSERT_EQ(::recv(client.get(), answer, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(answer, 4), "ACKF");
  client.reset();

  ::kill(pid, SIGTERM);
  const auto stopping = notifications(notify.get(), "STOPPING=1", std::chrono::seconds(20));
  EXPECT_TRUE(contains(stopping, "STOPPING=1"));
  EXPECT_EQ(waitExit(pid, std::chrono::seconds(30)), 0);
  const std::string log = test::readFile(env_.root() / "VEXA_Log" / "VEXAHVOPCServer.log");
  EXPECT_NE(log.find("Windows service [VEXAHVOPCServerModule] is starting"), std::string::npos);
  EXPECT_NE(log.find("OPC UA endpoint listening on [" + url + "]"), std::string::npos) << log;
}

TEST_F(SystemdRunTest, ARegisteredServiceStartedByHandIsRefusedWithTheReason) {
  const pid_t reg = spawn({"/Service"}, {}, -1);
  ASSERT_EQ(waitExit(reg, std::chrono::seconds(30)), 0);
  const platform::CommandResult run = platform::runCommand(
      {"/usr/bin/env", "-i", baseEnv_[0], baseEnv_[1], baseEnv_[2], baseEnv_[3], baseEnv_[4], baseEnv_[5],
       "VEXAHV_OPCUA_PORT=0", "VEXAHV_OPCUA_HOST=127.0.0.1", VEXAHV_SERVER_BIN},
      std::chrono::seconds(30));
  EXPECT_EQ(run.exitStatus, 1) << run.output;
  EXPECT_NE(run.output.find("systemctl start vexahv-opcserver"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace vexahv
