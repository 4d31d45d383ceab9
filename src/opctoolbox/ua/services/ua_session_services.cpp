// The Session service set: CreateSession, ActivateSession and CloseSession, and the
// sessions' lifetimes (a request's look-up, the purge of those that timed out).

#include <algorithm>
#include <chrono>

#include "opctoolbox/ua/security/ua_login_guard.h"
#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

using Clock = std::chrono::steady_clock;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

void UaServer::purgeExpiredSessions() {
  std::vector<std::shared_ptr<Session>> expired;
  {
    std::lock_guard lock(sessionsMutex_);
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      const auto deadline = it->second->lastUsed + it->second->timeout;
      if (now > deadline) {
        expired.push_back(it->second);
        it = sessions_.erase(it);
      } else {
        next = std::min(next, deadline);
        ++it;
      }
    }
    // Requests only move deadlines later: purging at this one finds nothing to do, or the
    // sessions that really timed out.
    nextPurge_.store(next.time_since_epoch().count(), std::memory_order_relaxed);
  }
  counters_.add(counters_.sessionTimeouts, static_cast<std::uint32_t>(expired.size()));
  // A session that timed out ends as if closed: disconnectSession for the toolbox.
  for (auto& s : expired) releaseSession(s);
}

bool UaServer::purgeDue() const noexcept {
  return Clock::now().time_since_epoch().count() > nextPurge_.load(std::memory_order_relaxed);
}

std::shared_ptr<Session> UaServer::sessionFor(const RequestHeader& h, std::uint32_t channelId, StatusCode& status,
                                              bool sameChannel, Role* role) {
  // Only the asking session's expiry is looked at here; the others are purged by the
  // publishing thread every client check period (and before a session is created), so a
  // request never scans every session.
  std::shared_ptr<Session> found, expired;
  status = kBadSessionIdInvalid;
  {
    std::lock_guard lock(sessionsMutex_);
    auto it = h.authenticationToken.kind == NodeId::Kind::Opaque ? sessions_.find(h.authenticationToken.text)
                                                                  : sessions_.end();
    if (it != sessions_.end()) {
      const auto now = Clock::now();
      if (now - it->second->lastUsed > it->second->timeout) {
        expired = it->second;
        sessions_.erase(it);
      } else {
        found = it->second;
        found->lastUsed = now;
        if (role != nullptr) *role = found->role;
        status = !found->activated ? kBadSessionNotActivated
                 // A session answers only on the channel that activated it: its token alone,
                 // seen or guessed, opens nothing from another connection.
                 : sameChannel && found->channelId != channelId ? kBadSecureChannelIdInvalid
                                                                      : kGood;
      }
    }
  }
  // A session that timed out ends as if closed: disconnectSession for the toolbox.
  if (expired) {
    counters_.add(counters_.sessionTimeouts);
    releaseSession(expired);
  }
  return found;
}

void UaServer::createSession(Call& c, CreateSessionRequest& r) {
  const std::uint32_t channelId = c.channelId;
  // Sessions that timed out free their places before this one is counted.
  purgeExpiredSessions();
  const auto channel = channelSecurity(channelId);
  const SecurityConfiguration& config = security();
  SignatureData serverSignature;
  if (channel) {
    auto refuse = [&](StatusCode rc) {
      audit(true, [&] {
        return "refused CreateSession of [" + r.clientApplicationUri + "] from [" + channelPeer(channelId) +
               "] policy [" + std::string(policyName(*channel)) + "] (" +
               statusName(rc) + ")";
      });
      counters_.sessionRefused(rc);
      c.fault(rc);
    };
    if (const StatusCode rc = config.sessionAllowed(*channel); rc != kGood) return refuse(rc);
    if (const crypto::Certificate* client = channel->clientCertificate(); client != nullptr) {
      // The session belongs to the application whose certificate secures the channel.
      const crypto::Certificate sent = crypto::Certificate::fromDer(bytesOf(r.clientCertificate));
      if (!sent || sent.der() != client->der()) return refuse(kBadCertificateInvalid);
      if (client->applicationUri() != r.clientApplicationUri) return refuse(kBadCertificateUriInvalid);
      if (const StatusCode rc = config.signSession(*channel, client->der(), bytesOf(r.clientNonce), serverSignature);
          rc != kGood) {
        return refuse(rc);
      }
    }
  }
  auto s = std::make_shared<Session>();
  s->token = randomBytes(16);
  s->name = r.clientName.empty() ? r.sessionName : r.clientName;
  s->channelId = channelId;
  s->serverNonce = randomBytes(32);
  s->created = nowTicks();
  s->endpointUrl = r.endpointUrl;
  s->clientUri = r.clientApplicationUri;
  s->clientProductUri = r.clientProductUri;
  s->clientType = r.clientApplicationType;
  s->maxResponseMessageSize = r.maxResponseMessageSize;
  if (channel) {
    s->policyUri = std::string(channel->policyUri());
    s->securityMode = channel->securityMode();
    if (const crypto::Certificate* client = channel->clientCertificate()) {
      s->clientThumbprint = client->thumbprint();
      const auto& der = client->der();
      s->clientCertificate.assign(der.begin(), der.end());
    }
  }
  const double ms = std::clamp(finiteOr(r.requestedTimeout, 0), limits_.minSessionTimeoutMs, limits_.maxSessionTimeoutMs);
  s->timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
  std::shared_ptr<Session> dropped;
  {
    std::lock_guard lock(sessionsMutex_);
    if (auto info = channels_.find(channelId); info != channels_.end()) s->peer = info->second.peer;
    std::size_t fromPeer = 0;
    for (const auto& [token, other] : sessions_) fromPeer += other->peer == s->peer ? 1 : 0;
    const bool peerFull = fromPeer >= limits_.maxSessionsPerAddress;
    if (peerFull || sessions_.size() >= limits_.maxSessions) {
      // A client that created a session and never activated it gives way to one that comes
      // now (from the same address, when that address has taken its share).
      auto oldest = sessions_.end();
      for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
        const Session& candidate = *it->second;
        if (candidate.activated || (peerFull && candidate.peer != s->peer)) continue;
        if (oldest == sessions_.end() || candidate.lastUsed < oldest->second->lastUsed) oldest = it;
      }
      if (oldest == sessions_.end()) {
        counters_.sessionRefused(kBadTooManySessions);
        return c.fault(kBadTooManySessions);
      }
      dropped = oldest->second;
      sessions_.erase(oldest);
    }
    s->sessionId = NodeId::numericId(kNs, 0x10000000u + nextSession_++);
    sessions_.emplace(s->token, s);
    const std::int64_t deadline = (s->lastUsed + s->timeout).time_since_epoch().count();
    if (deadline < nextPurge_.load(std::memory_order_relaxed)) nextPurge_.store(deadline, std::memory_order_relaxed);
  }
  counters_.add(counters_.cumulatedSessions);
  if (dropped) {
    counters_.add(counters_.sessionAborts);
    releaseSession(dropped);
  }
  wakePublisher();  // its time-out may be the earliest
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CreateSessionResponse);
  encodeResponseHeader(e, r.header.requestHandle, kGood);
  e.nodeId(s->sessionId);
  NodeId token;
  token.ns = kNs;
  token.kind = NodeId::Kind::Opaque;
  token.text = s->token;
  e.nodeId(token);
  e.float64(ms);
  e.byteString(UaString{s->serverNonce});
  e.byteString(config.serverCertificate());
  encodeEndpointDescriptions(e, r.endpointUrl.empty() ? endpointUrl_ : r.endpointUrl, identity(), config);
  e.arrayLength(0);  // software certificates
  e.string(serverSignature.algorithm.empty() ? UaString{} : UaString{serverSignature.algorithm});
  e.byteString(serverSignature.signature.empty()
                   ? UaString{}
                   : UaString{std::string(serverSignature.signature.begin(), serverSignature.signature.end())});
  e.uint32(0);  // max request message size: the transport's limit
  c.respond(std::move(out));
}

void UaServer::activateSession(Call& c, ActivateSessionRequest& r) {
  const std::uint32_t channelId = c.channelId;
  const std::shared_ptr<Session> s = c.session;
  const SecurityConfiguration& config = security();
  const auto known = channelSecurity(channelId);
  const ChannelSecurity& channel = known ? *known : plainChannel();
  const crypto::Certificate* client = channel.clientCertificate();
  const std::string peer = channelPeer(channelId);
  std::string how = "policy [" + std::string(policyName(channel)) + "] mode [" +
                    std::string(securityModeName(channel.securityMode())) + "] client certificate [" +
                    (client != nullptr ? client->thumbprintHex() : "none") + "] from [" + peer + "]";
  auto refuse = [&](StatusCode rc, const std::string& what) {
    audit(true, [&] { return "refused ActivateSession (" + what + ", " + statusName(rc) + ") " + how; });
    counters_.sessionRefused(rc);
    c.fault(rc);
  };
  std::string nonce;
  StatusCode status = kGood;
  {
    // A session moves to a new channel only under the security it was created with.
    std::lock_guard lock(sessionsMutex_);
    nonce = s->serverNonce;
    if (known && (channel.policyUri() != s->policyUri || channel.securityMode() != s->securityMode ||
                  (client != nullptr && client->thumbprint() != s->clientThumbprint))) {
      status = kBadSecurityChecksFailed;
    }
  }
  const auto nonceBytes = bytesOf(nonce);
  if (status == kGood && known) status = config.verifyClientSignature(channel, nonceBytes, r.clientSignature);
  if (status != kGood) return refuse(status, "application");
  IdentityClaim claim;
  if (const StatusCode rc = config.checkIdentity(channel, nonceBytes, r.identityToken, r.userTokenSignature, claim);
      rc != kGood) {
    counters_.loginFailures.fetch_add(1, std::memory_order_relaxed);
    return refuse(rc, "identity" + (claim.user.empty() ? std::string() : " [" + claim.user + "]") +
                          (claim.certificateThumbprint.empty() ? "" : " certificate [" + claim.certificateThumbprint + "]"));
  }
  Activation a{s, channelId, r.header.requestHandle, claim.user, claim.role, std::move(how), {}, {}};
  a.authentication = claim.kind == IdentityClaim::Kind::UserName      ? "UserName"
                     : claim.kind == IdentityClaim::Kind::Certificate ? "Certificate"
                                                                      : "Anonymous";
  // A client names a few locales at most; more would only be kept for nothing.
  a.localeIds.assign(r.localeIds.begin(), r.localeIds.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(r.localeIds.size(), 8)));
  if (claim.kind != IdentityClaim::Kind::UserName) return finishActivation(a, std::move(c.respond));
  if (!logins_) {
    counters_.loginFailures.fetch_add(1, std::memory_order_relaxed);
    return refuse(kBadIdentityTokenRejected, "identity [" + claim.user + "]");
  }
  // The password's check is slow on purpose: never on the network thread.
  logins_->submit(claim.user, peer, std::move(claim.password),
                  [this, a = std::move(a), respond = std::move(c.respond)](StatusCode rc, Role role) mutable {
                    if (rc != kGood) {
                      audit(true, [&] {
                        return "refused ActivateSession (identity [" + a.user + "], " + statusName(rc) + ") " + a.how;
                      });
                      counters_.loginFailures.fetch_add(1, std::memory_order_relaxed);
                      counters_.sessionRefused(rc);
                      counters_.requestRefused(rc);
                      a.session->counters.failed(CountedService::None, rc);
                      return respond(encodeServiceFault(a.requestHandle, rc));
                    }
                    a.role = role;
                    finishActivation(a, std::move(respond));
                  });
}

void UaServer::finishActivation(const Activation& a, Respond respond) {
  std::string nonce = randomBytes(32);
  bool activated = false;
  {
    std::lock_guard lock(sessionsMutex_);
    a.session->channelId = a.channelId;  // a client that reconnected takes its session along
    a.session->serverNonce = nonce;
    a.session->user = a.user;
    a.session->role = a.role;
    a.session->authentication = a.authentication;
    a.session->localeIds = a.localeIds;
    // The users it had, each once, the latest last, a few at most.
    auto& history = a.session->userHistory;
    std::erase(history, a.user);
    if (history.size() >= 8) history.erase(history.begin());
    history.push_back(a.user);
    activated = a.session->activated;
  }
  {
    // What its items sample for it may be read as its new user only.
    std::lock_guard lock(a.session->mutex);
    for (auto& [sid, sub] : a.session->subscriptions) {
      for (auto& [iid, item] : sub->items) item->role = a.role;
    }
  }
  if (!activated) {
    ClientAccess* clients = app_.clients();
    std::uint32_t handle = 0;
    if (clients == nullptr || clients->openSession(a.session->name, handle) != S_OK) {
      return respond(encodeServiceFault(a.requestHandle, kBadShutdown));
    }
    std::lock_guard lock(sessionsMutex_);
    a.session->toolboxSession = handle;
    a.session->activated = true;
  }
  audit(false, [&] {
    return "session activated: user [" + a.user + "] role [" + std::string(roleName(a.role)) + "] " + a.how;
  });
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::ActivateSessionResponse);
  encodeResponseHeader(e, a.requestHandle, kGood);
  e.byteString(UaString{std::move(nonce)});
  e.arrayLength(0);
  e.arrayLength(0);
  respond(std::move(out));
}

void UaServer::cancel(Call& c, CancelRequest& r) {
  // The session's Publish requests of that handle, still waiting for something to send,
  // and its device reads still waiting for a worker: each answered at once, cancelled
  // (OPC UA Part 4, 5.6.5). A read already at the device finishes.
  std::vector<Session::PendingPublish> cancelled;
  {
    std::lock_guard lock(c.session->mutex);
    auto& waiting = c.session->publishes;
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (it->requestHandle == r.requestHandle) {
        cancelled.push_back(std::move(*it));
        it = waiting.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& p : cancelled) p.respond(encodeServiceFault(p.requestHandle, kBadRequestCancelledByClient));
  std::size_t count = cancelled.size();
  if (ClientAccess* clients = app_.clients()) count += clients->cancelReads(c.session->toolboxSession, r.requestHandle);
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CancelResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.uint32(static_cast<std::uint32_t>(count));
  c.respond(std::move(out));
}

void UaServer::closeSession(Call& c, CloseSessionRequest& r) {
  const RequestHeader& h = r.header;
  const bool deleteSubscriptions = r.deleteSubscriptions;
  std::shared_ptr<Session> s;
  bool wrongChannel = false;
  {
    std::lock_guard lock(sessionsMutex_);
    auto it = h.authenticationToken.kind == NodeId::Kind::Opaque ? sessions_.find(h.authenticationToken.text)
                                                                  : sessions_.end();
    if (it != sessions_.end() && it->second->channelId != c.channelId) {
      wrongChannel = true;
    } else if (it != sessions_.end()) {
      s = it->second;
      sessions_.erase(it);
    }
  }
  if (wrongChannel) return c.fault(kBadSecureChannelIdInvalid);
  if (!s) return c.fault(kBadSessionIdInvalid);
  if (!deleteSubscriptions) {
    // Kept for a transfer, as many as every session could hold; past that they end.
    const std::size_t room = limits_.maxSessions * limits_.maxSubscriptionsPerSession;
    std::scoped_lock lock(s->mutex, detached_->mutex);
    if (detached_->subscriptions.size() + s->subscriptions.size() <= room) detached_->subscriptions.merge(s->subscriptions);
  }
  releaseSession(s);
  s.reset();
  if (heapReleaseDue()) wakePublisher();
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CloseSessionResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  c.respond(std::move(out));
}

}  // namespace OpcToolbox::ua
