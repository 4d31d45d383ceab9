#pragma once
// The systemd back-end: unit files in /etc/systemd/system (VEXAHV_SYSTEMD_UNIT_DIR),
// control through systemctl (VEXAHV_SYSTEMCTL), and the service's own reports through
// sd_notify: READY=1, STATUS=, STOPPING=1, WATCHDOG=1. Every systemctl call is bounded;
// stop and restart are queued (--no-block), so the asking thread never waits for the stop
// of the process it runs in.

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/service_manager.h"

namespace vexahv::platform {

class SystemdServiceManager final : public ServiceManager {
 public:
  SystemdServiceManager(std::string serviceName, std::string unitName, std::filesystem::path unitDirectory,
                        std::string systemctl);
  const char* backEndName() const noexcept override { return "systemd"; }

  std::uint32_t install(const ServiceDefinition& definition) override;
  std::uint32_t remove(std::string_view name) override;
  std::uint32_t query(std::string_view name, ServiceStatus& out) override;
  std::uint32_t requestStop(std::string_view name) override;
  std::uint32_t requestRestart(std::string_view name) override;

  std::uint32_t attach(std::string_view name) override;
  void reportRunning(std::string_view status) override;
  void reportStatus(std::string_view status) override;
  void reportStopping() override;
  bool detach() override { return false; }  // systemd restarts the unit itself
  std::chrono::microseconds watchdogInterval() const override;
  void watchdogPing() override;

  std::filesystem::path serviceUnitFile() const { return unitDirectory_ / (unitName_ + ".service"); }
  std::filesystem::path socketUnitFile() const { return unitDirectory_ / (unitName_ + ".socket"); }

 private:
  bool known(std::string_view name) const { return name == serviceName_; }
  // systemctl with args; the result's exit status, or an error when it could not run.
  std::uint32_t systemctl(std::initializer_list<std::string> args, std::string* output = nullptr) const;

  std::string serviceName_;
  std::string unitName_;
  std::filesystem::path unitDirectory_;
  std::string systemctl_;
  bool attached_ = false;
};

}  // namespace vexahv::platform
