#pragma once
// One library connection to a mainframe: a TCP stream, served one exchange at a time.
// A time-out or transport failure closes the stream, so a late answer can never be taken
// for the answer to a later request; the next call after a short pause connects and logs
// in afresh under the same handle, so one slow answer never leaves the handle useless.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
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

// A link's call counts: atomics, so that counting takes no lock and a reader on another
// thread sees whole numbers.
class CallStatistics {
 public:
  // failure: VEXAHV_OK, or the call's VEXAHV_ERR_* code.
  void count(int failure, std::chrono::steady_clock::duration took) noexcept;
  void countReconnection() noexcept { reconnections_.fetch_add(1, std::memory_order_relaxed); }
  void copyTo(VEXAHVCallStatistics& out) const noexcept;

 private:
  std::atomic<std::uint64_t> calls_{0};
  std::atomic<std::uint64_t> failures_[VEXAHV_FAILURE_CODES] = {};
  std::atomic<std::uint64_t> buckets_[VEXAHV_LATENCY_BUCKETS] = {};
  std::atomic<std::uint64_t> sumMicroseconds_{0};
  std::atomic<std::uint64_t> reconnections_{0};
};

class MainframeLink final : public Exchange {
 public:
  // Connects and logs in; VEXAHV_OK or the reason it could not.
  static int open(const LinkSettings& settings, int systemType, const std::string& user,
                  const std::string& password, std::unique_ptr<MainframeLink>& out);
  ~MainframeLink() override;

  int exchange(Op op, std::span<const std::uint8_t> request, int& result,
               std::vector<std::uint8_t>& response) override;
  // Releases a call blocked on this link and refuses every later one (no new stream).
  void shutdown() noexcept;
  // Between a failure and the next attempt to connect again, calls fail at once.
  static constexpr std::chrono::milliseconds kReopenPause{1000};
  ParamTypeCache* paramTypes() noexcept override { return &types_; }
  const CallStatistics& statistics() const noexcept { return statistics_; }

 private:
  MainframeLink(const LinkSettings& settings, int systemType, std::string user, std::string password)
      : settings_(settings), systemType_(systemType), user_(std::move(user)), password_(std::move(password)) {}
  // A new stream with the version handshake and the login; the caller holds mutex_.
  int connectLocked();
  int exchangeLocked(Op op, std::span<const std::uint8_t> request, int& result,
                     std::vector<std::uint8_t>& response);
  // exchange() without its counting.
  int exchangeUncounted(Op op, std::span<const std::uint8_t> request, int& result,
                        std::vector<std::uint8_t>& response);

  const LinkSettings settings_;
  const int systemType_;
  const std::string user_, password_;
  // Lock order: mutex_ (one exchange at a time, held across the call), then socketMutex_
  // (only while socket_ is replaced or shut down, never across a blocking call). socket_
  // is written by the holder of mutex_ alone, under both.
  std::mutex mutex_;
  std::mutex socketMutex_;
  platform::Socket socket_;
  bool broken_ = false;
  std::chrono::steady_clock::time_point brokenAt_{};
  std::atomic<bool> closed_{false};
  std::uint32_t sequence_ = 0;
  std::vector<std::uint8_t> frame_;
  ParamTypeCache types_;
  CallStatistics statistics_;
};

}  // namespace vexahv::hwlib
