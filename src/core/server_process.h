#pragma once
// One run of the server process: the start-up routine (settings, logging, server object,
// toolbox initialisation, command line), the start-up thread (toolbox start, OPC UA
// endpoint, address-space build, ready) and the stop sequence. The caller decides how
// long the run lasts between start-up and stop (until SIGTERM or SIGINT).

#include <memory>
#include <string>

#include "platform/worker_thread.h"

namespace OpcToolbox::ua {
class UaEndpoint;
}

namespace vexahv {

class VEXAHVServerProcess {
 public:
  VEXAHVServerProcess();
  ~VEXAHVServerProcess();
  VEXAHVServerProcess(const VEXAHVServerProcess&) = delete;
  VEXAHVServerProcess& operator=(const VEXAHVServerProcess&) = delete;

  // The start-up routine: 1 when the toolbox could not be initialised, else 0.
  int startUp(const std::string& commandLine);
  // After startUp: true for a normal run (not a registration run, not failed).
  bool serving() const noexcept { return serving_; }
  // Stop sequence: waits for the start-up thread, stops the endpoint and the toolbox,
  // deletes the server object. Safe to call more than once.
  void stop();

 private:
  void startupThread();

  bool serving_ = false;
  std::unique_ptr<OpcToolbox::ua::UaEndpoint> endpoint_;
  std::unique_ptr<platform::WorkerThread> startup_;
};

// The command line re-joined into one string, as the parsers take it.
std::string joinCommandLine(int argc, char** argv);

}  // namespace vexahv
