#pragma once
// The service shell: the registration switches of the command line, the AppID and class
// keys, the installation and removal of the service (through the machine's service
// manager), the run as a service or as a local server, and the two requests with which
// the server stops or restarts its own service.
//
// One module per process. Requests that may wait (stopping a service, asking for a
// restart) run on the module's control thread, never on the thread that asked: that may
// be the OPC UA network thread, or a thread the stop itself has to end. The control thread
// also keeps the service manager's status line current and answers its watchdog.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/firewall.h"
#include "platform/service_manager.h"
#include "platform/worker_thread.h"

namespace vexahv {

inline constexpr const char* kServiceName = "VEXAHVOPCServerModule";
inline constexpr const char* kServiceUnitName = "vexahv-opcserver";

class VEXAHVOPCServerModule {
 public:
  using FirewallFactory = std::function<std::unique_ptr<platform::Firewall>()>;
  // The status line of a service run ("Building the address space", "Serving ...").
  using StatusProvider = std::function<std::string()>;

  VEXAHVOPCServerModule(std::unique_ptr<platform::ServiceManager> services, FirewallFactory firewall,
                        platform::ServiceDefinition definition);
  ~VEXAHVOPCServerModule();
  VEXAHVOPCServerModule(const VEXAHVOPCServerModule&) = delete;
  VEXAHVOPCServerModule& operator=(const VEXAHVOPCServerModule&) = delete;

  // Handles "UnregServer", "RegServer" and "Service" (after '-' or '/', any letter case,
  // ending at a blank, a tab or the end): false when one was handled (result: its HRESULT),
  // true when the server is to run.
  bool ParseCommandLine(const std::string& commandLine, long& result);
  long RegisterAppId(bool asService);
  long UnregisterAppId();
  bool Install();
  bool Uninstall();
  // 0 when the AppID key has "LocalService": the server runs as a service.
  long IsRegisteredAsService() const;
  // To the system log (the journal under systemd), at most 255 characters.
  void LogEvent(std::string_view text) const;

  // A service run: tells the service manager that this process runs the service. Not 0:
  // no service manager started this process as the service (or another process runs it).
  std::uint32_t startServiceRun(StatusProvider status);
  bool serviceRun() const;
  // The address space is built and clients are served: READY for the service manager.
  void reportReady();
  // What a control signal asks: true to stop. In a service run only SIGTERM stops; any
  // other control is logged as a bad service request and ignored.
  bool stopControl(int signal) const;
  // The stop sequence begins: STOPPING for the service manager; later stop and restart
  // requests are not carried out.
  void beginStop();
  // After the stop sequence: "Service stopped". True when this run is to start again
  // (a restart asked of the stand-in back-end), which the caller carries out.
  bool endServiceRun();

  // Restarts the installed, running service: 0 when the restart is under way (carried out
  // shortly, so that the answer to the client that asked goes out first), -1 (logged)
  // when there is no such service or it does not run.
  int restartService();
  // Stops the service and waits for it to stop, bounded by stopWait(): 0 on success, else
  // the service manager's error. Never waits for this process's own stop.
  std::uint32_t stopServiceAndWait(const std::string& name);
  // stopServiceAndWait on the control thread; the outcome is logged.
  void stopServiceLater(const std::string& name);

  platform::ServiceManager& services() { return *services_; }
  void setStopWait(std::chrono::milliseconds bound) { stopWait_ = bound; }

 private:
  struct Task {
    std::chrono::steady_clock::time_point due;
    std::function<void()> run;
  };
  void post(std::chrono::milliseconds delay, std::function<void()> run);
  void controlLoop(std::stop_token stop);
  void refreshStatus();
  void message(const char* text, std::uint32_t error) const;

  std::unique_ptr<platform::ServiceManager> services_;
  FirewallFactory firewall_;
  platform::ServiceDefinition definition_;
  std::chrono::milliseconds stopWait_{30000};

  mutable std::mutex mutex_;
  std::condition_variable_any cv_;
  std::deque<Task> tasks_;  // ordered by due time
  std::uint64_t generation_ = 0;  // grows when the plan changes
  bool attached_ = false;
  bool ready_ = false;
  bool stopping_ = false;
  StatusProvider status_;
  std::string lastStatus_;
  std::chrono::steady_clock::time_point lastPing_{};
  platform::WorkerThread control_;
};

// The process's module while one exists (the most recent), else nullptr.
VEXAHVOPCServerModule* serviceModule() noexcept;
// For the request handlers: restartService and stopServiceLater of the process's module
// (-1, and nothing, without one).
int restartService();
void stopServiceLater(const std::string& name);

}  // namespace vexahv
