#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

extern char** environ;

namespace vexahv::platform {
namespace {

// Reaps the child; kills it first when asked. Never leaves a zombie behind.
int reap(pid_t pid, bool kill) {
  if (kill) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         std::size_t maxOutput) {
  CommandResult result;
  if (argv.empty()) {
    result.error = std::make_error_code(std::errc::invalid_argument);
    return result;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.error = {errno, std::system_category()};
    return result;
  }
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  writeEnd.reset();
  if (rc != 0) {
    result.error = {rc, std::system_category()};
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.error = std::make_error_code(std::errc::timed_out);
      reap(pid, true);
      return result;
    }
    pollfd fd{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline check above ends it
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // every writer has closed: the helper is ending
    const std::size_t room = maxOutput - std::min(maxOutput, result.output.size());
    result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  // The output is closed; the exit follows at once unless the helper left a child holding
  // the pipe open and went on. Bounded all the same.
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
    if (done < 0 && errno != EINTR) {
      result.error = {errno, std::system_category()};
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      result.error = std::make_error_code(std::errc::timed_out);
      reap(pid, true);
      return result;
    }
    ::usleep(5000);
  }
}

}  // namespace vexahv::platform
