// The MonitoredItem service set: CreateMonitoredItems, ModifyMonitoredItems,
// DeleteMonitoredItems and SetMonitoringMode, and the sampling intervals they revise.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <tuple>

#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_monitoring_filters.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

using Clock = std::chrono::steady_clock;

// A create as asked, checked before it takes room: the node it names (an element, or a
// variable of namespace 0 that the server samples itself), whether it watches events, and
// its filter.
struct Checked {
  StatusCode status = kGood;
  const NamespaceZeroNode* zero = nullptr;
  bool eventItem = false;
  DataChangeFilter filter;
  std::optional<PercentDeadband> percent;  // what a percent deadband was made of
  EventFilterSpec events;
  EventFilterCheck eventCheck;  // what the EventFilterResult says
};

// A percent deadband made absolute, with the percentage and range items it came from.
StatusCode percentDeadband(DataChangeFilter& filter, const ElementPtr& element, const ElementLookup& find,
                           std::optional<PercentDeadband>& percent) {
  if (filter.deadbandType != 2) return kGood;
  const double asked = filter.deadband;
  const ItemModel model = element ? itemModelOf(*element, find) : ItemModel{};
  const StatusCode status = applyPercentDeadband(filter, element ? euRangeSpan(model) : std::nullopt);
  if (status == kGood) percent = PercentDeadband{asked, model.low, model.high};
  return status;
}

// madeClass: the node class of a node the server makes (a property, a condition or its
// member), 0 for none.
Checked check(const CreateMonitoredItemsRequest::Create& c, const ElementPtr& element, std::uint32_t madeClass,
              const IsEventSubtype& types, const ElementLookup& find) {
  Checked out;
  if (!element && c.nodeId.ns == 0 && c.nodeId.kind == NodeId::Kind::Numeric) out.zero = findNamespaceZero(c.nodeId.numeric);
  if (!element && !out.zero && madeClass == 0) {
    out.status = kBadNodeIdUnknown;
    return out;
  }
  const bool variable = element    ? !element->getHasChildren()
                        : out.zero ? out.zero->nodeClass == kVariable
                                   : madeClass == kVariable;
  // Events come from the Server object (all of them) and from every branch (those of
  // what is under it).
  out.eventItem = c.attributeId == kEventNotifier &&
                  ((out.zero != nullptr && out.zero->id == ns0::Server) || (element && element->getHasChildren()));
  if (!out.eventItem && (c.attributeId != 13 || !variable)) {
    out.status = kBadAttributeIdInvalid;
  } else if (element && (element->getAccessRights() & kReadable) == 0) {
    out.status = kBadNotReadable;
  } else if (c.mode > 2) {
    out.status = kBadMonitoringModeInvalid;
  } else {
    out.status = out.eventItem ? parseEventFilter(c.filter, types, out.events, out.eventCheck) : parseFilter(c.filter, out.filter);
    // Only a percent deadband needs the item's range (the model costs lookups).
    if (out.status == kGood && !out.eventItem) out.status = percentDeadband(out.filter, element, find, out.percent);
  }
  return out;
}

}  // namespace

std::shared_ptr<Subscription> UaServer::subscriptionOf(Session& session, std::uint32_t id) {
  std::lock_guard lock(session.mutex);
  auto it = session.subscriptions.find(id);
  return it != session.subscriptions.end() ? it->second : nullptr;
}

void UaServer::createMonitoredItems(Call& call, CreateMonitoredItemsRequest& request) {
  const std::uint32_t sid = request.subscriptionId;
  const std::uint32_t timestamps = request.timestampsToReturn;
  const auto& creates = request.items;
  const std::shared_ptr<Session>& session = call.session;
  if (timestamps > 3) return call.fault(kBadTimestampsToReturnInvalid);
  const std::shared_ptr<Subscription> sub = subscriptionOf(*session, sid);
  if (!sub) return call.fault(kBadSubscriptionIdInvalid);

  ClientAccess* clients = app_.clients();
  struct Result {
    StatusCode status = kGood;
    std::uint32_t id = 0;
    double sampling = 0;
    std::uint32_t queue = 0;
  };
  std::vector<Result> results(creates.size());
  // The few items that have one (event items, refused where clauses), by position: ten
  // thousand data items carry none.
  std::map<std::size_t, ExtensionObject> filterResults;
  std::vector<std::shared_ptr<MonitoredItem>> made;
  made.reserve(creates.size());
  bool initialValues = false;  // a data item that reports was made
  std::uint32_t nextId = 0;
  std::size_t room = 0;  // items the totals still allow
  {
    // One block of ids for the call.
    nextId = nextMonitoredItem_.fetch_add(static_cast<std::uint32_t>(creates.size()));
    const std::size_t inServer = monitoredItemCount();
    std::lock_guard lock(session->mutex);
    const std::size_t inSession = session->monitoredItems();
    auto left = [](std::size_t limit, std::size_t used) { return used < limit ? limit - used : 0; };
    room = std::min({left(limits_.maxMonitoredItemsPerSubscription, sub->items.size()),
                     left(limits_.maxMonitoredItemsPerSession, inSession), left(limits_.maxMonitoredItems, inServer)});
  }
  const std::vector<ElementPtr> elements =
      elementsFor(app_.getDaAddressSpaceRoot(), creates.size(), [&](std::size_t i) -> const NodeIdRef& { return creates[i].nodeId; });
  const ClientAccess::ActivationHold gather(clients);
  const ElementLookup find = lookup();
  // The toolbox's items are monitored together once made, under one of its locks.
  std::vector<ClientAccess::MonitorAsk> asks;
  std::vector<MonitoredItem*> monitored;
  asks.reserve(creates.size());
  monitored.reserve(creates.size());
  for (std::size_t i = 0; i < creates.size(); ++i) {
    const auto& c = creates[i];
    Result& r = results[i];
    const ElementPtr& element = elements[i];
    const std::uint32_t madeClass = element ? 0 : madeNodeClass(c.nodeId);
    Checked checked = check(c, element, madeClass, eventTypes_, find);
    if (checked.status != kGood) {
      r.status = checked.status;
      // A refused where clause is explained element by element.
      if (!checked.eventCheck.where.empty()) filterResults[i] = eventFilterResult(checked.eventCheck);
      continue;
    }
    const NamespaceZeroNode* zero = checked.zero;
    const bool eventItem = checked.eventItem;
    DataChangeFilter& filter = checked.filter;
    EventFilterSpec& events = checked.events;
    const double sampling = eventItem ? 0 : revisedSampling(element.get(), c.sampling, sub->publishingInterval);
    if (room == 0) {
      r.status = kBadTooManyMonitoredItems;
      continue;
    }
    --room;
    const std::uint32_t queue =
        std::clamp<std::uint32_t>(c.queueSize, 1, eventItem ? limits_.maxEventQueueSize : limits_.maxQueueSize);
    const std::uint32_t itemId = nextId++;
    auto item = std::make_shared<MonitoredItem>(itemId, c.clientHandle, element, timestamps, queue, c.discardOldest, filter,
                                                eventItem ? queuedEvents_ : queuedValues_);
    if (eventItem) {
      item->monitoringMode = c.mode;
      item->makeEventItem(std::move(events), element ? element->getItemId() : std::string());
      made.push_back(std::move(item));
      r = Result{kGood, itemId, 0, queue};
      filterResults[i] = eventFilterResult(checked.eventCheck);
      continue;
    }
    item->monitoringMode = c.mode;
    item->samplingInterval = sampling;
    if (checked.percent) item->setPercentDeadband(std::move(checked.percent));
    if (zero || madeClass != 0) {
      item->role = call.role;
      auto sampled = std::make_unique<MonitoredItem::ServerSampled>();
      if (zero) sampled->namespaceZeroId = c.nodeId.numeric;
      else if (c.nodeId.kind == NodeId::Kind::Numeric) sampled->sessionNodeId = c.nodeId.numeric;
      else sampled->madeNode = std::string(c.nodeId.text);
      sampled->nextSample = Clock::now();  // the first notification carries the current value
      item->sampled = std::move(sampled);
    } else if (c.mode != 0 && clients != nullptr) {
      asks.push_back(ClientAccess::MonitorAsk{&item->element, static_cast<int>(sampling), item.get(), 0});
      monitored.push_back(item.get());
    }
    initialValues = initialValues || c.mode == 2;
    made.push_back(std::move(item));
    r = Result{kGood, itemId, sampling, queue};
  }
  if (!asks.empty()) clients->monitorMany(asks);
  for (std::size_t k = 0; k < asks.size(); ++k) {
    MonitoredItem& item = *monitored[k];
    item.toolboxHandle = asks[k].handle;
    // The first notification carries the current value, taken once the item is
    // monitored, so that no change falls between the two.
    ValueQT current;
    item.element->getCacheValue(current);
    item.onValueChanged(*item.element, current);
  }
  bool gone = false;
  bool sampleNow = false;  // a variable of namespace 0 is sampled first by the publishing thread
  {
    std::lock_guard lock(session->mutex);
    auto it = session->subscriptions.find(sid);
    gone = it == session->subscriptions.end() || it->second != sub;
    if (!gone) {
      for (auto& item : made) {
        sub->items.emplace(item->id, item);
        if (item->isEventItem()) ++sub->eventItems;
        if (item->sampledByServer()) {
          std::lock_guard zero(zeroMutex_);
          namespaceZeroItems_.push_back(item);
          sampleNow = true;
        }
      }
    }
  }
  if (sampleNow) wakePublisher();
  if (gone) {
    // Deleted (or timed out) meanwhile: nothing may stay monitored for it.
    for (auto& item : made) {
      if (item->toolboxHandle != 0 && clients != nullptr) clients->unmonitor(item->toolboxHandle);
    }
    for (Result& r : results) r = Result{kBadSubscriptionIdInvalid, 0, 0, 0};
    filterResults.clear();
  }
  std::vector<std::uint8_t> out;
  out.reserve(64 + 24 * results.size());  // a result without a filter's is 23 bytes
  Encoder e(out);
  beginMessage(e, id::CreateMonitoredItemsResponse);
  encodeResponseHeader(e, call.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  const ExtensionObject none;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    e.statusCode(r.status);
    e.uint32(r.id);
    e.float64(r.sampling);
    e.uint32(r.queue);
    const auto filter = filterResults.find(i);
    e.extensionObject(filter != filterResults.end() ? filter->second : none);
  }
  e.arrayLength(0);
  call.respond(std::move(out));
  // The initial values go out now rather than at the end of the publishing interval under
  // way, and after the answer that names their items.
  if (gone || !initialValues) return;
  {
    std::lock_guard lock(session->mutex);
    if (!sub->publishingEnabled || session->subscriptions.count(sid) == 0) return;
    sub->nextPublish = Clock::now();
  }
  wakePublisher();
}

void UaServer::modifyMonitoredItems(Call& c, ModifyMonitoredItemsRequest& request) {
  const std::uint32_t sid = request.subscriptionId;
  const std::uint32_t timestamps = request.timestampsToReturn;
  const auto& mods = request.items;
  const std::shared_ptr<Session>& session = c.session;
  if (timestamps > 3) return c.fault(kBadTimestampsToReturnInvalid);
  const std::shared_ptr<Subscription> sub = subscriptionOf(*session, sid);
  if (!sub) return c.fault(kBadSubscriptionIdInvalid);
  ClientAccess* clients = app_.clients();
  std::vector<std::tuple<StatusCode, double, std::uint32_t>> results;
  for (const auto& m : mods) {
    // Under the session's lock throughout: a subscription that ends meanwhile (its lifetime, its
    // session's time-out, on the publishing thread) then finds each item's monitor as it is.
    std::lock_guard lock(session->mutex);
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
      EventFilterCheck eventCheck;
      if (StatusCode fs = parseEventFilter(m.filter, eventTypes_, events, eventCheck); fs != kGood) {
        results.emplace_back(fs, 0, 0);
        continue;
      }
      const std::uint32_t queue = std::clamp<std::uint32_t>(m.queueSize, 1, limits_.maxEventQueueSize);
      item->modifyEvents(m.clientHandle, queue, m.discardOldest, std::move(events));
      results.emplace_back(kGood, 0, queue);
      continue;
    }
    DataChangeFilter filter;
    std::optional<PercentDeadband> percent;
    StatusCode fs = parseFilter(m.filter, filter);
    if (fs == kGood && filter.deadbandType == 2) fs = percentDeadband(filter, item->element, lookup(), percent);
    if (fs != kGood) {
      results.emplace_back(fs, 0, 0);
      continue;
    }
    const double sampling = revisedSampling(item->element.get(), m.sampling, sub->publishingInterval);
    const std::uint32_t queue = std::clamp<std::uint32_t>(m.queueSize, 1, limits_.maxQueueSize);
    item->modify(m.clientHandle, queue, m.discardOldest, filter);
    item->setPercentDeadband(std::move(percent));
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
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& [code, sampling, queue] : results) {
    e.statusCode(code);
    e.float64(sampling);
    e.uint32(queue);
    e.extensionObject(ExtensionObject{});
  }
  e.arrayLength(0);
  c.respond(std::move(out));
}

void UaServer::deleteMonitoredItems(Call& c, MonitoredItemsRequest& request) {
  const std::uint32_t sid = request.subscriptionId;
  const std::vector<std::uint32_t>& ids = request.itemIds;
  const std::shared_ptr<Session>& session = c.session;
  std::vector<StatusCode> results;
  std::vector<std::shared_ptr<MonitoredItem>> removed;
  bool known = false;
  {
    std::lock_guard lock(session->mutex);
    auto it = session->subscriptions.find(sid);
    known = it != session->subscriptions.end();
    for (std::uint32_t iid : ids) {
      if (!known) break;
      auto item = it->second->items.find(iid);
      if (item == it->second->items.end()) {
        results.push_back(kBadMonitoredItemIdInvalid);
        continue;
      }
      removed.push_back(item->second);
      if (item->second->isEventItem()) --it->second->eventItems;
      it->second->items.erase(item);
      it->second->unlink(iid);
      results.push_back(kGood);
    }
  }
  if (!known) return c.fault(kBadSubscriptionIdInvalid);
  const ClientAccess::ActivationHold gather(app_.clients());
  for (auto& item : removed) {
    if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
  }
  removed.clear();
  if (heapReleaseDue()) wakePublisher();
  c.respond(encodeStatusResults(id::DeleteMonitoredItemsResponse, c.requestHandle, results));
}

void UaServer::setTriggering(Call& c, SetTriggeringRequest& r) {
  std::vector<StatusCode> added, removed;
  {
    std::lock_guard lock(c.session->mutex);
    auto it = c.session->subscriptions.find(r.subscriptionId);
    if (it == c.session->subscriptions.end()) return c.fault(kBadSubscriptionIdInvalid);
    Subscription& sub = *it->second;
    if (sub.items.count(r.triggeringItemId) == 0) return c.fault(kBadMonitoredItemIdInvalid);
    // Removals first (OPC UA Part 4, 5.12.5): a link both removed and added stays.
    for (std::uint32_t id : r.linksToRemove) {
      auto links = sub.triggers.find(r.triggeringItemId);
      const bool had = links != sub.triggers.end() && links->second.erase(id) != 0;
      if (links != sub.triggers.end() && links->second.empty()) sub.triggers.erase(links);
      removed.push_back(had ? kGood : kBadMonitoredItemIdInvalid);
    }
    for (std::uint32_t id : r.linksToAdd) {
      const bool known = sub.items.count(id) != 0;
      if (known) sub.triggers[r.triggeringItemId].insert(id);
      added.push_back(known ? kGood : kBadMonitoredItemIdInvalid);
    }
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::SetTriggeringResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  for (const auto* results : {&added, &removed}) {
    e.arrayLength(static_cast<std::int32_t>(results->size()));
    for (StatusCode s : *results) e.statusCode(s);
    e.arrayLength(0);  // no diagnostics
  }
  c.respond(std::move(out));
}

void UaServer::setMonitoringMode(Call& c, MonitoredItemsRequest& request) {
  const std::uint32_t sid = request.subscriptionId;
  const std::uint32_t mode = request.monitoringMode;
  const std::vector<std::uint32_t>& ids = request.itemIds;
  const std::shared_ptr<Session>& session = c.session;
  if (mode > 2) return c.fault(kBadMonitoringModeInvalid);
  std::vector<StatusCode> results;
  ClientAccess* clients = app_.clients();
  std::unique_lock lock(session->mutex);
  auto it = session->subscriptions.find(sid);
  if (it == session->subscriptions.end()) {
    lock.unlock();
    return c.fault(kBadSubscriptionIdInvalid);
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
  if (mode != 0) wakePublisher();  // a variable of namespace 0 may be due again
  c.respond(encodeStatusResults(id::SetMonitoringModeResponse, c.requestHandle, results));
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

}  // namespace OpcToolbox::ua
