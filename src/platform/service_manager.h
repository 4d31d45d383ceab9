#pragma once
// The machine's service manager, as the service shell needs it: install and remove a
// service, ask its state, ask it to stop or restart (never waiting here), and, for the
// process that runs as the service, report start, readiness, status and stop.
//
// Two back-ends, chosen at run time (forProcess): systemd, and a record file per service
// under <platform root>/services/ for tests and hosts without systemd.
//
// Results are the service manager's error numbers as the service shell reports them
// (0 = success).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace vexahv::platform {

namespace service_error {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kRequestTimeout = 1053;  // did not answer or stop in time
inline constexpr std::uint32_t kAlreadyRunning = 1056;
inline constexpr std::uint32_t kDoesNotExist = 1060;
inline constexpr std::uint32_t kNotActive = 1062;
inline constexpr std::uint32_t kNoServiceManager = 1063;  // this process was not started as the service
inline constexpr std::uint32_t kIoError = 1117;         // the record or unit could not be read or written
}  // namespace service_error

const char* serviceErrorText(std::uint32_t error) noexcept;

enum class ServiceState { Stopped, StartPending, Running, StopPending };
const char* serviceStateName(ServiceState s) noexcept;

struct ServiceStatus {
  ServiceState state = ServiceState::Stopped;
  pid_t pid = 0;  // the service's main process while it is not stopped
};

// What an installed service is.
struct ServiceDefinition {
  std::string name;          // the service name the shell uses
  std::string displayName;   // shown by the service manager
  std::filesystem::path executable;
  std::filesystem::path workingDirectory;  // where its configuration file is
  std::filesystem::path platformRoot;      // its state (registry, records, certificates)
  // The OPC UA port and address, for the socket unit that starts the service on demand.
  std::string listenHost = "0.0.0.0";
  std::uint16_t listenPort = 4840;
  // The system user the service runs as; empty: root, as a source build without that
  // user has it.
  std::string user;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual const char* backEndName() const noexcept = 0;

  // Installs the service: success at once when it exists.
  virtual std::uint32_t install(const ServiceDefinition& definition) = 0;
  // Removes an installed service (the caller has stopped it): kDoesNotExist when none.
  virtual std::uint32_t remove(std::string_view name) = 0;
  // kDoesNotExist when the service is not installed.
  virtual std::uint32_t query(std::string_view name, ServiceStatus& out) = 0;
  // The stop control, without waiting for the stop: kNotActive when it is not running.
  virtual std::uint32_t requestStop(std::string_view name) = 0;
  // A stop followed by a start, carried out without the caller waiting for either.
  virtual std::uint32_t requestRestart(std::string_view name) = 0;

  // This process runs as the service `name`: kNoServiceManager when it was not started
  // as one, kAlreadyRunning when another process runs it.
  virtual std::uint32_t attach(std::string_view name) = 0;
  virtual void reportRunning(std::string_view status) = 0;
  virtual void reportStatus(std::string_view status) = 0;
  virtual void reportStopping() = 0;
  // The run has ended: true when a restart of this run was asked for, which the caller
  // then carries out itself (executing the same command line again).
  virtual bool detach() = 0;
  // How often the service must say it is alive (zero: never).
  virtual std::chrono::microseconds watchdogInterval() const { return {}; }
  virtual void watchdogPing() {}

  // The back-end for this process: VEXAHV_SERVICE_MANAGER ("systemd" or "record") when
  // set; else the record under the platform root when VEXAHV_ROOT is set (tests, private
  // installations); else systemd when the machine runs it; else the record.
  // unitName is the systemd unit's base name for the service `serviceName`.
  static std::unique_ptr<ServiceManager> forProcess(std::string serviceName, std::string unitName);
};

}  // namespace vexahv::platform
