// vexahv-opcserver: the OPC server for HV power-supply mainframes. Runs until SIGTERM or
// SIGINT, then stops in order and exits 0; exits 1 at once, with one line on stderr and in
// the log, when it cannot serve at all. --add-user, --remove-user and --list-users manage
// the OPC UA users and exit.

#include <cstdio>

#include "core/server_process.h"
#include "core/user_admin.h"
#include "platform/heap_tuning.h"
#include "platform/stop_signal.h"

int main(int argc, char** argv) {
  // The user switches act on the users file and exit; nothing is served.
  if (const auto done = vexahv::runUserAdministration(argc, argv)) return *done;
  vexahv::platform::tuneHeapForServer();
  // Opened before any thread starts, so every thread inherits the blocked stop signals.
  vexahv::platform::StopSignal stopSignal;
  if (const std::error_code ec = stopSignal.open()) {
    std::fprintf(stderr, "vexahv-opcserver: cannot take SIGTERM and SIGINT: %s\n", ec.message().c_str());
    return 1;
  }
  vexahv::VEXAHVServerProcess process([&stopSignal] { stopSignal.wake(); });
  process.startUp(vexahv::joinCommandLine(argc, argv));
  if (process.serving()) stopSignal.wait();
  process.stop();
  return process.exitCode();
}
