// The Subscription and MonitoredItem service sets, and the publishing loop.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <tuple>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"
#include "platform/interruptible_sleep.h"

namespace OpcToolbox::ua {
namespace {

using Clock = std::chrono::steady_clock;
using Replies = std::vector<std::pair<ServiceHandler::Respond, std::vector<std::uint8_t>>>;

constexpr double kMinPublishingInterval = 50;
constexpr double kMaxPublishingInterval = 3600000;
constexpr std::size_t kRetransmissionDepth = 100;

std::vector<std::uint8_t> statusArrayResponse(std::uint32_t typeId, std::uint32_t handle,
                                              const std::vector<StatusCode>& results) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, typeId);
  encodeResponseHeader(e, handle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (StatusCode c : results) e.statusCode(c);
  e.arrayLength(0);
  return out;
}

std::vector<std::uint32_t> uint32Array(Decoder& d) {
  std::vector<std::uint32_t> out;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) out.push_back(d.uint32());
  return out;
}

void revise(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive, std::uint32_t maxNotif,
            std::uint32_t serverMax) {
  s.publishingInterval = std::clamp(interval, kMinPublishingInterval, kMaxPublishingInterval);
  s.maxKeepAliveCount = std::clamp<std::uint32_t>(keepAlive, 1, 10000);
  s.lifetimeCount = std::max<std::uint32_t>(lifetime, 3 * s.maxKeepAliveCount);
  s.maxNotificationsPerPublish = (maxNotif == 0 || maxNotif > serverMax) ? serverMax : maxNotif;
}

std::vector<std::uint8_t> publishResponse(std::uint32_t handle, const Subscription& s, bool more,
                                          const std::vector<std::uint8_t>& message,
                                          const std::vector<StatusCode>& acks) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::PublishResponse);
  encodeResponseHeader(e, handle, kGood);
  e.uint32(s.id);
  e.arrayLength(static_cast<std::int32_t>(s.retransmission.size()));
  for (const auto& [seq, bytes] : s.retransmission) e.uint32(seq);
  e.boolean(more);
  e.raw(message.data(), message.size());
  e.arrayLength(static_cast<std::int32_t>(acks.size()));
  for (StatusCode c : acks) e.statusCode(c);
  e.arrayLength(0);
  return out;
}

// MonitoringParameters, as create and modify requests carry them.
struct MonitoringParameters {
  std::uint32_t clientHandle = 0;
  double sampling = 0;
  ExtensionObject filter;
  std::uint32_t queueSize = 1;
  bool discardOldest = true;
};

MonitoringParameters decodeMonitoringParameters(Decoder& d) {
  MonitoringParameters p;
  p.clientHandle = d.uint32();
  p.sampling = d.float64();
  p.filter = d.extensionObject();
  p.queueSize = d.uint32();
  p.discardOldest = d.boolean();
  return p;
}

StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter) {
  if (e.typeId.isNull()) return kGood;
  if (!(e.typeId == NodeId::numericId(0, id::DataChangeFilter)) || e.encoding != 1) return kBadFilterNotAllowed;
  Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
  filter.trigger = f.uint32();
  filter.deadbandType = f.uint32();
  filter.deadband = f.float64();
  // A percent deadband needs an engineering-unit range, which items do not carry.
  if (!f.ok() || filter.trigger > 2 || filter.deadbandType > 1 || !(filter.deadband >= 0) ||
      !std::isfinite(filter.deadband)) {
    return kBadMonitoredItemFilterUnsupported;
  }
  return kGood;
}

constexpr std::uint32_t kEventFilter = 727, kEventFilterResult = 736, kLiteralOperand = 597, kOfType = 14;
constexpr StatusCode kBadEventFilterInvalid = 0x80470000u;
constexpr std::size_t kMaxSelectClauses = 64;

// An EventFilter: the select clauses (browse paths from the event type; the fields this
// server raises are one name deep) and a where clause that is empty or one OfType.
// selectResults: one status per clause, for the EventFilterResult.
StatusCode parseEventFilter(const ExtensionObject& e, EventFilterSpec& filter, std::vector<StatusCode>& selectResults) {
  if (!(e.typeId == NodeId::numericId(0, kEventFilter)) || e.encoding != 1) return kBadEventFilterInvalid;
  Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
  const std::size_t clauses = f.arrayLength();
  if (!f.ok() || clauses == 0 || clauses > kMaxSelectClauses) return kBadEventFilterInvalid;
  for (std::size_t i = 0; i < clauses && f.ok(); ++i) {
    (void)f.nodeId();  // the type the path starts from: every field here is BaseEventType's
    const std::size_t depth = f.arrayLength();
    std::vector<std::string> path;
    for (std::size_t k = 0; k < depth && f.ok(); ++k) {
      const QualifiedName q = f.qualifiedName();
      path.push_back(q.name.value_or(""));
    }
    const std::uint32_t attribute = f.uint32();
    (void)f.string();  // index range
    // The Value of a field; a path that names no field here selects null.
    selectResults.push_back(attribute == 13 ? kGood : 0x80350000u /* BadAttributeIdInvalid */);
    filter.select.push_back(attribute == 13 ? std::move(path) : std::vector<std::string>{});
  }
  const std::size_t elements = f.arrayLength();
  if (!f.ok()) return kBadEventFilterInvalid;
  if (elements > 1) return kBadMonitoredItemFilterUnsupported;
  if (elements == 1) {
    const std::uint32_t op = f.uint32();
    const std::size_t operands = f.arrayLength();
    if (!f.ok() || op != kOfType || operands != 1) return kBadMonitoredItemFilterUnsupported;
    const ExtensionObject operand = f.extensionObject();
    if (!f.ok() || !(operand.typeId == NodeId::numericId(0, kLiteralOperand)) || operand.encoding != 1) {
      return kBadMonitoredItemFilterUnsupported;
    }
    Decoder l(std::span(reinterpret_cast<const std::uint8_t*>(operand.body.data()), operand.body.size()));
    const ua::Variant type = l.variant();
    if (!l.ok() || type.type != BuiltinType::NodeId || type.isArray || type.values.size() != 1) {
      return kBadEventFilterInvalid;
    }
    const NodeId& id = *std::get<Boxed<NodeId>>(type.values.front());
    if (id.ns != 0 || id.kind != NodeId::Kind::Numeric) return kBadEventFilterInvalid;
    filter.ofType = id.numeric;
  }
  return f.ok() ? kGood : kBadEventFilterInvalid;
}

ExtensionObject eventFilterResult(const std::vector<StatusCode>& selectResults) {
  std::vector<std::uint8_t> body;
  Encoder b(body);
  b.arrayLength(static_cast<std::int32_t>(selectResults.size()));
  for (StatusCode c : selectResults) b.statusCode(c);
  b.arrayLength(0);  // no diagnostics
  b.arrayLength(0);  // where clause: no element results
  b.arrayLength(0);
  return ExtensionObject{NodeId::numericId(0, kEventFilterResult), 1, std::string(body.begin(), body.end())};
}

}  // namespace

void UaServer::modifyMonitoredItems(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const std::uint32_t timestamps = d.uint32();
  struct Modify : MonitoringParameters {
    std::uint32_t id = 0;
  };
  std::vector<Modify> mods;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    Modify m;
    m.id = d.uint32();
    static_cast<MonitoringParameters&>(m) = decodeMonitoringParameters(d);
    mods.push_back(std::move(m));
  }
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (mods.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  if (mods.size() > limits_.maxMonitoredItemsPerCall) return respond(encodeServiceFault(h.requestHandle, kBadTooManyOperations));
  if (timestamps > 3) return respond(encodeServiceFault(h.requestHandle, kBadTimestampsToReturnInvalid));
  std::shared_ptr<Subscription> sub;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it != session->subscriptions.end()) sub = it->second;
  }
  if (!sub) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
  ClientAccess* clients = app_.clients();
  std::vector<std::tuple<StatusCode, double, std::uint32_t>> results;
  for (const Modify& m : mods) {
    // Under the lock throughout: a subscription that ends meanwhile (its lifetime, its
    // session's time-out, on the publishing thread) then finds each item's monitor as it is.
    std::lock_guard lock(mutex_);
    auto owner = session->subscriptions.find(sid);
    if (owner == session->subscriptions.end() || owner->second != sub) {
      results.emplace_back(kBadSubscriptionIdInvalid, 0, 0);
      continue;
    }
    auto found = sub->items.find(m.id);
    if (found == sub->items.end()) {
      results.emplace_back(kBadMonitoredItemIdInvalid, 0, 0);
      continue;
    }
    const std::shared_ptr<MonitoredItem>& item = found->second;
    if (item->isEventItem()) {
      EventFilterSpec events;
      std::vector<StatusCode> selected;
      if (StatusCode fs = parseEventFilter(m.filter, events, selected); fs != kGood) {
        results.emplace_back(fs, 0, 0);
        continue;
      }
      const std::uint32_t queue = std::clamp<std::uint32_t>(m.queueSize, 1, limits_.maxQueueSize);
      item->modifyEvents(m.clientHandle, queue, m.discardOldest, std::move(events));
      results.emplace_back(kGood, 0, queue);
      continue;
    }
    DataChangeFilter filter;
    if (StatusCode fs = parseFilter(m.filter, filter); fs != kGood) {
      results.emplace_back(fs, 0, 0);
      continue;
    }
    const double sampling = revisedSampling(item->element.get(), m.sampling, sub->publishingInterval);
    const std::uint32_t queue = std::clamp<std::uint32_t>(m.queueSize, 1, limits_.maxQueueSize);
    item->modify(m.clientHandle, queue, m.discardOldest, filter);
    if (sampling != item->samplingInterval && item->toolboxHandle != 0 && clients) {
      // The new monitor first, so that the element never looks unwatched in between.
      std::uint64_t fresh = 0;
      clients->monitor(item->element, static_cast<int>(sampling), item.get(), fresh);
      clients->unmonitor(item->toolboxHandle);
      item->toolboxHandle = fresh;
    }
    item->samplingInterval = sampling;
    results.emplace_back(kGood, sampling, queue);
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::ModifyMonitoredItemsResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& [code, sampling, queue] : results) {
    e.statusCode(code);
    e.float64(sampling);
    e.uint32(queue);
    e.extensionObject(ExtensionObject{});
  }
  e.arrayLength(0);
  respond(std::move(out));
}

void UaServer::transferSubscriptions(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const auto ids = uint32Array(d);
  const bool sendInitialValues = d.boolean();
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  std::vector<std::pair<StatusCode, std::vector<std::uint32_t>>> results;
  std::vector<std::shared_ptr<Subscription>> moved;
  Replies replies;
  {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Session>> owners;
    owners.reserve(sessions_.size() + 1);
    for (auto& [token, other] : sessions_) owners.push_back(other);
    owners.push_back(detached_);
    for (std::uint32_t sid : ids) {
      std::shared_ptr<Subscription> found;
      bool full = false;
      for (auto& other : owners) {
        auto it = other->subscriptions.find(sid);
        if (it == other->subscriptions.end()) continue;
        if (other != session && session->subscriptions.size() >= limits_.maxSubscriptionsPerSession) {
          full = true;  // it stays where it is
          break;
        }
        found = it->second;
        if (other != session) {
          other->subscriptions.erase(it);
          session->subscriptions.emplace(sid, found);
          if (other->subscriptions.empty()) {
            for (auto& p : other->publishes) {
              replies.emplace_back(std::move(p.respond), encodeServiceFault(p.requestHandle, kBadNoSubscription));
            }
            other->publishes.clear();
          }
        }
        break;
      }
      if (!found) {
        results.emplace_back(full ? kBadTooManySubscriptions : kBadSubscriptionIdInvalid, std::vector<std::uint32_t>{});
        continue;
      }
      std::vector<std::uint32_t> available;
      for (const auto& [seq, bytes] : found->retransmission) available.push_back(seq);
      results.emplace_back(kGood, std::move(available));
      moved.push_back(found);
    }
  }
  if (sendInitialValues) {
    for (auto& sub : moved) {
      for (auto& [iid, item] : sub->items) item->resend();
    }
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::TransferSubscriptionsResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& [code, available] : results) {
    e.statusCode(code);
    e.arrayLength(static_cast<std::int32_t>(available.size()));
    for (std::uint32_t seq : available) e.uint32(seq);
  }
  e.arrayLength(0);
  respond(std::move(out));
  for (auto& [r, bytes] : replies) r(std::move(bytes));
}

void UaServer::endSubscriptions(Session& s, StatusCode reason, Replies& replies) {
  for (auto& [sid, sub] : s.subscriptions) {
    for (auto& [iid, item] : sub->items) {
      if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
      item->toolboxHandle = 0;
    }
  }
  s.subscriptions.clear();
  for (auto& p : s.publishes) replies.emplace_back(std::move(p.respond), encodeServiceFault(p.requestHandle, reason));
  s.publishes.clear();
}

void UaServer::createSubscription(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const double interval = d.float64();
  const std::uint32_t lifetime = d.uint32();
  const std::uint32_t keepAlive = d.uint32();
  const std::uint32_t maxNotif = d.uint32();
  const bool enabled = d.boolean();
  const std::uint8_t priority = d.byte();
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  auto sub = std::make_shared<Subscription>();
  {
    std::lock_guard lock(mutex_);
    if (session->subscriptions.size() >= limits_.maxSubscriptionsPerSession) {
      return respond(encodeServiceFault(h.requestHandle, kBadTooManySubscriptions));
    }
    sub->id = nextSubscription_++;
    revise(*sub, finiteOr(interval, 0), lifetime, keepAlive, maxNotif, limits_.maxNotificationsPerPublish);
    sub->publishingEnabled = enabled;
    sub->priority = priority;
    sub->nextPublish = Clock::now();
    session->subscriptions.emplace(sub->id, sub);
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CreateSubscriptionResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  e.uint32(sub->id);
  e.float64(sub->publishingInterval);
  e.uint32(sub->lifetimeCount);
  e.uint32(sub->maxKeepAliveCount);
  respond(std::move(out));
}

void UaServer::modifySubscription(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const double interval = d.float64();
  const std::uint32_t lifetime = d.uint32();
  const std::uint32_t keepAlive = d.uint32();
  const std::uint32_t maxNotif = d.uint32();
  d.byte();
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  std::vector<std::uint8_t> out;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it == session->subscriptions.end()) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
    Subscription& s = *it->second;
    revise(s, finiteOr(interval, 0), lifetime, keepAlive, maxNotif, limits_.maxNotificationsPerPublish);
    Encoder e(out);
    beginMessage(e, id::ModifySubscriptionResponse);
    encodeResponseHeader(e, h.requestHandle, kGood);
    e.float64(s.publishingInterval);
    e.uint32(s.lifetimeCount);
    e.uint32(s.maxKeepAliveCount);
  }
  respond(std::move(out));
}

void UaServer::setPublishingMode(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const bool enabled = d.boolean();
  const auto ids = uint32Array(d);
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  std::vector<StatusCode> results;
  {
    std::lock_guard lock(mutex_);
    for (std::uint32_t sid : ids) {
      auto it = session->subscriptions.find(sid);
      if (it == session->subscriptions.end()) {
        results.push_back(kBadSubscriptionIdInvalid);
        continue;
      }
      it->second->publishingEnabled = enabled;
      results.push_back(kGood);
    }
  }
  respond(statusArrayResponse(id::SetPublishingModeResponse, h.requestHandle, results));
}

void UaServer::deleteSubscriptions(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const auto ids = uint32Array(d);
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  std::vector<StatusCode> results;
  std::vector<std::shared_ptr<Subscription>> removed;
  Replies replies;
  {
    std::lock_guard lock(mutex_);
    for (std::uint32_t sid : ids) {
      auto it = session->subscriptions.find(sid);
      if (it == session->subscriptions.end()) {
        results.push_back(kBadSubscriptionIdInvalid);
        continue;
      }
      removed.push_back(it->second);
      session->subscriptions.erase(it);
      results.push_back(kGood);
    }
    if (session->subscriptions.empty()) {
      for (auto& p : session->publishes) {
        replies.emplace_back(std::move(p.respond), encodeServiceFault(p.requestHandle, kBadNoSubscription));
      }
      session->publishes.clear();
    }
  }
  for (auto& sub : removed) {
    for (auto& [iid, item] : sub->items) {
      if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
    }
  }
  respond(statusArrayResponse(id::DeleteSubscriptionsResponse, h.requestHandle, results));
  for (auto& [r, bytes] : replies) r(std::move(bytes));
}

void UaServer::createMonitoredItems(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const std::uint32_t timestamps = d.uint32();
  // The node ids stay in the request's bytes: a call may name ten thousand items.
  struct Create : MonitoringParameters {
    NodeIdRef nodeId;
    std::uint32_t attributeId = 13;
    std::uint32_t mode = 2;
  };
  std::vector<Create> creates;
  const std::size_t n = d.arrayLength();
  // Reserved only for as many as the bytes left can hold (40 bytes the least encoding).
  creates.reserve(std::min({n, d.remaining() / 40, limits_.maxMonitoredItemsPerCall + std::size_t{1}}));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    Create& c = creates.emplace_back();
    c.nodeId = d.nodeIdRef();
    c.attributeId = d.uint32();
    d.stringView();  // index range: items are scalars
    d.uint16();      // data encoding: namespace, name
    d.stringView();
    c.mode = d.uint32();
    static_cast<MonitoringParameters&>(c) = decodeMonitoringParameters(d);
  }
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (creates.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  if (creates.size() > limits_.maxMonitoredItemsPerCall) return respond(encodeServiceFault(h.requestHandle, kBadTooManyOperations));
  if (timestamps > 3) return respond(encodeServiceFault(h.requestHandle, kBadTimestampsToReturnInvalid));
  std::shared_ptr<Subscription> sub;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it != session->subscriptions.end()) sub = it->second;
  }
  if (!sub) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));

  ClientAccess* clients = app_.clients();
  struct Result {
    StatusCode status = kGood;
    std::uint32_t id = 0;
    double sampling = 0;
    std::uint32_t queue = 0;
    ExtensionObject filterResult;
  };
  std::vector<Result> results(creates.size());
  std::vector<std::shared_ptr<MonitoredItem>> made;
  made.reserve(creates.size());
  std::uint32_t nextId = 0;
  std::size_t room = 0;  // items the totals still allow
  {
    // One block of ids for the call: ten thousand items take the lock once, not each.
    std::lock_guard lock(mutex_);
    nextId = nextMonitoredItem_;
    nextMonitoredItem_ += static_cast<std::uint32_t>(creates.size());
    const std::size_t inSession = session->monitoredItems();
    const std::size_t inServer = countMonitoredItems();
    auto left = [](std::size_t limit, std::size_t used) { return used < limit ? limit - used : 0; };
    room = std::min({left(limits_.maxMonitoredItemsPerSubscription, sub->items.size()),
                     left(limits_.maxMonitoredItemsPerSession, inSession), left(limits_.maxMonitoredItems, inServer)});
  }
  const std::vector<ElementPtr> elements =
      elementsFor(app_.getDaAddressSpaceRoot(), creates.size(), [&](std::size_t i) -> const NodeIdRef& { return creates[i].nodeId; });
  const ClientAccess::ActivationHold gather(clients);
  for (std::size_t i = 0; i < creates.size(); ++i) {
    const Create& c = creates[i];
    Result& r = results[i];
    const ElementPtr& element = elements[i];
    // The server's own variables of namespace 0 are sampled by the server itself.
    const NamespaceZeroNode* zero = nullptr;
    if (!element && c.nodeId.ns == 0 && c.nodeId.kind == NodeId::Kind::Numeric) zero = findNamespaceZero(c.nodeId.numeric);
    if (!element && !zero) {
      r.status = kBadNodeIdUnknown;
      continue;
    }
    const bool variable = element ? !element->getHasChildren() : zero->nodeClass == kVariable;
    // Events come from the Server object, the one event notifier.
    const bool eventItem = c.attributeId == kEventNotifier && zero != nullptr && zero->id == ns0::Server;
    if (!eventItem && (c.attributeId != 13 || !variable)) {
      r.status = kBadAttributeIdInvalid;
      continue;
    }
    if (element && (element->getAccessRights() & kReadable) == 0) {
      r.status = kBadNotReadable;
      continue;
    }
    if (c.mode > 2) {
      r.status = kBadMonitoringModeInvalid;
      continue;
    }
    DataChangeFilter filter;
    EventFilterSpec events;
    std::vector<StatusCode> selected;
    if (StatusCode fs = eventItem ? parseEventFilter(c.filter, events, selected) : parseFilter(c.filter, filter);
        fs != kGood) {
      r.status = fs;
      continue;
    }
    const double sampling = eventItem ? 0 : revisedSampling(element.get(), c.sampling, sub->publishingInterval);
    if (room == 0) {
      r.status = kBadTooManyMonitoredItems;
      continue;
    }
    --room;
    const std::uint32_t queue = std::clamp<std::uint32_t>(c.queueSize, 1, limits_.maxQueueSize);
    const std::uint32_t itemId = nextId++;
    auto item = std::make_shared<MonitoredItem>(itemId, c.clientHandle, element, timestamps, queue, c.discardOldest, filter,
                                                queuedValues_);
    if (eventItem) {
      item->monitoringMode = c.mode;
      item->makeEventItem(std::move(events));
      made.push_back(std::move(item));
      r = Result{kGood, itemId, 0, queue, eventFilterResult(selected)};
      continue;
    }
    item->monitoringMode = c.mode;
    item->samplingInterval = sampling;
    if (zero) {
      item->namespaceZeroId = c.nodeId.numeric;
      item->nextSample = Clock::now();  // the first notification carries the current value
    } else if (c.mode != 0 && clients != nullptr) {
      std::uint64_t handle = 0;
      clients->monitor(element, static_cast<int>(sampling), item.get(), handle);
      item->toolboxHandle = handle;
      // The first notification carries the current value.
      ValueQT current;
      element->getCacheValue(current);
      item->onValueChanged(*element, current);
    }
    made.push_back(std::move(item));
    r = Result{kGood, itemId, sampling, queue, {}};
  }
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    gone = it == session->subscriptions.end() || it->second != sub;
    if (!gone) {
      for (auto& item : made) {
        sub->items.emplace(item->id, item);
        if (item->namespaceZeroId != 0) namespaceZeroItems_.push_back(item);
      }
    }
  }
  if (gone) {
    // Deleted (or timed out) meanwhile: nothing may stay monitored for it.
    for (auto& item : made) {
      if (item->toolboxHandle != 0 && clients != nullptr) clients->unmonitor(item->toolboxHandle);
    }
    for (Result& r : results) r = Result{kBadSubscriptionIdInvalid, 0, 0, 0, {}};
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CreateMonitoredItemsResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const Result& r : results) {
    e.statusCode(r.status);
    e.uint32(r.id);
    e.float64(r.sampling);
    e.uint32(r.queue);
    e.extensionObject(r.filterResult);
  }
  e.arrayLength(0);
  respond(std::move(out));
}

void UaServer::deleteMonitoredItems(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const auto ids = uint32Array(d);
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  std::vector<StatusCode> results;
  std::vector<std::shared_ptr<MonitoredItem>> removed;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it == session->subscriptions.end()) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
    for (std::uint32_t iid : ids) {
      auto item = it->second->items.find(iid);
      if (item == it->second->items.end()) {
        results.push_back(kBadMonitoredItemIdInvalid);
        continue;
      }
      removed.push_back(item->second);
      it->second->items.erase(item);
      results.push_back(kGood);
    }
  }
  const ClientAccess::ActivationHold gather(app_.clients());
  for (auto& item : removed) {
    if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
  }
  respond(statusArrayResponse(id::DeleteMonitoredItemsResponse, h.requestHandle, results));
}

void UaServer::setMonitoringMode(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const std::uint32_t mode = d.uint32();
  const auto ids = uint32Array(d);
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  if (mode > 2) return respond(encodeServiceFault(h.requestHandle, kBadMonitoringModeInvalid));
  std::vector<StatusCode> results;
  ClientAccess* clients = app_.clients();
  std::unique_lock lock(mutex_);
  auto it = session->subscriptions.find(sid);
  if (it == session->subscriptions.end()) {
    lock.unlock();
    return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
  }
  // Under the lock, as in ModifyMonitoredItems: a subscription ending on the publishing
  // thread sees every item's monitor as it is.
  const ClientAccess::ActivationHold gather(clients);
  for (std::uint32_t iid : ids) {
    auto found = it->second->items.find(iid);
    results.push_back(found == it->second->items.end() ? kBadMonitoredItemIdInvalid : kGood);
    if (found == it->second->items.end()) continue;
    const std::shared_ptr<MonitoredItem>& item = found->second;
    // Disabling ends the toolbox's monitor (the element may be deactivated); enabling
    // starts it again.
    item->monitoringMode = mode;
    if (mode == 0 && item->toolboxHandle != 0 && clients) {
      clients->unmonitor(item->toolboxHandle);
      item->toolboxHandle = 0;
    } else if (mode != 0 && item->toolboxHandle == 0 && item->element && clients) {
      clients->monitor(item->element, static_cast<int>(item->samplingInterval), item.get(), item->toolboxHandle);
    }
  }
  lock.unlock();
  respond(statusArrayResponse(id::SetMonitoringModeResponse, h.requestHandle, results));
}

void UaServer::publish(std::uint32_t channelId, Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> acks;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    const std::uint32_t sid = d.uint32();
    acks.emplace_back(sid, d.uint32());
  }
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  Replies replies;
  {
    std::lock_guard lock(mutex_);
    Session::PendingPublish pending{std::move(respond), h.requestHandle, {}, channelId};
    for (auto [sid, seq] : acks) {
      auto it = session->subscriptions.find(sid);
      if (it == session->subscriptions.end()) pending.acknowledgements.push_back(kBadSubscriptionIdInvalid);
      else pending.acknowledgements.push_back(it->second->retransmission.erase(seq) ? kGood : kBadSequenceNumberUnknown);
    }
    if (session->subscriptions.empty()) {
      replies.emplace_back(std::move(pending.respond), encodeServiceFault(h.requestHandle, kBadNoSubscription));
    } else {
      session->publishes.push_back(std::move(pending));
      while (session->publishes.size() > limits_.maxPublishRequestsPerSession) {
        auto& oldest = session->publishes.front();
        replies.emplace_back(std::move(oldest.respond), encodeServiceFault(oldest.requestHandle, kBadTooManyPublishRequests));
        session->publishes.pop_front();
      }
    }
  }
  for (auto& [r, bytes] : replies) r(std::move(bytes));
}

void UaServer::republish(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const std::uint32_t seq = d.uint32();
  const auto session = sessionOrFault(d, h, respond);
  if (!session) return;
  std::vector<std::uint8_t> out;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it == session->subscriptions.end()) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
    auto msg = it->second->retransmission.find(seq);
    if (msg == it->second->retransmission.end()) return respond(encodeServiceFault(h.requestHandle, kBadMessageNotAvailable));
    Encoder e(out);
    beginMessage(e, id::RepublishResponse);
    encodeResponseHeader(e, h.requestHandle, kGood);
    e.raw(msg->second.data(), msg->second.size());
  }
  respond(std::move(out));
}

double UaServer::fastestSampling(const DaAddressSpaceElement* element) const {
  double fastest = limits_.minSamplingIntervalMs;
  if (element != nullptr && element->getIoMode() == kIoPoll) {
    // Whole milliseconds: the toolbox samples in them.
    fastest = std::max(fastest, std::ceil(static_cast<double>(element->readTime().count()) / 1000.0));
  }
  return std::min(fastest, limits_.maxSamplingIntervalMs);
}

double UaServer::revisedSampling(const DaAddressSpaceElement* element, double requested, double publishing) const {
  requested = finiteOr(requested, -1);
  if (requested < 0) requested = publishing;
  return std::clamp(std::ceil(requested), fastestSampling(element), limits_.maxSamplingIntervalMs);
}

void UaServer::sampleNamespaceZero() {
  std::vector<std::shared_ptr<MonitoredItem>> due;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto it = namespaceZeroItems_.begin(); it != namespaceZeroItems_.end();) {
      std::shared_ptr<MonitoredItem> item = it->lock();
      if (!item) {  // deleted with its subscription or on its own
        it = namespaceZeroItems_.erase(it);
        continue;
      }
      if (item->monitoringMode != 0 && now >= item->nextSample) {
        item->nextSample = now + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double, std::milli>(item->samplingInterval));
        due.push_back(std::move(item));
      }
      ++it;
    }
  }
  // Read outside the lock: the values come from the application.
  for (auto& item : due) item->offer(readNamespaceZero(item->namespaceZeroId, kValue, item->timestamps));
}

void UaServer::publishLoop(std::stop_token stop) {
  auto nextCheck = Clock::now();
  while (!stop.stop_requested()) {
    vexahv::platform::sleepFor(stop, std::chrono::milliseconds(10));
    // Sessions are purged when the earliest may have timed out, and at least every client
    // check period.
    if (purgeDue() || Clock::now() >= nextCheck) {
      purgeExpiredSessions();
      nextCheck = Clock::now() + std::chrono::milliseconds(std::clamp<unsigned>(app_.getClientCheckPeriod(), 100, 60000));
    }
    sampleNamespaceZero();
    Replies replies;
    std::vector<std::shared_ptr<MonitoredItem>> expiredItems;
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      std::vector<Session*> all;
      all.reserve(sessions_.size() + 1);
      for (auto& [token, session] : sessions_) all.push_back(session.get());
      all.push_back(detached_.get());  // never has a Publish: its subscriptions only age
      for (Session* session : all) {
        for (auto it = session->subscriptions.begin(); it != session->subscriptions.end();) {
          Subscription& s = *it->second;
          if (now < s.nextPublish) {
            ++it;
            continue;
          }
          const auto interval = std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double, std::milli>(s.publishingInterval));
          s.nextPublish = std::max(s.nextPublish + interval, now);
          const bool ready = s.publishingEnabled &&
                             std::any_of(s.items.begin(), s.items.end(), [](auto& kv) { return kv.second->hasNotifications(); });
          const bool keepAliveDue = !ready && (++s.keepAliveCounter >= s.maxKeepAliveCount || !s.sentOnce);
          if ((ready || keepAliveDue) && !session->publishes.empty()) {
            auto pending = std::move(session->publishes.front());
            session->publishes.pop_front();
            std::vector<std::pair<std::uint32_t, DataValue>> changes;
            std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>> events;
            bool more = false;
            if (ready) {
              for (auto& [iid, item] : s.items) {
                const std::size_t room = s.maxNotificationsPerPublish - changes.size() - events.size();
                if (room == 0) {
                  more = more || item->hasNotifications();
                  continue;
                }
                const std::size_t took = item->take(changes, room);
                item->takeEvents(events, room - took);
                more = more || item->hasNotifications();
              }
            }
            std::vector<std::uint8_t> message;
            if (!changes.empty() || !events.empty()) {
              const std::uint32_t seq = s.nextSequenceNumber++;
              if (s.nextSequenceNumber == 0) s.nextSequenceNumber = 1;
              message = encodeNotificationMessage(seq, changes, events);
              s.retransmission[seq] = message;
              while (s.retransmission.size() > kRetransmissionDepth) s.retransmission.erase(s.retransmission.begin());
            } else {
              // A keep-alive carries the next sequence number without using it.
              message = encodeNotificationMessage(s.nextSequenceNumber, {});
            }
            replies.emplace_back(std::move(pending.respond),
                                 publishResponse(pending.requestHandle, s, more, message, pending.acknowledgements));
            s.keepAliveCounter = 0;
            s.lifetimeCounter = 0;
            s.sentOnce = true;
            if (more) s.nextPublish = now;  // send the rest with the next Publish at once
          } else if ((ready || keepAliveDue) && ++s.lifetimeCounter >= s.lifetimeCount) {
            // Nobody asked for its notifications for its whole lifetime.
            for (auto& [iid, item] : s.items) expiredItems.push_back(item);
            it = session->subscriptions.erase(it);
            continue;
          }
          ++it;
        }
      }
    }
    for (auto& item : expiredItems) {
      if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
    }
    for (auto& [r, bytes] : replies) r(std::move(bytes));
  }
}

}  // namespace OpcToolbox::ua
