#pragma once
// The service manager's stand-in: one record file per installed service under
// <root>/services/, holding its definition, its state and the process that runs it. The
// process started as the service keeps its record current; the stop control is SIGTERM to
// that process, a restart is a flag in the record that the process reads at its stop.
// Records are replaced atomically under a lock, created with mode 0600, and refused when
// another user could have written them.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/service_manager.h"

namespace vexahv::platform {

struct ServiceRecord {
  ServiceDefinition definition;
  ServiceState state = ServiceState::Stopped;
  pid_t pid = 0;
  std::uint64_t started = 0;  // the process's start time, to tell it from a later one
  bool restart = false;
  std::string status;
};

std::string formatServiceRecord(const ServiceRecord& record);
// False for a damaged record (a line that is not key=value, an unknown state, no name).
bool parseServiceRecord(std::string_view text, ServiceRecord& out);

class RecordServiceManager final : public ServiceManager {
 public:
  explicit RecordServiceManager(std::filesystem::path root);
  const char* backEndName() const noexcept override { return "service record"; }

  std::uint32_t install(const ServiceDefinition& definition) override;
  std::uint32_t remove(std::string_view name) override;
  std::uint32_t query(std::string_view name, ServiceStatus& out) override;
  std::uint32_t requestStop(std::string_view name) override;
  std::uint32_t requestRestart(std::string_view name) override;

  std::uint32_t attach(std::string_view name) override;
  void reportRunning(std::string_view status) override;
  void reportStatus(std::string_view status) override;
  void reportStopping() override;
  bool detach() override;

  std::filesystem::path recordFile(std::string_view name) const;

 private:
  // Reads the record under the lock and lets change() alter it; writes it back when
  // change() returns true. Missing record: kDoesNotExist (change is not called).
  template <class Change>
  std::uint32_t update(std::string_view name, Change change);
  std::uint32_t signalStop(std::string_view name, bool restart);

  std::filesystem::path dir_;
  std::string attached_;  // the service this process runs as, once attached
};

}  // namespace vexahv::platform
