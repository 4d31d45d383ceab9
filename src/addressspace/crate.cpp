#include "addressspace/crate.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

namespace vexahv {

std::string boardBranchName(std::uint16_t slot) {
  char text[16];
  std::snprintf(text, sizeof text, "Board%02u", static_cast<unsigned>(slot));
  return text;
}

std::string channelBranchName(std::uint16_t channel) {
  char text[16];
  std::snprintf(text, sizeof text, "Chan%03u", static_cast<unsigned>(channel));
  return text;
}

Crate::Crate(const SystemEntry& entry)
    : name_(entry.name), address_(entry.address), linkType_(entry.linkType), systemType_(entry.systemType) {
  const bool fixed = entry.systemType == 0 || entry.systemType == 1;
  userName_ = fixed ? kDefaultCredential : entry.userName;
  password_ = fixed ? kDefaultCredential : entry.password;
}

void Crate::eventsSubscribed() {
  std::lock_guard l(stateMutex_);
  const std::int16_t s = keepAliveState_.load();
  if (s == kEventsIdle) keepAliveState_.store(3);
  else if (s == 2) keepAliveState_.store(1);
}

void Crate::eventConnectionOpened() {
  std::lock_guard l(stateMutex_);
  const std::int16_t s = keepAliveState_.load();
  keepAliveState_.store(s == kEventsIdle || s == 0 ? 2 : 1);
}

void Crate::setEventSocket(platform::Socket socket) {
  std::lock_guard l(channelMutex_);
  eventSocket_ = std::move(socket);
}

int Crate::eventSocketFd() const {
  std::lock_guard l(channelMutex_);
  return eventSocket_.fd();
}

void Crate::shutdownEventSocket() {
  std::lock_guard l(channelMutex_);
  eventSocket_.shutdown();
}

platform::Socket Crate::takeEventSocket() {
  std::lock_guard l(channelMutex_);
  return std::move(eventSocket_);
}

void Crate::setEventThread(std::unique_ptr<platform::WorkerThread> thread) {
  // The one replaced (if any) is joined outside the lock: its body may ask for the socket.
  std::unique_ptr<platform::WorkerThread> old;
  {
    std::lock_guard l(channelMutex_);
    old = std::move(eventThread_);
    eventThread_ = std::move(thread);
    eventThreadRunning_ = eventThread_ != nullptr;
  }
}

std::unique_ptr<platform::WorkerThread> Crate::takeEventThread() {
  std::lock_guard l(channelMutex_);
  eventThreadRunning_ = false;
  return std::move(eventThread_);
}

void Crate::eventThreadEnded() {
  std::lock_guard l(channelMutex_);
  eventThreadRunning_ = false;
}

bool Crate::hasEventThread() const {
  std::lock_guard l(channelMutex_);
  return eventThreadRunning_;
}

std::size_t Crate::KeyHash::operator()(const KeyView& k) const noexcept {
  const std::size_t h = std::hash<std::string_view>{}(k.parameter);
  const auto place = static_cast<std::size_t>(static_cast<std::uint32_t>(k.slot + 1) << 16 |
                                              static_cast<std::uint32_t>(k.channel + 1));
  return h ^ (place * 0x9E3779B97F4A7C15ull);
}

void Crate::addItem(std::int32_t slot, std::int32_t channel, const std::string& parameter,
                    const std::shared_ptr<VEXAHVElement>& item, std::string_view idInCrate) {
  std::unique_lock l(tableMutex_);
  items_[Key{slot, channel, parameter}] = item;
  if (!idInCrate.empty()) byId_[std::string(idInCrate)] = item;
}

std::shared_ptr<VEXAHVElement> Crate::find(std::int32_t slot, std::int32_t channel, std::string_view parameter) const {
  std::shared_lock l(tableMutex_);
  const auto it = items_.find(KeyView{slot, channel, parameter});
  return it == items_.end() ? nullptr : it->second.lock();
}

std::shared_ptr<VEXAHVElement> Crate::findById(std::string_view idInCrate) const {
  std::shared_lock l(tableMutex_);
  const auto it = byId_.find(idInCrate);
  return it == byId_.end() ? nullptr : it->second.lock();
}

std::size_t Crate::itemCount() const {
  std::shared_lock l(tableMutex_);
  return items_.size();
}

void Crate::boardSignalled(std::uint16_t slot) {
  if (slot >= slotCount()) return;
  {
    std::lock_guard l(boardsMutex_);
    if (std::find(signalledBoards_.begin(), signalledBoards_.end(), slot) != signalledBoards_.end()) return;
    signalledBoards_.push_back(slot);
  }
  boardSignal_.set();
}

std::vector<std::uint16_t> Crate::takeSignalledBoards() {
  std::lock_guard l(boardsMutex_);
  return std::exchange(signalledBoards_, {});
}

platform::WaitResult Crate::waitForBoardSignal(std::stop_token stop, std::chrono::milliseconds timeout) {
  return boardSignal_.wait(std::move(stop), timeout);
}

namespace {

void add(VEXAHVCallStatistics& to, const VEXAHVCallStatistics& from) {
  to.calls += from.calls;
  for (int i = 0; i < VEXAHV_FAILURE_CODES; ++i) to.failures[i] += from.failures[i];
  for (int i = 0; i < VEXAHV_LATENCY_BUCKETS; ++i) to.latencyBuckets[i] += from.latencyBuckets[i];
  to.latencySumMicroseconds += from.latencySumMicroseconds;
  to.reconnections += from.reconnections;
}

}  // namespace

Crate::EventCounts Crate::eventCounts() const noexcept {
  EventCounts c;
  c.applied = eventsApplied_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < static_cast<std::size_t>(EventDrop::Count); ++i) {
    c.dropped[i] = eventsDropped_[i].load(std::memory_order_relaxed);
  }
  c.lastApplied = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(lastApplied_.load(std::memory_order_relaxed)));
  return c;
}

void Crate::retireCallStatistics(std::int32_t handle) {
  VEXAHVCallStatistics last{};
  if (handle < 0 || VEXAHV_GetCallStatistics(handle, &last) != VEXAHV_OK) return;
  std::lock_guard lock(retiredMutex_);
  add(retired_, last);
}

VEXAHVCallStatistics Crate::callStatistics() const {
  VEXAHVCallStatistics total{};
  {
    std::lock_guard lock(retiredMutex_);
    total = retired_;
  }
  VEXAHVCallStatistics open{};
  if (const std::int32_t h = handle(); h >= 0 && VEXAHV_GetCallStatistics(h, &open) == VEXAHV_OK) add(total, open);
  return total;
}

}  // namespace vexahv
