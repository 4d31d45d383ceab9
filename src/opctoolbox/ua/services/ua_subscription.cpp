#include "opctoolbox/ua/services/ua_subscription.h"

#include <cmath>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/model/ua_item_model.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kDataChangeNotification = 811, kEventNotificationList = 916;
constexpr StatusCode kOverflowBit = 0x00000480u;  // InfoType DataValue | Overflow

std::optional<double> numeric(const ua::Variant& v) {
  if (v.isArray || v.values.size() != 1) return std::nullopt;
  return std::visit(
      [](const auto& x) -> std::optional<double> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) return static_cast<double>(x);
        return std::nullopt;
      },
      v.values.front());
}

}  // namespace

MonitoredItem::MonitoredItem(std::uint32_t itemId, std::uint32_t handle, ElementPtr e, std::uint32_t ts,
                             std::uint32_t queue, bool oldest, DataChangeFilter f, std::shared_ptr<QueuedValueBudget> budget)
    : id(itemId),
      clientHandle(handle),
      element(std::move(e)),
      timestamps(ts),
      queueSize_(queue == 0 ? 1 : queue),
      discardOldest_(oldest),
      filter_(f),
      semantics_(element ? element->getSemanticsVersion() : 0),
      budget_(std::move(budget)) {}

namespace {
std::atomic<std::size_t> endedItems{0};
constexpr std::size_t kHeapReleaseAfter = 1000;
}  // namespace

MonitoredItem::~MonitoredItem() {
  if (budget_ != nullptr) budget_->give(charged_);
  endedItems.fetch_add(1, std::memory_order_relaxed);
}

bool heapReleaseDue() noexcept { return endedItems.load(std::memory_order_relaxed) >= kHeapReleaseAfter; }

bool takeHeapRelease() noexcept {
  if (!heapReleaseDue()) return false;
  endedItems.store(0, std::memory_order_relaxed);
  return true;
}

void MonitoredItem::settleBudget() {
  if (events_) return;  // an event item's units are its queued events, settled one by one
  const std::size_t held = queue_.size() > 1 ? queue_.size() - 1 : 0;
  if (budget_ != nullptr && held < charged_) {
    budget_->give(charged_ - held);
    charged_ = held;
  }
}

void MonitoredItem::resend() {
  {
    std::lock_guard lock(mutex_);
    last_.reset();
  }
  // A variable of namespace 0 sends its next sample, whatever it is.
  if (!element) return;
  ValueQT current;
  element->getCacheValue(current);
  onValueChanged(*element, current);
}

void MonitoredItem::modify(std::uint32_t handle, std::uint32_t queue, bool oldest, DataChangeFilter f) {
  std::lock_guard lock(mutex_);
  clientHandle = handle;
  queueSize_ = queue == 0 ? 1 : queue;
  discardOldest_ = oldest;
  filter_ = f;
  if (queueSize_ > 1) {
    if (pending_) queue_.push_back(*last_);  // the queue of one becomes the first of many
    pending_ = false;
    while (queue_.size() > queueSize_) queue_.pop_front();
  } else if (!queue_.empty()) {
    pending_ = true;  // the newest queued is the last value
    queue_ = SampleQueue<DataValue>{};
  }
  settleBudget();
}

void MonitoredItem::setPercentDeadband(std::optional<PercentDeadband> percent) {
  std::lock_guard lock(mutex_);
  percent_ = percent ? std::make_unique<PercentDeadband>(std::move(*percent)) : nullptr;
}

bool MonitoredItem::passes(const DataValue& v) const {
  if (!last_) return true;
  // The semantics bit is news once, not a status that changes back.
  const auto plain = [](const std::optional<StatusCode>& s) { return s.value_or(kGood) & ~kSemanticsChangedBit; };
  if (plain(last_->status) != plain(v.status)) return true;
  if (filter_.trigger == 0) return false;
  if (filter_.trigger == 2 && last_->sourceTimestamp != v.sourceTimestamp) return true;
  if (!last_->value || !v.value) return last_->value.has_value() != v.value.has_value();
  if (filter_.deadbandType == 1) {
    const auto a = numeric(*last_->value), b = numeric(*v.value);
    if (a && b) return std::fabs(*a - *b) > filter_.deadband;
  }
  return !(*last_->value == *v.value);
}

void MonitoredItem::onValueChanged(DaAddressSpaceElement& element, const ValueQT& value) {
  DataValue v{toUaAs(value.getData(), element.getDatatype()), statusOf(value.getQuality()), std::nullopt, std::nullopt};
  if (timestamps == 0 || timestamps == 2) v.sourceTimestamp = value.getTimeStamp().ticks();
  if (timestamps == 1 || timestamps == 2) v.serverTimestamp = nowTicks();
  const std::uint32_t semantics = element.getSemanticsVersion();
  std::lock_guard lock(mutex_);
  offerLocked(std::move(v), semantics);
}

void MonitoredItem::offer(DataValue v) {
  std::lock_guard lock(mutex_);
  offerLocked(std::move(v), std::nullopt);
}

void MonitoredItem::carrySemantics(const DataValue& lost, DataValue& kept) {
  if ((lost.status.value_or(kGood) & kSemanticsChangedBit) != 0) kept.status = kept.status.value_or(kGood) | kSemanticsChangedBit;
}

void MonitoredItem::offerLocked(DataValue v, std::optional<std::uint32_t> semantics) {
  if (monitoringMode == 0) return;
  if (semantics && *semantics != semantics_) {
    // Sent whatever the filter says: the client learns that the range it filters by, or
    // the labels it shows, are new.
    semantics_ = *semantics;
    v.status = v.status.value_or(kGood) | kSemanticsChangedBit;
    if (percent_) {
      if (const auto span = euRangeSpan(percent_->low, percent_->high)) filter_.deadband = percent_->percent / 100 * *span;
    }
  } else if (!passes(v)) {
    return;
  }
  if (queueSize_ == 1) {
    // A queue of one holds the last value itself: no second copy per item.
    if (pending_ && last_) carrySemantics(*last_, v);
    last_ = std::move(v);
    pending_ = true;
    return;
  }
  last_ = v;
  // A value beyond the first queued takes a unit of the server's budget.
  bool full = queue_.size() >= queueSize_;
  if (!full && !queue_.empty() && budget_ != nullptr) {
    if (budget_->take()) ++charged_;
    else full = true;
  }
  if (full) {
    if (discardOldest_) {
      const DataValue lost = std::move(queue_.front());
      queue_.pop_front();
      if (!queue_.empty()) carrySemantics(lost, queue_.front());
      else carrySemantics(lost, v);
    } else {
      carrySemantics(queue_.back(), v);
      queue_.pop_back();
    }
    overflow_ = queueSize_ > 1;
    overflows_ += overflow_ ? 1 : 0;
  }
  queue_.push_back(std::move(v));
  if (overflow_) {
    // The value next to the lost one carries the overflow bit (Part 4, 5.12.1.5).
    DataValue& marked = discardOldest_ ? queue_.front() : queue_.back();
    marked.status = marked.status.value_or(kGood) | kOverflowBit;
    overflow_ = false;
  }
}

std::size_t MonitoredItem::take(std::vector<std::pair<std::uint32_t, DataValue>>& out, std::size_t max) {
  std::lock_guard lock(mutex_);
  return monitoringMode == 2 ? takeValuesLocked(out, max) : 0;
}

std::size_t MonitoredItem::takeValuesLocked(std::vector<std::pair<std::uint32_t, DataValue>>& out, std::size_t max) {
  std::size_t n = 0;
  if (pending_ && n < max) {
    out.emplace_back(clientHandle, *last_);
    pending_ = false;
    ++n;
  }
  while (!queue_.empty() && n < max) {
    out.emplace_back(clientHandle, std::move(queue_.front()));
    queue_.pop_front();
    ++n;
  }
  settleBudget();
  return n;
}

std::size_t MonitoredItem::takeAll(std::vector<std::pair<std::uint32_t, DataValue>>& changes,
                                   std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events,
                                   std::size_t max, bool& more) {
  std::lock_guard lock(mutex_);
  if (monitoringMode != 2) return 0;
  std::size_t n = takeValuesLocked(changes, max);
  if (events_) n += takeEventsLocked(events, max - n);
  more = more || pending_ || !queue_.empty() || (events_ && !events_->queue.empty());
  return n;
}

std::size_t MonitoredItem::takeTriggered(std::vector<std::pair<std::uint32_t, DataValue>>& changes,
                                         std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events,
                                         std::size_t max, bool& more) {
  std::lock_guard lock(mutex_);
  if (monitoringMode != 1) return 0;  // one that reports does so by itself; a disabled one holds nothing
  std::size_t n = takeValuesLocked(changes, max);
  if (events_) n += takeEventsLocked(events, max - n);
  more = more || pending_ || !queue_.empty() || (events_ && !events_->queue.empty());
  return n;
}

bool MonitoredItem::hasNotifications() const {
  std::lock_guard lock(mutex_);
  return monitoringMode == 2 && (pending_ || !queue_.empty() || (events_ && !events_->queue.empty()));
}

void MonitoredItem::makeEventItem(EventFilterSpec filter, std::string scope) {
  std::lock_guard lock(mutex_);
  if (!events_) events_ = std::make_unique<Events>();
  events_->filter = std::move(filter);
  events_->scope = std::move(scope);
}

bool MonitoredItem::isEventItem() const {
  std::lock_guard lock(mutex_);
  return events_ != nullptr;
}

void MonitoredItem::modifyEvents(std::uint32_t handle, std::uint32_t queueSize, bool discardOldest,
                                 EventFilterSpec filter) {
  std::lock_guard lock(mutex_);
  clientHandle = handle;
  queueSize_ = queueSize == 0 ? 1 : queueSize;
  discardOldest_ = discardOldest;
  if (!events_) events_ = std::make_unique<Events>();
  events_->filter = std::move(filter);
  while (events_->queue.size() > queueSize_) {
    events_->queue.pop_front();
    if (budget_ != nullptr) budget_->give(1);
    --charged_;
  }
}

void MonitoredItem::offerEvent(const UaEvent& event, const IsEventSubtype& isSubtype, bool always) {
  std::lock_guard lock(mutex_);
  if (!events_ || monitoringMode == 0) return;
  if (const std::string& scope = events_->scope; !scope.empty() && !always) {
    const std::string& s = event.source;
    if (!(s.size() >= scope.size() && s.compare(0, scope.size(), scope) == 0 &&
          (s.size() == scope.size() || s[scope.size()] == '.'))) {
      return;
    }
  }
  if (!always && !eventPasses(events_->filter, event, isSubtype)) return;
  std::vector<ua::Variant> fields = selectEventFields(events_->filter, event, isSubtype);
  auto& queue = events_->queue;
  // Each queued event is charged to the server's budget for events; a spent budget is a
  // full queue.
  if (queue.size() < queueSize_ && (budget_ == nullptr || budget_->take())) {
    queue.push_back(std::move(fields));
    ++charged_;
    return;
  }
  ++overflows_;  // this event or another is lost
  if (queue.empty()) return;
  // Full: an EventQueueOverflowEvent (OPC UA Part 4, 5.12.1.5) tells the client that events
  // were lost, first in the queue when the oldest go, last when the newest do; one per
  // overflow until the client takes from the queue.
  if (discardOldest_) {
    // The marker stays first; the oldest event behind it goes (a queue of one holds the
    // marker alone).
    if (!events_->overflowQueued) {
      queue.pop_front();
    } else if (queue.size() > 1) {
      queue.erase(queue.begin() + 1);
    } else {
      return;
    }
    queue.push_back(std::move(fields));
  }
  if (events_->overflowQueued) return;
  events_->overflowQueued = true;
  std::vector<ua::Variant> overflow = selectEventFields(events_->filter, queueOverflowEvent(), isSubtype);
  if (discardOldest_) {
    queue.front() = std::move(overflow);
  } else {
    queue.back() = std::move(overflow);
  }
}

std::size_t MonitoredItem::takeEvents(std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& out,
                                      std::size_t max) {
  std::lock_guard lock(mutex_);
  return monitoringMode == 2 && events_ ? takeEventsLocked(out, max) : 0;
}

std::size_t MonitoredItem::takeEventsLocked(std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& out,
                                            std::size_t max) {
  std::size_t n = 0;
  while (n < max && !events_->queue.empty()) {
    out.emplace_back(clientHandle.load(), std::move(events_->queue.front()));
    events_->queue.pop_front();
    ++n;
  }
  if (budget_ != nullptr) budget_->give(n);
  charged_ -= n;
  if (n > 0) events_->overflowQueued = false;
  return n;
}

std::uint32_t MonitoredItem::overflows() const {
  std::lock_guard lock(mutex_);
  return overflows_;
}

UaEvent queueOverflowEvent() {
  UaEvent e;
  e.eventType = NodeId::numericId(0, 3035);  // EventQueueOverflowEventType
  const std::int64_t now = nowTicks();
  e.fields = {
      {"EventId", ua::Variant::scalar(BuiltinType::ByteString, ByteStringValue{randomBytes(16)})},
      {"EventType", ua::Variant::scalar(BuiltinType::NodeId, e.eventType)},
      {"Time", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"ReceiveTime", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"SourceNode", ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 2253))},
      {"SourceName", ua::Variant::scalar(BuiltinType::String, UaString{"Server"})},
      {"Message", ua::Variant::scalar(BuiltinType::LocalizedText, LocalizedText{"en", "Events were lost: the queue was full"})},
      {"Severity", ua::Variant::scalar(BuiltinType::UInt16, std::uint16_t{500})},
  };
  return e;
}

std::vector<std::uint8_t> encodeNotificationMessage(
    std::uint32_t sequenceNumber, const std::vector<std::pair<std::uint32_t, DataValue>>& changes,
    const std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>>& events) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  e.uint32(sequenceNumber);
  e.dateTime(nowTicks());
  e.arrayLength((changes.empty() ? 0 : 1) + (events.empty() ? 0 : 1));
  if (!changes.empty()) {
    std::vector<std::uint8_t> body;
    Encoder b(body);
    b.arrayLength(static_cast<std::int32_t>(changes.size()));
    for (const auto& [handle, value] : changes) {
      b.uint32(handle);
      b.dataValue(value);
    }
    b.arrayLength(0);
    e.nodeId(NodeId::numericId(0, kDataChangeNotification));
    e.byte(1);
    e.string(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  }
  if (!events.empty()) {
    std::vector<std::uint8_t> body;
    Encoder b(body);
    b.arrayLength(static_cast<std::int32_t>(events.size()));
    for (const auto& [handle, fields] : events) {
      b.uint32(handle);
      b.arrayLength(static_cast<std::int32_t>(fields.size()));
      for (const ua::Variant& f : fields) b.variant(f);
    }
    e.nodeId(NodeId::numericId(0, kEventNotificationList));
    e.byte(1);
    e.string(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  }
  return out;
}

}  // namespace OpcToolbox::ua
