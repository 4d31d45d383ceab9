#pragma once
// One configured mainframe and everything that is its own: who it is (name, type, link,
// address, credentials), its library handle and connection state, its event channel
// (the TCP connection and the thread serving it), its keep-alive counters, and the table
// of its hardware items, found by (slot, channel, parameter) or by item id. Every item
// bound to the crate reads the handle here, so a reconnection changes it once for all.
//
// Locks: the state is atomics; compound state changes take stateMutex_, the event
// channel channelMutex_, the table tableMutex_, the signalled boards boardsMutex_. All
// four are leaves: no other lock is taken, no element is called and no library call is
// made while one is held.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/system_entry.h"
#include "hwlib/VEXAHVWrapper.h"
#include "platform/socket.h"
#include "platform/sync_event.h"
#include "platform/worker_thread.h"

namespace vexahv {

class VEXAHVElement;

// The names of a crate's branches, "Board05" and "Chan012": the builder names them so,
// and item ids in a crate are made of them.
std::string boardBranchName(std::uint16_t slot);
std::string channelBranchName(std::uint16_t channel);

// The keep-alive's view of the events of a crate.
//   -1: connected, nothing subscribed yet     0: lost (events must be set up again)
//    1: reporting (subscribed and, for type 2, its event connection open)
//    2: event connection open, not subscribed  3: subscribed, no event connection yet
inline constexpr std::int16_t kEventsIdle = -1;

// What mainframes of types 0 and 1 log in with: they take no credentials of their own.
inline constexpr const char* kDefaultCredential = "qwzrt";

class Crate {
 public:
  Crate() = default;  // no entry: an element made outside the builder
  explicit Crate(const SystemEntry& entry);
  Crate(const Crate&) = delete;
  Crate& operator=(const Crate&) = delete;

  // The library's call counts over every handle the crate had: those of the handles
  // already closed, plus the open one's. retireCallStatistics before a handle is released.
  void retireCallStatistics(std::int32_t handle);
  VEXAHVCallStatistics callStatistics() const;

  // Who it is: fixed once the crate is made, so read without a lock.
  const std::string& name() const noexcept { return name_; }
  const std::string& address() const noexcept { return address_; }
  const std::string& userName() const noexcept { return userName_; }
  const std::string& password() const noexcept { return password_; }
  std::int32_t linkType() const noexcept { return linkType_; }
  std::int32_t systemType() const noexcept { return systemType_.load(std::memory_order_relaxed); }
  void setSystemType(std::int32_t type) noexcept { systemType_.store(type, std::memory_order_relaxed); }
  std::uint16_t index() const noexcept { return index_.load(std::memory_order_relaxed); }
  void setIndex(std::uint16_t i) noexcept { index_.store(i, std::memory_order_relaxed); }

  // The library handle (-1: none) and the connection state.
  std::int32_t handle() const noexcept { return handle_.load(std::memory_order_relaxed); }
  void setHandle(std::int32_t h) noexcept { handle_.store(h, std::memory_order_relaxed); }
  std::int32_t connectionStatus() const noexcept { return status_.load(std::memory_order_relaxed); }
  void setConnectionStatus(std::int32_t s) noexcept { status_.store(s, std::memory_order_relaxed); }
  std::uint16_t slotCount() const noexcept { return slots_.load(std::memory_order_relaxed); }
  void setSlotCount(std::uint16_t n) noexcept { slots_.store(n, std::memory_order_relaxed); }
  bool needsConfiguration() const noexcept { return needsConfiguration_.load(); }
  void setNeedsConfiguration(bool v) noexcept { needsConfiguration_.store(v); }
  bool eventsEnabled() const noexcept { return eventsEnabled_.load(); }
  void setEventsEnabled(bool v) noexcept { eventsEnabled_.store(v); }

  // The keep-alive's counters; the transitions below are each one step.
  std::int16_t keepAliveState() const noexcept { return keepAliveState_.load(); }
  void setKeepAliveState(std::int16_t s) noexcept { keepAliveState_.store(s); }
  std::uint16_t failCount() const noexcept { return failCount_.load(); }
  void setFailCount(std::uint16_t n) noexcept { failCount_.store(n); }
  // A UDP system's event data: when the last datagram from it came (steady clock), and
  // whether its event channel counts as lost. setEventsLost says whether that changed.
  void heardFrom(std::chrono::steady_clock::time_point when) noexcept {
    lastHeard_.store(when.time_since_epoch().count(), std::memory_order_relaxed);
  }
  std::chrono::steady_clock::time_point lastHeard() const noexcept {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastHeard_.load(std::memory_order_relaxed)));
  }
  bool setEventsLost(bool lost) noexcept { return eventsLost_.exchange(lost) != lost; }

  // Its event records, for monitoring: counted without a lock on the events' path; and
  // its event datagrams that did not decode (their records unknown, so not counted).
  enum class EventDrop : std::size_t { UnknownItem, NotConnected, DamagedDatagram, Count };
  struct EventCounts {
    std::uint64_t applied = 0;
    std::uint64_t dropped[static_cast<std::size_t>(EventDrop::Count)] = {};
    std::chrono::steady_clock::time_point lastApplied{};  // epoch: none yet
  };
  void countEventApplied(std::chrono::steady_clock::time_point when) noexcept {
    eventsApplied_.fetch_add(1, std::memory_order_relaxed);
    lastApplied_.store(when.time_since_epoch().count(), std::memory_order_relaxed);
  }
  void countEventDropped(EventDrop why) noexcept {
    eventsDropped_[static_cast<std::size_t>(why)].fetch_add(1, std::memory_order_relaxed);
  }
  EventCounts eventCounts() const noexcept;
  bool eventsLost() const noexcept { return eventsLost_.load(); }
  // Its parameter events were subscribed: -1 becomes 3, 2 becomes 1.
  void eventsSubscribed();
  // Its event connection opened: -1 and 0 become 2, anything else 1.
  void eventConnectionOpened();

  // The TCP event channel. A thread that ended by itself (its connection failed) says so
  // with eventThreadEnded(); its object stays until another thread takes and joins it (a
  // thread cannot join itself).
  void setEventSocket(platform::Socket socket);
  int eventSocketFd() const;
  void shutdownEventSocket();
  platform::Socket takeEventSocket();
  void setEventThread(std::unique_ptr<platform::WorkerThread> thread);
  std::unique_ptr<platform::WorkerThread> takeEventThread();
  void eventThreadEnded();
  bool hasEventThread() const;

  // Boards a live insertion or removal signal named, for the crate's keep-alive thread to
  // look at (the events' thread never waits on the mainframe): a slot the crate does not
  // have is dropped, one already waiting is kept once.
  void boardSignalled(std::uint16_t slot);
  std::vector<std::uint16_t> takeSignalledBoards();
  // Until a board is signalled (Signalled), the time passes or stop is requested.
  platform::WaitResult waitForBoardSignal(std::stop_token stop, std::chrono::milliseconds timeout);

  // The hardware items. slot -1: a system property or item; channel -1: a board's.
  // The table holds them weakly: the address space owns its elements.
  void addItem(std::int32_t slot, std::int32_t channel, const std::string& parameter,
               const std::shared_ptr<VEXAHVElement>& item, std::string_view idInCrate);
  std::shared_ptr<VEXAHVElement> find(std::int32_t slot, std::int32_t channel, std::string_view parameter) const;
  // By the item id without the crate's name ("Board01.Chan002.VMon", "SwRelease").
  std::shared_ptr<VEXAHVElement> findById(std::string_view idInCrate) const;
  std::size_t itemCount() const;

 private:
  struct Key {
    std::int32_t slot, channel;
    std::string parameter;
  };
  // Heterogeneous look-up: an event's name is found without building a string.
  struct KeyView {
    std::int32_t slot, channel;
    std::string_view parameter;
  };
  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(const KeyView& k) const noexcept;
    std::size_t operator()(const Key& k) const noexcept { return (*this)(KeyView{k.slot, k.channel, k.parameter}); }
  };
  struct KeyEqual {
    using is_transparent = void;
    static KeyView view(const Key& k) noexcept { return {k.slot, k.channel, k.parameter}; }
    static KeyView view(const KeyView& k) noexcept { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      const KeyView x = view(a), y = view(b);
      return x.slot == y.slot && x.channel == y.channel && x.parameter == y.parameter;
    }
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  std::string name_, address_, userName_, password_;
  std::int32_t linkType_ = -1;
  std::atomic<std::int32_t> systemType_{2};
  std::atomic<std::uint16_t> index_{0};
  std::atomic<std::int32_t> handle_{-1};
  std::atomic<std::int32_t> status_{0};  // kStatusPending
  std::atomic<std::uint16_t> slots_{0};
  std::atomic<bool> needsConfiguration_{true};
  std::atomic<bool> eventsEnabled_{false};
  std::atomic<std::int16_t> keepAliveState_{kEventsIdle};
  std::atomic<std::uint16_t> failCount_{0};
  std::atomic<std::chrono::steady_clock::rep> lastHeard_{0};
  std::atomic<bool> eventsLost_{false};
  std::atomic<std::uint64_t> eventsApplied_{0};
  std::atomic<std::uint64_t> eventsDropped_[static_cast<std::size_t>(EventDrop::Count)] = {};
  std::atomic<std::chrono::steady_clock::rep> lastApplied_{0};
  std::mutex stateMutex_;
  mutable std::mutex retiredMutex_;
  VEXAHVCallStatistics retired_{};  // of the handles closed; guarded by retiredMutex_

  mutable std::mutex channelMutex_;
  platform::Socket eventSocket_;
  std::unique_ptr<platform::WorkerThread> eventThread_;
  bool eventThreadRunning_ = false;

  std::mutex boardsMutex_;
  std::vector<std::uint16_t> signalledBoards_;  // under boardsMutex_, at most one per slot
  platform::AutoResetEvent boardSignal_;

  mutable std::shared_mutex tableMutex_;
  std::unordered_map<Key, std::weak_ptr<VEXAHVElement>, KeyHash, KeyEqual> items_;
  std::unordered_map<std::string, std::weak_ptr<VEXAHVElement>, TextHash, std::equal_to<>> byId_;
};

}  // namespace vexahv
