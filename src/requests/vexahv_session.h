#pragma once
// One client connection; the process keeps count of the connected clients.

#include <cstdint>

#include "opctoolbox/da_session.h"

namespace vexahv {

class VEXAHVSession : public OpcToolbox::DaSession {
 public:
  using OpcToolbox::DaSession::DaSession;
  ~VEXAHVSession() override = default;

  void connectSession() override;
  void disconnectSession() override;

  // Sessions connected now (toolbox threads change it concurrently).
  static std::int32_t clientCount() noexcept;
};

}  // namespace vexahv
