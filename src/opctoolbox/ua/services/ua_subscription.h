#pragma once
// Subscriptions and their monitored items (OPC UA Part 4, 5.12 and 5.13): each item
// watches one element of the toolbox, filters its new values (trigger, absolute
// deadband), queues them (discard oldest or newest); the subscription gathers them into
// notification messages on its publishing interval, with keep-alive and lifetime counting
// and a retransmission queue for Republish.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/ua/events/ua_event_filter.h"
#include "opctoolbox/ua/services/ua_sample_queue.h"
#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

struct DataChangeFilter {
  std::uint32_t trigger = 1;       // 0 status, 1 status and value, 2 and timestamp
  std::uint32_t deadbandType = 0;  // 0 none, 1 absolute, 2 percent (until made absolute)
  double deadband = 0;
};

// A percent deadband's own terms, kept beside the absolute deadband made of them, so that
// an item whose EURange changes gets the deadband of its new range.
struct PercentDeadband {
  double percent = 0;
  ElementPtr low, high;  // the item's LowEU and HighEU
};

// The StatusCode bit that tells a client the item's EURange, unit or state labels
// changed (OPC UA Part 4, 7.39): on the first value it sends after the change.
inline constexpr StatusCode kSemanticsChangedBit = 0x00004000u;

// The values every monitored item of a server may hold queued beyond the first of each:
// the bound of their memory whatever the queue sizes. An item whose queue could grow but
// finds the budget spent treats its queue as full (OPC UA's overflow).
class QueuedValueBudget {
 public:
  explicit QueuedValueBudget(std::size_t limit) : limit_(limit) {}
  bool take() noexcept {
    std::size_t used = used_.load(std::memory_order_relaxed);
    do {
      if (used >= limit_) return false;
    } while (!used_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed));
    return true;
  }
  void give(std::size_t n) noexcept { used_.fetch_sub(n, std::memory_order_relaxed); }
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

class MonitoredItem : public ValueObserver {
 public:
  // budget: shared by the server's items (null: none), kept alive by each.
  MonitoredItem(std::uint32_t id, std::uint32_t clientHandle, ElementPtr element, std::uint32_t timestamps,
                std::uint32_t queueSize, bool discardOldest, DataChangeFilter filter,
                std::shared_ptr<QueuedValueBudget> budget = nullptr);
  ~MonitoredItem() override;

  void onValueChanged(DaAddressSpaceElement& element, const ValueQT& value) override;
  // A sample as OPC UA has it (the server's own variables of namespace 0): filtered and
  // queued as a toolbox value is.
  void offer(DataValue v);
  // Moves up to max queued notifications out; returns how many.
  std::size_t take(std::vector<std::pair<std::uint32_t, DataValue>>& out, std::size_t max);
  bool hasNotifications() const;
  // A triggered item in sampling mode: takes what it holds as takeAll does (nothing when
  // it reports by itself, or is disabled).
  std::size_t takeTriggered(std::vector<std::pair<std::uint32_t, DataValue>>& changes,
                            std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events, std::size_t max,
                            bool& more);
  // Queues the element's current value whatever the filter says (ResendData, transfers).
  void resend();
  void modify(std::uint32_t clientHandle, std::uint32_t queueSize, bool discardOldest, DataChangeFilter filter);
  // The percentage the filter's absolute deadband was made of (none: it was given absolute).
  void setPercentDeadband(std::optional<PercentDeadband> percent);

  // An event item (of an object that notifies events): it takes events, not values; of a
  // branch (scope: its item id), only those that come from it or from under it.
  void makeEventItem(EventFilterSpec filter, std::string scope = {});
  bool isEventItem() const;
  void modifyEvents(std::uint32_t clientHandle, std::uint32_t queueSize, bool discardOldest, EventFilterSpec filter);
  // Queues the fields the filter selects when its where clause takes the event (always:
  // whatever it says, for the frames of a condition refresh); a full queue loses its oldest
  // (or the newest) event.
  void offerEvent(const UaEvent& event, const IsEventSubtype& isSubtype, bool always = false);
  // Moves up to max queued event field lists out; returns how many.
  std::size_t takeEvents(std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& out, std::size_t max);
  // Both at once, under one lock, up to max in all; more becomes true when some are left.
  std::size_t takeAll(std::vector<std::pair<std::uint32_t, DataValue>>& changes,
                      std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events, std::size_t max,
                      bool& more);
  // How many times its queue was full and lost a value or an event.
  std::uint32_t overflows() const;

  const std::uint32_t id;
  std::atomic<std::uint32_t> clientHandle;
  const ElementPtr element;  // null for a variable of namespace 0
  // What the server samples itself, every samplingInterval, rather than the toolbox: a
  // variable of namespace 0 (CurrentTime, State, ...), one of a session's diagnostics
  // nodes (its number in namespace 1), or a variable it makes of what it holds
  // ("<item>#EURange", "<source>#Trip.ActiveState.Id"), its Value read each time.
  // nextSample is the server's, under its zeroMutex_.
  struct ServerSampled {
    std::uint32_t namespaceZeroId = 0;
    std::uint32_t sessionNodeId = 0;
    std::string madeNode;
    std::chrono::steady_clock::time_point nextSample{};
  };
  std::unique_ptr<ServerSampled> sampled;  // null for the toolbox's items, the most by far
  bool sampledByServer() const noexcept { return sampled != nullptr; }
  // The role of the session that holds it, for what only some roles may read: it follows
  // the session's re-activation as another user, and a transfer to another session.
  std::atomic<Role> role{Role::Reader};
  std::atomic<std::uint32_t> monitoringMode{2};  // 0 disabled, 1 sampling, 2 reporting
  double samplingInterval = 0;
  std::uint64_t toolboxHandle = 0;  // the toolbox's monitor, 0 while disabled
  const std::uint32_t timestamps;

 private:
  bool passes(const DataValue& v) const;
  // Under mutex_: a value with the element's semantics version (none for what the server
  // samples itself); a new version passes whatever the filter says, and carries the bit.
  void offerLocked(DataValue v, std::optional<std::uint32_t> semantics);
  // Under mutex_: a value leaves the queue unsent; the bit it carried goes to the one kept.
  void carrySemantics(const DataValue& lost, DataValue& kept);
  // Under mutex_, reporting.
  std::size_t takeValuesLocked(std::vector<std::pair<std::uint32_t, DataValue>>& out, std::size_t max);
  std::size_t takeEventsLocked(std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& out, std::size_t max);
  void settleBudget();  // under mutex_: gives back what the queue no longer holds
  std::uint32_t queueSize_;
  bool discardOldest_;
  DataChangeFilter filter_;
  std::uint32_t semantics_ = 0;  // the element's semantics version its values were sent with
  std::unique_ptr<PercentDeadband> percent_;  // only for a percent deadband, the few
  mutable std::mutex mutex_;
  SampleQueue<DataValue> queue_;  // queue sizes above one
  std::optional<DataValue> last_;  // the last value queued, compared by the filter
  bool pending_ = false;           // queue size one: last_ is queued, not yet sent
  bool overflow_ = false;
  std::uint32_t overflows_ = 0;  // beside the flags, in what would be padding
  const std::shared_ptr<QueuedValueBudget> budget_;
  std::size_t charged_ = 0;  // units of budget_ this queue holds
  // An event item's filter and queue (at most queueSize_): a data item, the most of them
  // by far, holds neither.
  struct Events {
    EventFilterSpec filter;
    std::deque<std::vector<ua::Variant>> queue;
    bool overflowQueued = false;  // an overflow event waits in the queue
    std::string scope;            // empty: the Server object's, every event
  };
  std::unique_ptr<Events> events_;
};

// A subscription; its fields are under the mutex of the session that holds it (a transfer
// moves it under both sessions' locks).
struct Subscription {
  std::uint32_t id = 0;
  double publishingInterval = 1000;
  std::uint32_t lifetimeCount = 10000;
  std::uint32_t maxKeepAliveCount = 10;
  std::uint32_t maxNotificationsPerPublish = 0;  // 0: the server's limit
  bool publishingEnabled = true;
  std::uint8_t priority = 0;
  std::map<std::uint32_t, std::shared_ptr<MonitoredItem>> items;
  // SetTriggering's links: a triggering item's id, and the items it triggers (OPC UA Part
  // 4, 5.12.1.6): when it reports, those that only sample report what they hold too.
  std::map<std::uint32_t, std::set<std::uint32_t>> triggers;
  // Its items are gone: their links go with them, from either side.
  void unlink(std::uint32_t itemId) {
    if (triggers.empty()) return;
    triggers.erase(itemId);
    for (auto& [t, links] : triggers) links.erase(itemId);
  }
  // How many of them take events: an event passes over a subscription of data items only
  // (a SCADA's tens of thousands) without looking at each.
  std::size_t eventItems = 0;
  std::uint32_t nextSequenceNumber = 1;
  std::uint32_t keepAliveCounter = 0;
  std::uint32_t lifetimeCounter = 0;
  bool sentOnce = false;
  // Its publishing interval passed with something to send and no Publish waiting: the
  // next Publish of its session is answered at once.
  bool late = false;
  std::chrono::steady_clock::time_point nextPublish;
  // What its diagnostics count (OPC UA Part 5, 12.15).
  struct Counts {
    std::uint32_t modify = 0, enable = 0, disable = 0;
    std::uint32_t republishRequests = 0, republished = 0;
    std::uint32_t transferRequests = 0, transferredToAltClient = 0, transferredToSameClient = 0;
    std::uint32_t publishRequests = 0, dataChanges = 0, events = 0, late = 0;
  } counts;
  std::string client;  // the ApplicationUri of its session's client, for the transfers' counts
  std::uint32_t discardedMessages = 0;  // under retransmissionMutex: dropped from it unacknowledged
  // Encoded NotificationMessages by sequence number, under retransmissionMutex: the
  // publishing thread keeps one there after it was encoded, outside its session's lock.
  std::mutex retransmissionMutex;
  std::map<std::uint32_t, std::vector<std::uint8_t>> retransmission;
};

// The event a full event queue holds in place of those it lost.
UaEvent queueOverflowEvent();

// Whether enough monitored items ended since the last time it said so that the heap
// should give their memory back (a relaxed count: a few more or less do not matter).
bool heapReleaseDue() noexcept;
bool takeHeapRelease() noexcept;

// An encoded NotificationMessage (data changes and events, or none for a keep-alive).
std::vector<std::uint8_t> encodeNotificationMessage(
    std::uint32_t sequenceNumber, const std::vector<std::pair<std::uint32_t, DataValue>>& changes,
    const std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events = {});

}  // namespace OpcToolbox::ua
