#pragma once
// One client connection as the server sees it.

#include <cstdint>
#include <mutex>
#include <string>

namespace OpcToolbox {

enum class EnumSessionType : int { Da = 0, Internal = 1 };

class DaSession {
 public:
  DaSession(EnumSessionType type, std::uint32_t handle) : type_(type), handle_(handle) {}
  virtual ~DaSession() = default;

  virtual void connectSession() {}
  virtual void disconnectSession() {}

  EnumSessionType getType() const noexcept { return type_; }
  std::uint32_t getHandle() const noexcept { return handle_; }
  std::string getClientName() const {
    std::lock_guard lock(mutex_);
    return clientName_;
  }
  void setClientName(std::string name) {
    std::lock_guard lock(mutex_);
    clientName_ = std::move(name);
  }

 private:
  const EnumSessionType type_;
  const std::uint32_t handle_;
  mutable std::mutex mutex_;
  std::string clientName_;
};

}  // namespace OpcToolbox
