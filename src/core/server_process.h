#pragma once
// One run of the server process: the start-up routine (settings, logging, server object,
// toolbox initialisation, command line), the start-up thread (toolbox start, OPC UA
// endpoint, address-space build, ready) and the stop sequence. The caller decides how
// long the run lasts between start-up and stop (until SIGTERM or SIGINT).

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "events/event_mechanism.h"
#include "opctoolbox/ua/ua_endpoint.h"
#include "platform/worker_thread.h"

namespace vexahv {

// The OPC UA endpoint's limits, under the platform root (every default holds without it).
inline constexpr const char* kEndpointSettingsFile = "opcua.conf";

class VEXAHVServerProcess {
 public:
  // onFatal is called (from any thread) when the run cannot serve at all, so that the
  // caller stops waiting for a stop signal.
  explicit VEXAHVServerProcess(std::function<void()> onFatal = {});
  ~VEXAHVServerProcess();
  VEXAHVServerProcess(const VEXAHVServerProcess&) = delete;
  VEXAHVServerProcess& operator=(const VEXAHVServerProcess&) = delete;

  // The start-up routine: 1 when the toolbox could not be initialised, else 0.
  int startUp(const std::string& commandLine);
  // After startUp: true for a normal run (not a registration run, not failed).
  bool serving() const noexcept { return serving_; }
  // Stop sequence: stops the start-up thread (an address-space build ends at its next
  // library call), stops the endpoint and the toolbox, deletes the server object. Safe to
  // call more than once.
  void stop();
  // The process's exit code: 1 once the run could not serve (endpoint, toolbox, bad
  // endpoint settings), else 0.
  int exitCode() const noexcept { return exitCode_.load(); }

 private:
  void startupThread(std::stop_token stop);
  // The one line a person and a service manager see: on stderr and in the log.
  void fail(const std::string& reason);

  std::function<void()> onFatal_;
  std::atomic<int> exitCode_{0};
  bool serving_ = false;
  OpcToolbox::ua::EndpointOptions endpointOptions_;
  std::unique_ptr<OpcToolbox::ua::UaEndpoint> endpoint_;
  std::unique_ptr<events::EventMechanism> events_;
  std::unique_ptr<platform::WorkerThread> startup_;
};

// The command line re-joined into one string, as the parsers take it.
std::string joinCommandLine(int argc, char** argv);

}  // namespace vexahv
