// vexahv-opcserver: the OPC server for HV power-supply mainframes. Runs until SIGTERM or
// SIGINT, then stops in order and exits 0.

#include <csignal>
#include <cstdio>

#include "core/server_process.h"
#include "platform/heap_tuning.h"

int main(int argc, char** argv) {
  vexahv::platform::tuneHeapForServer();
  // Blocked before any thread starts, so every thread inherits the mask and the signal
  // reaches the sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  vexahv::VEXAHVServerProcess process;
  process.startUp(vexahv::joinCommandLine(argc, argv));
  if (process.serving()) {
    int signal = 0;
    sigwait(&stopSignals, &signal);
  }
  process.stop();
  return 0;
}
