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
#include <vector>

#include "events/event_mechanism.h"
#include "http/http_endpoint.h"
#include "opctoolbox/ua/discovery/ua_discovery_registration.h"
#include "opctoolbox/ua/endpoint/ua_endpoint.h"
#include "platform/service_manager.h"
#include "platform/unique_fd.h"
#include "platform/worker_thread.h"

namespace vexahv {
namespace history {
class HistoryService;
}

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

  // Called once the address space is built and clients are served (on the start-up thread).
  void setOnReady(std::function<void()> onReady) { onReady_ = std::move(onReady); }
  // The start-up routine: 1 when the toolbox could not be initialised, else 0.
  int startUp(const std::string& commandLine);
  // After startUp: false when the toolbox's own registration failed in a registration run.
  bool registrationSucceeded() const noexcept { return registrationOk_; }
  // What a person sees of the run in the service manager's status line.
  std::string statusLine() const;
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
  void startDiscoveryRegistration();
  // The metrics endpoint, when the platform root's http.conf enables it; a bad file is
  // logged and the server serves on without it.
  void startHttpEndpoint();
  void openHistory();
  // The one line a person and a service manager see: on stderr and in the log.
  void fail(const std::string& reason);

  std::function<void()> onFatal_;
  std::function<void()> onReady_;
  std::atomic<int> exitCode_{0};
  std::atomic<bool> ready_{false};
  bool serving_ = false;
  bool registrationOk_ = true;
  // Listening sockets passed by the service manager (socket activation), taken at start-up.
  std::vector<platform::UniqueFd> passedListeners_;
  OpcToolbox::ua::EndpointOptions endpointOptions_;
  std::unique_ptr<OpcToolbox::ua::UaEndpoint> endpoint_;
  std::unique_ptr<http::HttpEndpoint> http_;  // written by the start-up thread, used after it ends
  std::unique_ptr<OpcToolbox::ua::DiscoveryRegistration> discovery_;  // the same
  std::unique_ptr<events::EventMechanism> events_;
  std::unique_ptr<platform::WorkerThread> startup_;
  // Opened before anything is built; closed after the address space is gone.
  std::unique_ptr<history::HistoryService> history_;
};

// The command line re-joined into one string, as the parsers take it (from argument
// `first` on: 0 with the program, as the toolbox reads it; 1 without, as the service
// shell's switch scanner reads it).
std::string joinCommandLine(int argc, char** argv, int first = 0);

// The service as the service shell installs it: this executable, the platform root as its
// working directory, and the OPC UA address of the endpoint settings (for the socket unit).
platform::ServiceDefinition serviceDefinition();

}  // namespace vexahv
