#include "platform/systemd_service.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/child_process.h"
#include "platform/diagnostics.h"
#include "platform/systemd_units.h"

namespace vexahv::platform {
namespace {

namespace err = service_error;

// systemctl answers within seconds; a stop it waits for is bounded by the unit's own
// TimeoutStopSec, and this bound stays above it.
constexpr std::chrono::seconds kSystemctlTimeout{90};

std::uint32_t classify(const CommandResult& r) {
  if (r.succeeded()) return err::kSuccess;
  if (r.error == std::errc::timed_out) return err::kRequestTimeout;
  const std::string& o = r.output;
  if (o.find("Access denied") != std::string::npos || o.find("authentication required") != std::string::npos ||
      r.exitStatus == 4) {
    return err::kAccessDenied;
  }
  if (o.find("not found") != std::string::npos || o.find("not loaded") != std::string::npos || r.exitStatus == 5) {
    return err::kDoesNotExist;
  }
  return err::kIoError;
}

std::string valueOf(const std::string& show, const std::string& key) {
  std::size_t at = 0;
  while (at < show.size()) {
    const std::size_t end = std::min(show.find('\n', at), show.size());
    const std::string_view line(show.data() + at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return std::string(line.substr(key.size() + 1));
    at = end + 1;
  }
  return {};
}

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::string serviceName, std::string unitName,
                                             std::filesystem::path unitDirectory, std::string systemctl)
    : serviceName_(std::move(serviceName)),
      unitName_(std::move(unitName)),
      unitDirectory_(std::move(unitDirectory)),
      systemctl_(std::move(systemctl)) {}

std::uint32_t SystemdServiceManager::systemctl(std::initializer_list<std::string> args, std::string* output) const {
  std::vector<std::string> argv{systemctl_};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandResult r = runCommand(argv, kSystemctlTimeout);
  if (output) *output = r.output;
  const std::uint32_t result = classify(r);
  if (result != err::kSuccess) {
    std::string line = "systemctl";
    for (const std::string& a : args) line += " " + a;
    reportDiagnostic(line + ": " + (r.error ? r.error.message() : "exit status " + std::to_string(r.exitStatus)) +
                     (r.output.empty() ? "" : ": " + r.output.substr(0, r.output.find('\n'))));
  }
  return result;
}

std::uint32_t SystemdServiceManager::install(const ServiceDefinition& d) {
  std::error_code ec;
  if (std::filesystem::exists(serviceUnitFile(), ec)) return err::kSuccess;
  for (const auto& [file, text] : {std::pair{serviceUnitFile(), serviceUnitText(d, unitName_)},
                                   std::pair{socketUnitFile(), socketUnitText(d, unitName_)}}) {
    if (const std::error_code w = replaceFileAtomically(file, text, 0644)) {
      reportDiagnostic("cannot write " + file.string() + ": " + w.message());
      std::filesystem::remove(serviceUnitFile(), ec);
      std::filesystem::remove(socketUnitFile(), ec);
      return w == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
    }
  }
  const std::uint32_t reloaded = systemctl({"daemon-reload"});
  if (reloaded != err::kSuccess) {
    // A unit systemd has not read is not installed: nothing is left half done.
    std::filesystem::remove(serviceUnitFile(), ec);
    std::filesystem::remove(socketUnitFile(), ec);
    return reloaded;
  }
  // The port is held from now on, so a client's first connection starts the service.
  systemctl({"start", unitName_ + ".socket"});
  return err::kSuccess;
}

std::uint32_t SystemdServiceManager::remove(std::string_view name) {
  std::error_code ec;
  if (!known(name) || !std::filesystem::exists(serviceUnitFile(), ec)) return err::kDoesNotExist;
  // Without its socket nothing starts the service again once its files are gone.
  systemctl({"stop", unitName_ + ".socket"});
  const bool removed = std::filesystem::remove(serviceUnitFile(), ec);
  if (!removed) {
    reportDiagnostic("cannot remove " + serviceUnitFile().string() + ": " + ec.message());
    return ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
  }
  std::filesystem::remove(socketUnitFile(), ec);
  systemctl({"daemon-reload"});
  return err::kSuccess;
}

std::uint32_t SystemdServiceManager::query(std::string_view name, ServiceStatus& out) {
  out = {};
  if (!known(name)) return err::kDoesNotExist;
  std::string show;
  const std::uint32_t r =
      systemctl({"show", "--property=LoadState,ActiveState,MainPID", unitName_ + ".service"}, &show);
  if (r != err::kSuccess) return r;
  const std::string load = valueOf(show, "LoadState");
  if (load.empty() || load == "not-found") return err::kDoesNotExist;
  const std::string active = valueOf(show, "ActiveState");
  if (active == "active" || active == "reloading") out.state = ServiceState::Running;
  else if (active == "activating") out.state = ServiceState::StartPending;
  else if (active == "deactivating") out.state = ServiceState::StopPending;
  if (out.state != ServiceState::Stopped) out.pid = std::atoi(valueOf(show, "MainPID").c_str());
  return err::kSuccess;
}

std::uint32_t SystemdServiceManager::requestStop(std::string_view name) {
  ServiceStatus status;
  if (const std::uint32_t r = query(name, status); r != err::kSuccess) return r;
  if (status.state == ServiceState::Stopped) return err::kNotActive;
  return systemctl({"stop", "--no-block", unitName_ + ".service"});
}

std::uint32_t SystemdServiceManager::requestRestart(std::string_view name) {
  ServiceStatus status;
  if (const std::uint32_t r = query(name, status); r != err::kSuccess) return r;
  if (status.state == ServiceState::Stopped) return err::kNotActive;
  return systemctl({"restart", "--no-block", unitName_ + ".service"});
}

std::uint32_t SystemdServiceManager::attach(std::string_view name) {
  // Type=notify: systemd passes the socket it listens on for this service's reports.
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (!known(name) || socket == nullptr || *socket == '\0') return err::kNoServiceManager;
  attached_ = true;
  return err::kSuccess;
}

void SystemdServiceManager::reportRunning(std::string_view status) {
  if (!attached_) return;
  const std::string message = "READY=1\nSTATUS=" + std::string(status);
  sd_notify(0, message.c_str());
}

void SystemdServiceManager::reportStatus(std::string_view status) {
  if (!attached_) return;
  const std::string message = "STATUS=" + std::string(status);
  sd_notify(0, message.c_str());
}

void SystemdServiceManager::reportStopping() {
  if (attached_) sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
}

std::chrono::microseconds SystemdServiceManager::watchdogInterval() const {
  std::uint64_t usec = 0;
  if (!attached_ || sd_watchdog_enabled(0, &usec) <= 0) return {};
  return std::chrono::microseconds(usec);
}

void SystemdServiceManager::watchdogPing() {
  if (attached_) sd_notify(0, "WATCHDOG=1");
}

}  // namespace vexahv::platform
