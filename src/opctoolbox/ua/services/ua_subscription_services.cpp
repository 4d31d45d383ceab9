// The Subscription service set: CreateSubscription, ModifySubscription, SetPublishingMode,
// DeleteSubscriptions and TransferSubscriptions.

#include <algorithm>
#include <chrono>

#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMinPublishingInterval = 50;
constexpr double kMaxPublishingInterval = 3600000;

void revise(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive, std::uint32_t maxNotif,
            std::uint32_t serverMax) {
  s.publishingInterval = std::clamp(interval, kMinPublishingInterval, kMaxPublishingInterval);
  s.maxKeepAliveCount = std::clamp<std::uint32_t>(keepAlive, 1, 10000);
  s.lifetimeCount = std::max<std::uint32_t>(lifetime, 3 * s.maxKeepAliveCount);
  s.maxNotificationsPerPublish = (maxNotif == 0 || maxNotif > serverMax) ? serverMax : maxNotif;
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

void UaServer::createSubscription(Call& c, CreateSubscriptionRequest& r) {
  const std::shared_ptr<Session>& session = c.session;
  auto sub = std::make_shared<Subscription>();
  bool full = false;
  {
    std::lock_guard lock(session->mutex);
    full = session->subscriptions.size() >= limits_.maxSubscriptionsPerSession;
    if (!full) {
      sub->id = nextSubscription_++;
      revise(*sub, finiteOr(r.publishingInterval, 0), r.lifetimeCount, r.maxKeepAliveCount,
             r.maxNotificationsPerPublish, limits_.maxNotificationsPerPublish);
      sub->publishingEnabled = r.publishingEnabled;
      sub->priority = r.priority;
      sub->client = session->clientUri;
      sub->nextPublish = Clock::now();
      session->subscriptions.emplace(sub->id, sub);
    }
  }
  if (full) return c.fault(kBadTooManySubscriptions);
  counters_.add(counters_.cumulatedSubscriptions);
  wakePublisher();  // its first publishing interval starts now
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CreateSubscriptionResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.uint32(sub->id);
  e.float64(sub->publishingInterval);
  e.uint32(sub->lifetimeCount);
  e.uint32(sub->maxKeepAliveCount);
  c.respond(std::move(out));
}

void UaServer::modifySubscription(Call& c, ModifySubscriptionRequest& r) {
  const std::shared_ptr<Session>& session = c.session;
  double interval = 0;
  std::uint32_t lifetime = 0, keepAlive = 0;
  {
    std::lock_guard lock(session->mutex);
    auto it = session->subscriptions.find(r.subscriptionId);
    if (it != session->subscriptions.end()) {
      Subscription& s = *it->second;
      revise(s, finiteOr(r.publishingInterval, 0), r.lifetimeCount, r.maxKeepAliveCount, r.maxNotificationsPerPublish,
             limits_.maxNotificationsPerPublish);
      s.priority = r.priority;
      ++s.counts.modify;
      interval = s.publishingInterval;
      lifetime = s.lifetimeCount;
      keepAlive = s.maxKeepAliveCount;
    }
  }
  if (lifetime == 0) return c.fault(kBadSubscriptionIdInvalid);  // a revised lifetime is never 0
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::ModifySubscriptionResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.float64(interval);
  e.uint32(lifetime);
  e.uint32(keepAlive);
  c.respond(std::move(out));
}

void UaServer::setPublishingMode(Call& c, SubscriptionsRequest& request) {
  const std::vector<std::uint32_t>& ids = request.subscriptionIds;
  const bool enabled = request.flag;
  const std::shared_ptr<Session>& session = c.session;
  std::vector<StatusCode> results;
  {
    std::lock_guard lock(session->mutex);
    for (std::uint32_t sid : ids) {
      auto it = session->subscriptions.find(sid);
      if (it == session->subscriptions.end()) {
        results.push_back(kBadSubscriptionIdInvalid);
        continue;
      }
      it->second->publishingEnabled = enabled;
      ++(enabled ? it->second->counts.enable : it->second->counts.disable);
      results.push_back(kGood);
    }
  }
  c.respond(encodeStatusResults(id::SetPublishingModeResponse, c.requestHandle, results));
}

void UaServer::deleteSubscriptions(Call& c, SubscriptionsRequest& request) {
  const std::vector<std::uint32_t>& ids = request.subscriptionIds;
  const std::shared_ptr<Session>& session = c.session;
  std::vector<StatusCode> results;
  std::vector<std::shared_ptr<Subscription>> removed;
  Replies replies;
  {
    std::lock_guard lock(session->mutex);
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
  removed.clear();
  if (heapReleaseDue()) wakePublisher();
  c.respond(encodeStatusResults(id::DeleteSubscriptionsResponse, c.requestHandle, results));
  for (auto& [answer, bytes] : replies) answer(std::move(bytes));
}

void UaServer::transferSubscriptions(Call& c, SubscriptionsRequest& request) {
  const std::vector<std::uint32_t>& ids = request.subscriptionIds;
  const bool sendInitialValues = request.flag;
  const std::shared_ptr<Session>& session = c.session;
  std::vector<std::pair<StatusCode, std::vector<std::uint32_t>>> results;
  std::vector<std::shared_ptr<Subscription>> moved;
  Replies replies;
  const std::vector<std::shared_ptr<Session>> owners = allSessions();
  for (std::uint32_t sid : ids) {
    std::shared_ptr<Subscription> found;
    bool full = false;
    for (const auto& other : owners) {
      // Both sessions' locks at once; std::lock never deadlocks with a transfer the other way.
      std::unique_lock<std::mutex> mine(session->mutex, std::defer_lock), theirs;
      if (other == session) {
        mine.lock();
      } else {
        theirs = std::unique_lock<std::mutex>(other->mutex, std::defer_lock);
        std::lock(mine, theirs);
      }
      auto it = other->subscriptions.find(sid);
      if (it == other->subscriptions.end()) continue;
      if (other != session && session->subscriptions.size() >= limits_.maxSubscriptionsPerSession) {
        full = true;  // it stays where it is
        break;
      }
      found = it->second;
      ++found->counts.transferRequests;
      if (other != session) {
        // From another session of the same client (one that reconnected), or another's.
        ++(found->client == session->clientUri ? found->counts.transferredToSameClient
                                               : found->counts.transferredToAltClient);
        found->client = session->clientUri;
        for (auto& [iid, item] : found->items) item->role = c.role;  // what it may read is its new session's
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
    {
      std::lock_guard kept(found->retransmissionMutex);
      for (const auto& [seq, bytes] : found->retransmission) available.push_back(seq);
    }
    results.emplace_back(kGood, std::move(available));
    moved.push_back(found);
  }
  if (sendInitialValues) {
    for (auto& sub : moved) {
      for (auto& [iid, item] : sub->items) item->resend();
    }
  }
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::TransferSubscriptionsResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& [code, available] : results) {
    e.statusCode(code);
    e.arrayLength(static_cast<std::int32_t>(available.size()));
    for (std::uint32_t seq : available) e.uint32(seq);
  }
  e.arrayLength(0);
  c.respond(std::move(out));
  for (auto& [answer, bytes] : replies) answer(std::move(bytes));
}

}  // namespace OpcToolbox::ua
