#pragma once
// One library connection to a mainframe: a TCP stream, served one exchange at a time.
// A time-out or transport failure breaks the link for good, so a late answer can never
// be taken for the answer to a later request.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "hwlib/mainframe_protocol.h"
#include "hwlib/param_type_cache.h"
#include "platform/socket.h"

namespace vexahv::hwlib {

// Sends one request payload and gives back the response's result and payload. Returns
// VEXAHV_OK when an answer arrived (its result may still be an error).
class Exchange {
 public:
  virtual ~Exchange() = default;
  virtual int exchange(Op op, std::span<const std::uint8_t> request, int& result,
                       std::vector<std::uint8_t>& response) = 0;
  // The parameter types this connection has learnt; null: ask every time.
  virtual ParamTypeCache* paramTypes() noexcept { return nullptr; }
};

struct LinkSettings {
  platform::Ipv4Endpoint mainframe;
  std::chrono::milliseconds timeout{3000};
  // Read from VEXAHV_MAINFRAME_PORT and VEXAHV_TIMEOUT_MS; false with a bad value.
  static bool fromEnvironment(LinkSettings& out);
};

class MainframeLink final : public Exchange {
 public:
  // Connects and logs in; VEXAHV_OK or the reason it could not.
  static int open(const LinkSettings& settings, int systemType, const std::string& user,
                  const std::string& password, std::unique_ptr<MainframeLink>& out);
  ~MainframeLink() override;

  int exchange(Op op, std::span<const std::uint8_t> request, int& result,
               std::vector<std::uint8_t>& response) override;
  // Releases a call blocked on this link and refuses every later one.
  void shutdown() noexcept;
  ParamTypeCache* paramTypes() noexcept override { return &types_; }

 private:
  explicit MainframeLink(const LinkSettings& settings) : settings_(settings) {}
  int exchangeLocked(Op op, std::span<const std::uint8_t> request, int& result,
                     std::vector<std::uint8_t>& response);

  const LinkSettings settings_;
  std::mutex mutex_;
  platform::Socket socket_;
  bool broken_ = false;
  std::uint32_t sequence_ = 0;
  std::vector<std::uint8_t> frame_;
  ParamTypeCache types_;
};

}  // namespace vexahv::hwlib
