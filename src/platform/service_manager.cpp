#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform_root.h"
#include "platform/service_record.h"
#include "platform/systemd_service.h"

namespace vexahv::platform {

const char* serviceErrorText(std::uint32_t error) noexcept {
  switch (error) {
    case service_error::kSuccess: return "success";
    case service_error::kAccessDenied: return "access denied";
    case service_error::kRequestTimeout: return "the service did not respond in time";
    case service_error::kAlreadyRunning: return "the service is already running";
    case service_error::kDoesNotExist: return "the service is not installed";
    case service_error::kNotActive: return "the service is not running";
    case service_error::kNoServiceManager: return "the process was not started by the service manager";
    case service_error::kIoError: return "the service's record or unit could not be read or written";
  }
  return "service manager error";
}

const char* serviceStateName(ServiceState s) noexcept {
  switch (s) {
    case ServiceState::Stopped: return "stopped";
    case ServiceState::StartPending: return "starting";
    case ServiceState::Running: return "running";
    case ServiceState::StopPending: return "stopping";
  }
  return "unknown";
}

std::unique_ptr<ServiceManager> ServiceManager::forProcess(std::string serviceName, std::string unitName) {
  const char* chosen = std::getenv("VEXAHV_SERVICE_MANAGER");
  bool systemd = false;
  if (chosen != nullptr && *chosen != '\0') {
    systemd = std::strcmp(chosen, "systemd") == 0;
  } else {
    // A root of its own means tests or a private installation: never the machine's manager.
    const char* root = std::getenv("VEXAHV_ROOT");
    systemd = (root == nullptr || *root == '\0') && sd_booted() > 0;
  }
  if (!systemd) return std::make_unique<RecordServiceManager>(platformRoot());
  const char* unitDir = std::getenv("VEXAHV_SYSTEMD_UNIT_DIR");
  const char* systemctl = std::getenv("VEXAHV_SYSTEMCTL");
  return std::make_unique<SystemdServiceManager>(
      std::move(serviceName), std::move(unitName),
      unitDir != nullptr && *unitDir != '\0' ? unitDir : "/etc/systemd/system",
      systemctl != nullptr && *systemctl != '\0' ? systemctl : "systemctl");
}

}  // namespace vexahv::platform
