// The Subscription and MonitoredItem service sets, and the publishing loop.

#include <algorithm>
#include <chrono>
#include <cmath>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/ua_node_mapping.h"
#include "opctoolbox/ua/ua_server_internal.h"
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

}  // namespace

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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  struct Create {
    ReadValueId item;
    std::uint32_t mode = 2;
    std::uint32_t clientHandle = 0;
    double sampling = 0;
    ExtensionObject filter;
    std::uint32_t queueSize = 1;
    bool discardOldest = true;
  };
  std::vector<Create> creates;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    Create c;
    c.item.nodeId = d.nodeId();
    c.item.attributeId = d.uint32();
    c.item.indexRange = d.string();
    c.item.dataEncoding = d.qualifiedName();
    c.mode = d.uint32();
    c.clientHandle = d.uint32();
    c.sampling = d.float64();
    c.filter = d.extensionObject();
    c.queueSize = d.uint32();
    c.discardOldest = d.boolean();
    creates.push_back(std::move(c));
  }
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  const double minRate = app_.getMinUpdateRateDa();
  struct Result {
    StatusCode status = kGood;
    std::uint32_t id = 0;
    double sampling = 0;
    std::uint32_t queue = 0;
  };
  std::vector<Result> results(creates.size());
  for (std::size_t i = 0; i < creates.size(); ++i) {
    const Create& c = creates[i];
    Result& r = results[i];
    const ElementPtr element = (c.item.nodeId.ns == kNs && c.item.nodeId.kind == NodeId::Kind::String && root)
                                   ? root->findElement(c.item.nodeId.text)
                                   : nullptr;
    if (!element) {
      const bool ns0 = c.item.nodeId.ns == 0 && std::any_of(nodes_.begin(), nodes_.end(), [&](const Node& node) {
        return c.item.nodeId.kind == NodeId::Kind::Numeric && node.id == c.item.nodeId.numeric;
      });
      r.status = ns0 ? kBadNotSupported : kBadNodeIdUnknown;
      continue;
    }
    if (c.item.attributeId != 13 || element->getHasChildren()) {
      r.status = kBadAttributeIdInvalid;
      continue;
    }
    if (c.mode > 2) {
      r.status = kBadMonitoringModeInvalid;
      continue;
    }
    DataChangeFilter filter;
    if (!c.filter.typeId.isNull()) {
      if (!(c.filter.typeId == NodeId::numericId(0, id::DataChangeFilter)) || c.filter.encoding != 1) {
        r.status = kBadFilterNotAllowed;
        continue;
      }
      Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(c.filter.body.data()), c.filter.body.size()));
      filter.trigger = f.uint32();
      filter.deadbandType = f.uint32();
      filter.deadband = f.float64();
      if (!f.ok() || filter.trigger > 2 || filter.deadbandType > 2 || !(filter.deadband >= 0)) {
        r.status = kBadMonitoredItemFilterUnsupported;
        continue;
      }
      if (filter.deadbandType == 2) {
        r.status = kBadMonitoredItemFilterUnsupported;  // percent deadband needs an EU range
        continue;
      }
    }
    const double requested = finiteOr(c.sampling, -1);
    const double sampling = std::clamp(requested < 0 ? sub->publishingInterval : requested, minRate, 3600000.0);
    const std::uint32_t queue = std::clamp<std::uint32_t>(c.queueSize, 1, 1000);
    std::uint32_t itemId = 0;
    {
      std::lock_guard lock(mutex_);
      itemId = nextMonitoredItem_++;
    }
    auto item = std::make_shared<MonitoredItem>(itemId, c.clientHandle, element, timestamps, queue, c.discardOldest, filter);
    item->monitoringMode = c.mode;
    item->samplingInterval = sampling;
    if (c.mode != 0 && clients != nullptr) {
      std::uint64_t handle = 0;
      clients->monitor(element, static_cast<int>(sampling), item.get(), handle);
      item->toolboxHandle = handle;
      // The first notification carries the current value.
      ValueQT current;
      element->getCacheValue(current);
      item->onValueChanged(*element, current);
    }
    {
      std::lock_guard lock(mutex_);
      sub->items.emplace(itemId, item);
    }
    r = Result{kGood, itemId, sampling, queue};
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
    e.extensionObject(ExtensionObject{});
  }
  e.arrayLength(0);
  respond(std::move(out));
}

void UaServer::deleteMonitoredItems(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const std::uint32_t sid = d.uint32();
  const auto ids = uint32Array(d);
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
  if (ids.empty()) return respond(encodeServiceFault(h.requestHandle, kBadNothingToDo));
  if (mode > 2) return respond(encodeServiceFault(h.requestHandle, kBadMonitoringModeInvalid));
  std::vector<StatusCode> results;
  std::vector<std::shared_ptr<MonitoredItem>> items;
  {
    std::lock_guard lock(mutex_);
    auto it = session->subscriptions.find(sid);
    if (it == session->subscriptions.end()) return respond(encodeServiceFault(h.requestHandle, kBadSubscriptionIdInvalid));
    for (std::uint32_t iid : ids) {
      auto item = it->second->items.find(iid);
      results.push_back(item == it->second->items.end() ? kBadMonitoredItemIdInvalid : kGood);
      if (item != it->second->items.end()) items.push_back(item->second);
    }
  }
  ClientAccess* clients = app_.clients();
  for (auto& item : items) {
    // Disabling ends the toolbox's monitor (the element may be deactivated); enabling
    // starts it again.
    item->monitoringMode = mode;
    if (mode == 0 && item->toolboxHandle != 0 && clients) {
      clients->unmonitor(item->toolboxHandle);
      item->toolboxHandle = 0;
    } else if (mode != 0 && item->toolboxHandle == 0 && clients) {
      clients->monitor(item->element, static_cast<int>(item->samplingInterval), item.get(), item->toolboxHandle);
    }
  }
  respond(statusArrayResponse(id::SetMonitoringModeResponse, h.requestHandle, results));
}

void UaServer::publish(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> acks;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    const std::uint32_t sid = d.uint32();
    acks.emplace_back(sid, d.uint32());
  }
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
  Replies replies;
  {
    std::lock_guard lock(mutex_);
    Session::PendingPublish pending{std::move(respond), h.requestHandle, {}};
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
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(h, status);
  if (status != kGood) return respond(encodeServiceFault(h.requestHandle, status));
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

void UaServer::publishLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    vexahv::platform::sleepFor(stop, std::chrono::milliseconds(10));
    Replies replies;
    std::vector<std::shared_ptr<MonitoredItem>> expiredItems;
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      for (auto& [token, session] : sessions_) {
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
            bool more = false;
            if (ready) {
              for (auto& [iid, item] : s.items) {
                const std::size_t room = s.maxNotificationsPerPublish - changes.size();
                if (room == 0) {
                  more = more || item->hasNotifications();
                  continue;
                }
                item->take(changes, room);
                more = more || item->hasNotifications();
              }
            }
            std::vector<std::uint8_t> message;
            if (!changes.empty()) {
              const std::uint32_t seq = s.nextSequenceNumber++;
              if (s.nextSequenceNumber == 0) s.nextSequenceNumber = 1;
              message = encodeNotificationMessage(seq, changes);
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
