#include "hwlib/mainframe_link.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "hwlib/VEXAHVWrapper.h"
#include "platform/socket_io.h"

namespace vexahv::hwlib {
namespace {

using Clock = std::chrono::steady_clock;
// A mainframe on a fast link answers within tens of microseconds; waiting that long
// awake avoids a sleep and wake-up per call.
constexpr auto kAnswerSpin = std::chrono::microseconds(50);

bool parseNumber(const char* text, long min, long max, long& out) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, out);
  return ec == std::errc() && p == end && out >= min && out <= max;
}

// The library's codes for what the platform's I/O reports.
int linkResult(const std::error_code& ec) {
  if (!ec) return VEXAHV_OK;
  return ec == std::errc::timed_out ? VEXAHV_ERR_TIMEOUT : VEXAHV_ERR_NOT_CONNECTED;
}

int sendWithin(int fd, const std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
  return linkResult(vexahv::platform::sendWithin(fd, data, size, deadline));
}

int receiveWithin(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
  return linkResult(vexahv::platform::receiveWithin(fd, data, size, deadline, kAnswerSpin));
}

}  // namespace

bool LinkSettings::fromEnvironment(LinkSettings& out) {
  out.mainframe.port = VEXAHV_DEFAULT_PORT;
  out.timeout = std::chrono::milliseconds(VEXAHV_DEFAULT_TIMEOUT_MS);
  long v = 0;
  if (const char* port = std::getenv("VEXAHV_MAINFRAME_PORT"); port != nullptr && *port != '\0') {
    if (!parseNumber(port, 1, 65535, v)) return false;
    out.mainframe.port = static_cast<std::uint16_t>(v);
  }
  if (const char* t = std::getenv("VEXAHV_TIMEOUT_MS"); t != nullptr && *t != '\0') {
    if (!parseNumber(t, 1, 600000, v)) return false;
    out.timeout = std::chrono::milliseconds(v);
  }
  return true;
}

int MainframeLink::open(const LinkSettings& settings, int systemType, const std::string& user,
                        const std::string& password, std::unique_ptr<MainframeLink>& out) {
  if (user.size() > kMaxCredentialLength || password.size() > kMaxCredentialLength) {
    return VEXAHV_ERR_LOGIN_REFUSED;
  }
  std::unique_ptr<MainframeLink> link(new MainframeLink(settings, systemType, user, password));
  {
    std::lock_guard lock(link->mutex_);
    if (int rc = link->connectLocked(); rc != VEXAHV_OK) return rc;
  }
  out = std::move(link);
  return VEXAHV_OK;
}

int MainframeLink::connectLocked() {
  platform::Socket socket;
  if (platform::Socket::open(platform::Socket::Kind::Tcp, socket)) return VEXAHV_ERR_SOCKET;
  if (socket.connect(settings_.mainframe, settings_.timeout)) return VEXAHV_ERR_NOT_CONNECTED;
  (void)socket.setNoDelay(true);
  {
    // shutdown() may have run while the stream was being connected; it must not survive it.
    std::lock_guard swap(socketMutex_);
    if (closed_.load()) return VEXAHV_ERR_NOT_CONNECTED;
    socket_ = std::move(socket);
  }

  ByteWriter hello;
  hello.u32(kHelloMagic);
  hello.u16(kProtocolVersion);
  hello.u8(static_cast<std::uint8_t>(systemType_));
  hello.text(user_);
  hello.text(password_);
  int result = 0;
  std::vector<std::uint8_t> answer;
  if (int rc = exchangeLocked(Op::Hello, hello.bytes(), result, answer); rc != VEXAHV_OK) return rc;
  if (result != VEXAHV_OK) return result;
  ByteReader r(answer);
  if (r.u16() != kProtocolVersion) return VEXAHV_ERR_PROTOCOL;
  return VEXAHV_OK;
}

MainframeLink::~MainframeLink() { shutdown(); }

void MainframeLink::shutdown() noexcept {
  // Not under mutex_: its purpose is to release a call that holds it.
  std::lock_guard swap(socketMutex_);
  closed_.store(true);
  socket_.shutdown();
}

void CallStatistics::count(int failure, std::chrono::steady_clock::duration took) noexcept {
  static constexpr int kBoundsMs[VEXAHV_LATENCY_BUCKETS - 1] = VEXAHV_LATENCY_BOUNDS_MS;
  calls_.fetch_add(1, std::memory_order_relaxed);
  if (failure != VEXAHV_OK) {
    const int index = failure > 0 && failure < VEXAHV_FAILURE_CODES ? failure : VEXAHV_FAILURE_CODES - 1;
    failures_[index].fetch_add(1, std::memory_order_relaxed);
  }
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  std::size_t bucket = 0;
  while (bucket < VEXAHV_LATENCY_BUCKETS - 1 && micros > kBoundsMs[bucket] * 1000LL) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumMicroseconds_.fetch_add(static_cast<std::uint64_t>(micros > 0 ? micros : 0), std::memory_order_relaxed);
}

void CallStatistics::copyTo(VEXAHVCallStatistics& out) const noexcept {
  out.calls = calls_.load(std::memory_order_relaxed);
  for (int i = 0; i < VEXAHV_FAILURE_CODES; ++i) out.failures[i] = failures_[i].load(std::memory_order_relaxed);
  for (int i = 0; i < VEXAHV_LATENCY_BUCKETS; ++i) out.latencyBuckets[i] = buckets_[i].load(std::memory_order_relaxed);
  out.latencySumMicroseconds = sumMicroseconds_.load(std::memory_order_relaxed);
  out.reconnections = reconnections_.load(std::memory_order_relaxed);
}

int MainframeLink::exchange(Op op, std::span<const std::uint8_t> request, int& result,
                            std::vector<std::uint8_t>& response) {
  const auto start = Clock::now();
  const int rc = exchangeUncounted(op, request, result, response);
  // The mainframe's result exists only when an answer came.
  statistics_.count(rc != VEXAHV_OK ? rc : result, Clock::now() - start);
  return rc;
}

int MainframeLink::exchangeUncounted(Op op, std::span<const std::uint8_t> request, int& result,
                                     std::vector<std::uint8_t>& response) {
  std::lock_guard lock(mutex_);
  if (closed_.load()) return VEXAHV_ERR_NOT_CONNECTED;
  if (broken_) {
    // A mainframe that stays away is not asked again on every call.
    if (Clock::now() - brokenAt_ < kReopenPause) return VEXAHV_ERR_NOT_CONNECTED;
    if (int rc = connectLocked(); rc != VEXAHV_OK) {
      socket_.shutdown();
      brokenAt_ = Clock::now();
      return rc;
    }
    broken_ = false;
    statistics_.countReconnection();
  }
  const int rc = exchangeLocked(op, request, result, response);
  if (rc != VEXAHV_OK) {
    broken_ = true;
    brokenAt_ = Clock::now();
    socket_.shutdown();
  }
  return rc;
}

int MainframeLink::exchangeLocked(Op op, std::span<const std::uint8_t> request, int& result,
                                  std::vector<std::uint8_t>& response) {
  const auto deadline = Clock::now() + settings_.timeout;
  const std::uint32_t sequence = ++sequence_;
  const std::size_t bodySize = kRequestHeadSize + request.size();
  if (bodySize > kMaxBodySize) return VEXAHV_ERR_INVALID_ARGUMENT;
  frame_.resize(kLengthSize + bodySize);
  storeLe32(frame_.data(), static_cast<std::uint32_t>(bodySize));
  frame_[4] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(op));
  frame_[5] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(op) >> 8);
  storeLe32(frame_.data() + 6, sequence);
  if (!request.empty()) std::memcpy(frame_.data() + kLengthSize + kRequestHeadSize, request.data(), request.size());
  if (int rc = sendWithin(socket_.fd(), frame_.data(), frame_.size(), deadline); rc != VEXAHV_OK) return rc;

  std::uint8_t length[kLengthSize];
  if (int rc = receiveWithin(socket_.fd(), length, sizeof length, deadline); rc != VEXAHV_OK) return rc;
  const std::uint32_t size = loadLe32(length);
  if (size < kResponseHeadSize || size > kMaxBodySize) return VEXAHV_ERR_PROTOCOL;
  frame_.resize(size);
  if (int rc = receiveWithin(socket_.fd(), frame_.data(), size, deadline); rc != VEXAHV_OK) return rc;
  ResponseView view;
  if (!parseResponse(frame_, view) ||
      view.opcode != (static_cast<std::uint16_t>(op) | kResponseFlag) || view.sequence != sequence) {
    return VEXAHV_ERR_PROTOCOL;
  }
  result = view.result;
  response.assign(view.payload.begin(), view.payload.end());
  return VEXAHV_OK;
}

}  // namespace vexahv::hwlib
