// Publishing: the Publish and Republish services, and the publishing thread that samples
// the variables of namespace 0, answers waiting Publish requests with notifications or
// keep-alives, and ends subscriptions whose lifetime is over.

#include <algorithm>
#include <chrono>

#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"
#include "platform/heap_tuning.h"

namespace OpcToolbox::ua {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRetransmissionDepth = 100;

// A notification message taken from a subscription under its session's lock, encoded and
// answered after it is released.
struct Outgoing {
  std::shared_ptr<Subscription> subscription;
  Session::PendingPublish publish;
  std::uint32_t sequenceNumber = 0;
  bool more = false;
  std::vector<std::uint32_t> available;  // the sequence numbers a Republish may ask for
  std::vector<std::pair<std::uint32_t, DataValue>> changes;
  std::vector<std::pair<std::uint32_t, std::vector<ua::Variant>>> events;
  bool keepAlive() const { return changes.empty() && events.empty(); }
};

std::vector<std::uint8_t> publishResponse(std::uint32_t handle, std::uint32_t subscriptionId,
                                          const std::vector<std::uint32_t>& available, bool more,
                                          const std::vector<std::uint8_t>& message,
                                          const std::vector<StatusCode>& acks) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::PublishResponse);
  encodeResponseHeader(e, handle, kGood);
  e.uint32(subscriptionId);
  e.arrayLength(static_cast<std::int32_t>(available.size()));
  for (std::uint32_t seq : available) e.uint32(seq);
  e.boolean(more);
  e.raw(message.data(), message.size());
  e.arrayLength(static_cast<std::int32_t>(acks.size()));
  for (StatusCode c : acks) e.statusCode(c);
  e.arrayLength(0);
  return out;
}

// A subscription whose publishing interval has come (under its session's lock): what it
// sends with its session's next Publish, or its keep-alive and lifetime counting. false:
// its lifetime is over.
bool publishingDue(Session& session, const std::shared_ptr<Subscription>& subscription, Clock::time_point now,
                   std::vector<Outgoing>& outgoing) {
  Subscription& s = *subscription;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(s.publishingInterval));
  s.nextPublish = std::max(s.nextPublish + interval, now);
  const bool ready = s.publishingEnabled &&
                     std::any_of(s.items.begin(), s.items.end(), [](auto& kv) { return kv.second->hasNotifications(); });
  const bool keepAliveDue = !ready && (++s.keepAliveCounter >= s.maxKeepAliveCount || !s.sentOnce);
  if (!ready && !keepAliveDue) return true;
  if (session.publishes.empty()) {
    if (!s.late) ++s.counts.late;
    s.late = true;
    return ++s.lifetimeCounter < s.lifetimeCount;
  }
  Outgoing& o = outgoing.emplace_back();
  o.subscription = subscription;
  o.publish = std::move(session.publishes.front());
  session.publishes.pop_front();
  ++s.counts.publishRequests;
  if (ready) {
    // Room for a value of each data item (the initial values, a board's changes), within
    // the message's bound: no growing and moving thousands of values on the way.
    const std::size_t dataItems = s.items.size() > s.eventItems ? s.items.size() - s.eventItems : 0;
    o.changes.reserve(std::min<std::size_t>(s.maxNotificationsPerPublish, dataItems));
    std::size_t room = s.maxNotificationsPerPublish;
    for (auto& [iid, item] : s.items) {
      if (room == 0) {
        o.more = o.more || item->hasNotifications();
        if (o.more) break;
        continue;
      }
      const std::size_t taken = item->takeAll(o.changes, o.events, room, o.more);
      room -= taken;
      if (taken == 0 || s.triggers.empty()) continue;
      // It reported: the items it triggers report what they sampled.
      auto links = s.triggers.find(iid);
      if (links == s.triggers.end()) continue;
      for (std::uint32_t linked : links->second) {
        auto it = s.items.find(linked);
        if (it != s.items.end() && room > 0) room -= it->second->takeTriggered(o.changes, o.events, room, o.more);
      }
    }
    s.counts.dataChanges += static_cast<std::uint32_t>(o.changes.size());
    s.counts.events += static_cast<std::uint32_t>(o.events.size());
  }
  // A keep-alive carries the next sequence number without using it.
  o.sequenceNumber = s.nextSequenceNumber;
  if (!o.keepAlive() && ++s.nextSequenceNumber == 0) s.nextSequenceNumber = 1;
  {
    std::lock_guard kept(s.retransmissionMutex);
    o.available.reserve(s.retransmission.size() + 1);
    for (const auto& [seq, bytes] : s.retransmission) o.available.push_back(seq);
  }
  // In the order the retransmission queue keeps them, and trimmed as it will be.
  if (!o.keepAlive()) {
    o.available.insert(std::lower_bound(o.available.begin(), o.available.end(), o.sequenceNumber), o.sequenceNumber);
  }
  if (o.available.size() > kRetransmissionDepth) {
    o.available.erase(o.available.begin(), o.available.end() - kRetransmissionDepth);
  }
  s.keepAliveCounter = 0;
  s.lifetimeCounter = 0;
  s.sentOnce = true;
  s.late = false;
  if (o.more) s.nextPublish = now;  // send the rest with the next Publish at once
  return true;
}

// The answers to the Publish requests taken; kept[i] the message of outgoing[i] for the
// retransmission queue (none for a keep-alive).
Replies encodeOutgoing(std::vector<Outgoing>& outgoing, std::vector<std::vector<std::uint8_t>>& kept) {
  Replies replies;
  replies.reserve(outgoing.size());
  for (std::size_t i = 0; i < outgoing.size(); ++i) {
    Outgoing& o = outgoing[i];
    std::vector<std::uint8_t> message = encodeNotificationMessage(o.sequenceNumber, o.changes, o.events);
    replies.emplace_back(std::move(o.publish.respond),
                         publishResponse(o.publish.requestHandle, o.subscription->id, o.available, o.more, message,
                                         o.publish.acknowledgements));
    if (!o.keepAlive()) kept[i] = std::move(message);
  }
  return replies;
}

}  // namespace

void UaServer::publish(Call& c, PublishRequest& r) {
  const std::shared_ptr<Session>& session = c.session;
  Replies replies;
  bool wake = false;
  {
    std::lock_guard lock(session->mutex);
    Session::PendingPublish pending{std::move(c.respond), c.requestHandle, {}, c.channelId};
    for (auto [sid, seq] : r.acknowledgements) {
      auto it = session->subscriptions.find(sid);
      if (it == session->subscriptions.end()) {
        pending.acknowledgements.push_back(kBadSubscriptionIdInvalid);
        continue;
      }
      std::lock_guard kept(it->second->retransmissionMutex);
      pending.acknowledgements.push_back(it->second->retransmission.erase(seq) ? kGood : kBadSequenceNumberUnknown);
    }
    if (session->subscriptions.empty()) {
      replies.emplace_back(std::move(pending.respond), encodeServiceFault(c.requestHandle, kBadNoSubscription));
    } else {
      // A subscription that had something to send when no Publish was waiting takes this one now.
      for (auto& [sid, sub] : session->subscriptions) {
        if (!sub->late) continue;
        sub->late = false;
        sub->nextPublish = Clock::now();
        wake = true;
        break;
      }
      session->publishes.push_back(std::move(pending));
      while (session->publishes.size() > limits_.maxPublishRequestsPerSession) {
        auto& oldest = session->publishes.front();
        replies.emplace_back(std::move(oldest.respond), encodeServiceFault(oldest.requestHandle, kBadTooManyPublishRequests));
        session->publishes.pop_front();
      }
    }
  }
  if (wake) wakePublisher();
  for (auto& [answer, bytes] : replies) answer(std::move(bytes));
}

void UaServer::republish(Call& c, RepublishRequest& r) {
  const std::shared_ptr<Session>& session = c.session;
  StatusCode status = kGood;
  std::vector<std::uint8_t> message;
  {
    std::lock_guard lock(session->mutex);
    auto it = session->subscriptions.find(r.subscriptionId);
    if (it == session->subscriptions.end()) {
      status = kBadSubscriptionIdInvalid;
    } else {
      ++it->second->counts.republishRequests;
      std::lock_guard kept(it->second->retransmissionMutex);
      if (auto msg = it->second->retransmission.find(r.sequenceNumber); msg != it->second->retransmission.end()) {
        message = msg->second;
        ++it->second->counts.republished;
      } else {
        status = kBadMessageNotAvailable;
      }
    }
  }
  if (status != kGood) return c.fault(status);
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::RepublishResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.raw(message.data(), message.size());
  c.respond(std::move(out));
}

Clock::time_point UaServer::sampleNamespaceZero() {
  std::vector<std::shared_ptr<MonitoredItem>> due;
  auto next = Clock::time_point::max();
  {
    std::lock_guard lock(zeroMutex_);
    const auto now = Clock::now();
    for (auto it = namespaceZeroItems_.begin(); it != namespaceZeroItems_.end();) {
      std::shared_ptr<MonitoredItem> item = it->lock();
      if (!item) {  // deleted with its subscription or on its own
        it = namespaceZeroItems_.erase(it);
        continue;
      }
      if (item->monitoringMode != 0) {
        if (now >= item->sampled->nextSample) {
          item->sampled->nextSample = now + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double, std::milli>(item->samplingInterval));
          due.push_back(item);
        }
        next = std::min(next, item->sampled->nextSample);
      }
      ++it;
    }
  }
  // Read outside the lock: the values come from the application.
  for (auto& item : due) {
    const MonitoredItem::ServerSampled& what = *item->sampled;
    if (what.namespaceZeroId != 0) {
      item->offer(readNamespaceZero(what.namespaceZeroId, kValue, item->timestamps, item->role));
    } else if (what.sessionNodeId != 0) {
      item->offer(readSessionNode(what.sessionNodeId, kValue, item->timestamps, item->role));
    } else {
      item->offer(readProperty(NodeIdRef{kNs, NodeId::Kind::String, 0, what.madeNode, {}}, kValue, item->timestamps));
    }
  }
  return next;
}

void UaServer::wakePublisher() {
  {
    std::lock_guard lock(wakeMutex_);
    wakeRequested_ = true;
  }
  wake_.notify_one();
}

void UaServer::publishLoop(std::stop_token stop) {
  auto nextCheck = Clock::now();
  auto wakeAt = Clock::now();
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(wakeMutex_);
      wake_.wait_until(lock, stop, wakeAt, [&] { return wakeRequested_; });
      wakeRequested_ = false;
    }
    if (stop.stop_requested()) break;
    // Here, not on the thread that deleted them: giving the pages back takes a few ms.
    if (takeHeapRelease()) vexahv::platform::releaseFreeHeap();
    // Sessions are purged when the earliest may have timed out, and at least every client
    // check period.
    if (purgeDue() || Clock::now() >= nextCheck) {
      purgeExpiredSessions();
      nextCheck = Clock::now() + std::chrono::milliseconds(std::clamp<unsigned>(app_.getClientCheckPeriod(), 100, 60000));
    }
    // Just past the earliest session deadline: purgeDue() holds from then.
    const auto purgeAt = Clock::time_point(Clock::duration(nextPurge_.load(std::memory_order_relaxed)));
    auto next = std::min(nextCheck, purgeAt < Clock::time_point::max() - std::chrono::milliseconds(1)
                                        ? purgeAt + std::chrono::milliseconds(1)
                                        : Clock::time_point::max());
    next = std::min(next, sampleNamespaceZero());
    next = std::min(next, expireShelves());
    std::vector<Outgoing> outgoing;
    std::vector<std::shared_ptr<MonitoredItem>> expiredItems;
    // The detached subscriptions' holder never has a Publish: its subscriptions only age.
    for (const auto& session : allSessions()) {
      std::lock_guard lock(session->mutex);
      const auto now = Clock::now();
      for (auto it = session->subscriptions.begin(); it != session->subscriptions.end();) {
        Subscription& s = *it->second;
        if (now >= s.nextPublish && !publishingDue(*session, it->second, now, outgoing)) {
          // Nobody asked for its notifications for its whole lifetime.
          for (auto& [iid, item] : s.items) expiredItems.push_back(item);
          it = session->subscriptions.erase(it);
          continue;
        }
        next = std::min(next, s.nextPublish);
        ++it;
      }
    }
    for (auto& item : expiredItems) {
      if (item->toolboxHandle != 0 && app_.clients()) app_.clients()->unmonitor(item->toolboxHandle);
    }
    // Encoded outside the lock: a large notification never holds up another client's request.
    std::vector<std::vector<std::uint8_t>> kept(outgoing.size());
    Replies replies = encodeOutgoing(outgoing, kept);
    std::uint64_t notifications = 0;
    for (const Outgoing& o : outgoing) notifications += o.changes.size() + o.events.size();
    counters_.notificationsSent.fetch_add(notifications, std::memory_order_relaxed);
    // Kept for Republish before the answer that names it is sent.
    for (std::size_t i = 0; i < outgoing.size(); ++i) {
      if (outgoing[i].keepAlive()) continue;
      Subscription& s = *outgoing[i].subscription;
      std::lock_guard lock(s.retransmissionMutex);
      s.retransmission[outgoing[i].sequenceNumber] = std::move(kept[i]);
      while (s.retransmission.size() > kRetransmissionDepth) {
        s.retransmission.erase(s.retransmission.begin());
        ++s.discardedMessages;
      }
    }
    for (auto& [answer, bytes] : replies) answer(std::move(bytes));
    wakeAt = next;
  }
}

}  // namespace OpcToolbox::ua
