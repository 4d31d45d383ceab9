#pragma once
// What the automation object reads of this process: the client count of the sessions, the
// server object's system list, the toolbox application's state and the HV library's
// release.

#include "config/vexahv_opc_service.h"

namespace vexahv {

class ProcessAutomationServer final : public AutomationServer {
 public:
  std::int32_t clientCount() const override;
  std::optional<std::uint32_t> entryCount() const override;
  void setEntryCount(std::uint32_t count) override;
  std::optional<std::int32_t> connectionStatus(std::uint32_t index) const override;
  bool active() const override;
  std::string libraryRelease() const override;
};

}  // namespace vexahv
