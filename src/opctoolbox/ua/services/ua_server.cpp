#include "opctoolbox/ua/services/ua_server.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/security/ua_login_guard.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

using Clock = std::chrono::steady_clock;

namespace {
// The channel of the request being dispatched: the services look up its session within
// handle()'s own call, on the thread that called it.
thread_local std::uint32_t tRequestChannel = 0;
}  // namespace

UaServer::UaServer(Application& app, std::string endpointUrl, ServerLimits limits,
                   std::shared_ptr<const SecurityConfiguration> security, AuditLog audit)
    : app_(app), endpointUrl_(std::move(endpointUrl)), limits_(limits), startTime_(nowTicks()),
      queuedValues_(std::make_shared<QueuedValueBudget>(limits.maxQueuedValues)),
      detached_(std::make_shared<Session>()), security_(std::move(security)), audit_(std::move(audit)) {
  if (security_) {
    logins_ = std::make_unique<LoginGuard>(
        [security = security_](const std::string& user, const crypto::SecretBytes& password) {
          return security->checkPassword(user, password);
        });
  }
  publisher_ = vexahv::platform::WorkerThread("ua-publish", [this](std::stop_token st) { publishLoop(st); });
  structureSink_->server = this;
  if (DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot()) {
    root->setStructureListener([sink = std::weak_ptr<StructureSink>(structureSink_)](const ElementPtr& parent) {
      const auto alive = sink.lock();
      if (!alive) return;
      std::lock_guard lock(alive->mutex);
      if (alive->server != nullptr) alive->server->raiseModelChange(parent);
    });
  }
}

UaServer::~UaServer() { stop(); }

void UaServer::stop() {
  {
    std::lock_guard lock(structureSink_->mutex);
    structureSink_->server = nullptr;
  }
  if (logins_) logins_->stop();
  publisher_.stopAndJoin();
  closeAllSessions();
}

void UaServer::releaseSession(const std::shared_ptr<Session>& s) {
  std::vector<std::pair<Respond, std::vector<std::uint8_t>>> replies;
  {
    std::lock_guard lock(mutex_);
    endSubscriptions(*s, 0x80260000u /* BadSessionClosed */, replies);
  }
  for (auto& [respond, bytes] : replies) respond(std::move(bytes));
  if (s->activated && app_.clients()) app_.clients()->closeSession(s->toolboxSession);
}

ServerIdentity serverIdentity(const Application& app) {
  return ServerIdentity{"urn:" + app.getProgIdDa(), "urn:" + app.getVerIndProgIdDa(), app.getDescription()};
}

ServerIdentity UaServer::identity() const { return serverIdentity(app_); }

std::size_t UaServer::sessionCount() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

std::size_t UaServer::countMonitoredItems() const {
  std::size_t n = detached_->monitoredItems();
  for (const auto& [token, s] : sessions_) n += s->monitoredItems();
  return n;
}

std::size_t UaServer::monitoredItemCount() const {
  std::lock_guard lock(mutex_);
  return countMonitoredItems();
}

std::set<std::uint32_t> UaServer::channelsWithSessions() const {
  std::set<std::uint32_t> channels;
  std::lock_guard lock(mutex_);
  for (const auto& [token, s] : sessions_) {
    if (s->activated) channels.insert(s->channelId);
  }
  return channels;
}

void UaServer::closeAllSessions() {
  std::map<std::string, std::shared_ptr<Session>> all;
  std::vector<std::pair<Respond, std::vector<std::uint8_t>>> none;  // detached ones have no Publish waiting
  {
    std::lock_guard lock(mutex_);
    all.swap(sessions_);
    endSubscriptions(*detached_, 0x80260000u /* BadSessionClosed */, none);
  }
  for (auto& [token, s] : all) releaseSession(s);
}

const SecurityConfiguration& UaServer::security() const {
  return security_ ? *security_ : SecurityConfiguration::noneAnonymous();
}

void UaServer::channelRefused(const std::string& peer, StatusCode why, std::string_view what) {
  audit(true, [&] {
    return "refused OpenSecureChannel from [" + peer + "]: " + std::string(what) + " (" + statusName(why) + ")";
  });
}

void UaServer::channelOpened(std::uint32_t channelId, const std::string& peer,
                             std::shared_ptr<const ChannelSecurity> security) {
  std::lock_guard lock(mutex_);
  channels_[channelId] = ChannelInfo{peer, std::move(security)};
}

void UaServer::channelClosed(std::uint32_t channelId) {
  // A session never activated dies with its channel; an activated one waits for its client
  // to come back on a new channel until it times out.
  std::lock_guard lock(mutex_);
  channels_.erase(channelId);
  std::erase_if(sessions_, [&](const auto& kv) { return kv.second->channelId == channelId && !kv.second->activated; });
  // Publish requests of a closed channel can never be answered: a notification given to
  // one would be lost. The client sends new ones when it comes back.
  for (auto& [token, s] : sessions_) {
    std::erase_if(s->publishes, [&](const Session::PendingPublish& p) { return p.channelId == channelId; });
  }
}

void UaServer::purgeExpiredSessions() {
  std::vector<std::shared_ptr<Session>> expired;
  {
    std::lock_guard lock(mutex_);
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
  // A session that timed out ends as if closed: disconnectSession for the toolbox.
  for (auto& s : expired) releaseSession(s);
}

bool UaServer::purgeDue() const noexcept {
  return Clock::now().time_since_epoch().count() > nextPurge_.load(std::memory_order_relaxed);
}

std::shared_ptr<Session> UaServer::sessionFor(const RequestHeader& h, StatusCode& status,
                                                       bool sameChannel) {
  // Only the asking session's expiry is looked at here; the others are purged by the
  // publishing thread every client check period (and before a session is created), so a
  // request never scans every session.
  std::shared_ptr<Session> found, expired;
  status = kBadSessionIdInvalid;
  {
    std::lock_guard lock(mutex_);
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
        status = !found->activated ? kBadSessionNotActivated
                 // A session answers only on the channel that activated it: its token alone,
                 // seen or guessed, opens nothing from another connection.
                 : sameChannel && found->channelId != tRequestChannel ? kBadSecureChannelIdInvalid
                                                                      : kGood;
      }
    }
  }
  // A session that timed out ends as if closed: disconnectSession for the toolbox.
  if (expired) releaseSession(expired);
  return found;
}

std::shared_ptr<Session> UaServer::sessionOrFault(const Decoder& d, const RequestHeader& h,
                                                            Respond& respond) {
  if (!d.ok()) {
    respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
    return nullptr;
  }
  StatusCode status = kGood;
  auto session = sessionFor(h, status, true);
  if (status != kGood) {
    respond(encodeServiceFault(h.requestHandle, status));
    return nullptr;
  }
  return session;
}

ElementPtr UaServer::elementFor(const NodeId& id) const {
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  if (root == nullptr || !namesItem(id)) return nullptr;
  return root->findElement(id.text);
}

std::function<ElementPtr(const std::string&)> UaServer::lookup() const {
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  return [root](const std::string& itemId) -> ElementPtr { return root ? root->findElement(itemId) : nullptr; };
}

std::optional<UaServer::PropertyNode> UaServer::propertyNodeOf(std::string_view text) const {
  const auto split = splitPropertyNodeId(text);
  if (!split) return std::nullopt;
  const ElementLookup find = lookup();
  ElementPtr owner = find(split->first);
  if (!owner || owner->getHasChildren()) return std::nullopt;
  ItemModel model = itemModelOf(*owner, find);
  if (!hasProperty(model, split->second)) return std::nullopt;
  return PropertyNode{std::move(owner), std::move(model), split->second};
}

namespace {

bool isSubtypeOf(std::uint32_t type, std::uint32_t of) {
  for (std::uint32_t t = type; t != 0; t = superTypeOf(t)) {
    if (t == of) return true;
  }
  return false;
}

}  // namespace

void UaServer::raiseModelChange(const ElementPtr& parent) {
  constexpr std::uint32_t kGeneralModelChangeEventType = 2133, kModelChangeStructureEncoding = 879;
  constexpr std::uint8_t kNodeAddedAndReferenceAdded = 1 | 4;
  const NodeId affected = parent ? NodeId::stringId(kNs, parent->getItemId()) : NodeId::numericId(0, ns0::Objects);
  std::vector<std::uint8_t> change;
  Encoder c(change);
  c.nodeId(affected);
  c.nodeId(NodeId::numericId(0, kFolderType));
  c.byte(kNodeAddedAndReferenceAdded);
  ua::Variant changes{BuiltinType::ExtensionObject, true, {}};
  changes.values.push_back(ExtensionObject{NodeId::numericId(0, kModelChangeStructureEncoding), 1,
                                           std::string(change.begin(), change.end())});
  const std::int64_t now = nowTicks();
  UaEvent event;
  event.eventType = kGeneralModelChangeEventType;
  event.fields = {
      {"EventId", ua::Variant::scalar(BuiltinType::ByteString, ByteStringValue{randomBytes(16)})},
      {"EventType", ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, kGeneralModelChangeEventType))},
      {"SourceNode", ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, ns0::Server))},
      {"SourceName", ua::Variant::scalar(BuiltinType::String, UaString{std::string("Server")})},
      {"Time", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"ReceiveTime", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"Message", ua::Variant::scalar(BuiltinType::LocalizedText,
                                      LocalizedText{std::string("en"), "Nodes added under " +
                                                                          (parent ? parent->getItemId() : std::string("Objects"))})},
      {"Severity", ua::Variant::scalar(BuiltinType::UInt16, std::uint16_t{100})},
      {"Changes", std::move(changes)},
  };
  std::lock_guard lock(mutex_);
  auto offer = [&](Session& session) {
    for (auto& [sid, sub] : session.subscriptions) {
      for (auto& [iid, item] : sub->items) {
        if (item->isEventItem()) item->offerEvent(event, isSubtypeOf);
      }
    }
  };
  for (auto& [token, session] : sessions_) offer(*session);
  offer(*detached_);
}

void UaServer::handle(std::uint32_t channelId, std::span<const std::uint8_t> body, Respond respond) {
  tRequestChannel = channelId;
  Decoder d(body);
  const NodeId type = d.nodeId();
  if (!d.ok() || type.ns != 0 || type.kind != NodeId::Kind::Numeric) {
    respond(encodeServiceFault(0, kBadDecodingError));
    return;
  }
  switch (type.numeric) {
    case id::GetEndpointsRequest: return getEndpoints(d, respond);
    case id::CreateSessionRequest: return createSession(channelId, d, respond);
    case id::ActivateSessionRequest: return activateSession(channelId, d, respond);
    case id::CloseSessionRequest: return closeSession(d, respond);
    case id::ReadRequest: return read(d, respond);
    case id::BrowseRequest: return browse(d, respond);
    case id::BrowseNextRequest: return browseNext(d, respond);
    case id::WriteRequest: return write(d, respond);
    case id::CreateSubscriptionRequest: return createSubscription(d, respond);
    case id::ModifySubscriptionRequest: return modifySubscription(d, respond);
    case id::SetPublishingModeRequest: return setPublishingMode(d, respond);
    case id::DeleteSubscriptionsRequest: return deleteSubscriptions(d, respond);
    case id::CreateMonitoredItemsRequest: return createMonitoredItems(d, respond);
    case id::DeleteMonitoredItemsRequest: return deleteMonitoredItems(d, respond);
    case id::SetMonitoringModeRequest: return setMonitoringMode(d, respond);
    case id::PublishRequest: return publish(channelId, d, respond);
    case id::RepublishRequest: return republish(d, respond);
    case id::TranslateBrowsePathsRequest: return translateBrowsePaths(d, respond);
    case id::RegisterNodesRequest: return registerNodes(d, respond, false);
    case id::UnregisterNodesRequest: return registerNodes(d, respond, true);
    case id::FindServersRequest: return findServers(d, respond);
    case id::CallRequest: return call(d, respond);
    case id::ModifyMonitoredItemsRequest: return modifyMonitoredItems(d, respond);
    case id::TransferSubscriptionsRequest: return transferSubscriptions(d, respond);
    default: {
      const RequestHeader h = decodeRequestHeader(d);
      respond(encodeServiceFault(h.requestHandle, d.ok() ? kBadServiceUnsupported : kBadDecodingError));
    }
  }
}

std::shared_ptr<const ChannelSecurity> UaServer::channelSecurity(std::uint32_t channelId) const {
  std::lock_guard lock(mutex_);
  auto it = channels_.find(channelId);
  return it != channels_.end() ? it->second.security : nullptr;
}

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

void UaServer::createSession(std::uint32_t channelId, Decoder& d, Respond& respond) {
  const CreateSessionRequest r = decodeCreateSessionRequest(d);
  if (!d.ok()) return respond(encodeServiceFault(r.header.requestHandle, kBadDecodingError));
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
      respond(encodeServiceFault(r.header.requestHandle, rc));
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
  if (channel) {
    s->policyUri = std::string(channel->policyUri());
    s->securityMode = channel->securityMode();
    if (const crypto::Certificate* client = channel->clientCertificate()) s->clientThumbprint = client->thumbprint();
  }
  const double ms = std::clamp(finiteOr(r.requestedTimeout, 0), limits_.minSessionTimeoutMs, limits_.maxSessionTimeoutMs);
  s->timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
  std::shared_ptr<Session> dropped;
  {
    std::lock_guard lock(mutex_);
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
      if (oldest == sessions_.end()) return respond(encodeServiceFault(r.header.requestHandle, kBadTooManySessions));
      dropped = oldest->second;
      sessions_.erase(oldest);
    }
    s->sessionId = NodeId::numericId(kNs, 0x10000000u + nextSession_++);
    sessions_.emplace(s->token, s);
    const std::int64_t deadline = (s->lastUsed + s->timeout).time_since_epoch().count();
    if (deadline < nextPurge_.load(std::memory_order_relaxed)) nextPurge_.store(deadline, std::memory_order_relaxed);
  }
  if (dropped) releaseSession(dropped);
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
  respond(std::move(out));
}

std::string UaServer::channelPeer(std::uint32_t channelId) const {
  std::lock_guard lock(mutex_);
  auto it = channels_.find(channelId);
  return it != channels_.end() ? it->second.peer : std::string();
}

void UaServer::activateSession(std::uint32_t channelId, Decoder& d, Respond& respond) {
  const ActivateSessionRequest r = decodeActivateSessionRequest(d);
  if (!d.ok()) return respond(encodeServiceFault(r.header.requestHandle, kBadDecodingError));
  StatusCode status = kGood;
  auto s = sessionFor(r.header, status, false);
  if (!s) return respond(encodeServiceFault(r.header.requestHandle, status));
  const SecurityConfiguration& config = security();
  const auto known = channelSecurity(channelId);
  const ChannelSecurity& channel = known ? *known : plainChannel();
  const crypto::Certificate* client = channel.clientCertificate();
  const std::string peer = channelPeer(channelId);
  std::string how = "policy [" + std::string(policyName(channel)) +
                    "] mode [" + (channel.securityMode() == kModeSignAndEncrypt ? "SignAndEncrypt"
                                  : channel.securityMode() == kModeSign      ? "Sign"
                                                                             : "None") +
                    "] client certificate [" + (client != nullptr ? client->thumbprintHex() : "none") + "] from [" +
                    peer + "]";
  auto refuse = [&](StatusCode rc, const std::string& what) {
    audit(true, [&] { return "refused ActivateSession (" + what + ", " + statusName(rc) + ") " + how; });
    respond(encodeServiceFault(r.header.requestHandle, rc));
  };
  std::string nonce;
  status = kGood;
  {
    // A session moves to a new channel only under the security it was created with.
    std::lock_guard lock(mutex_);
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
    return refuse(rc, "identity" + (claim.user.empty() ? std::string() : " [" + claim.user + "]") +
                          (claim.certificateThumbprint.empty() ? "" : " certificate [" + claim.certificateThumbprint + "]"));
  }
  Activation a{s, channelId, r.header.requestHandle, claim.user, claim.role, std::move(how)};
  if (claim.kind != IdentityClaim::Kind::UserName) return finishActivation(a, std::move(respond));
  if (!logins_) return refuse(kBadIdentityTokenRejected, "identity [" + claim.user + "]");
  // The password's check is slow on purpose: never on the network thread.
  logins_->submit(claim.user, peer, std::move(claim.password),
                  [this, a = std::move(a), respond = std::move(respond)](StatusCode rc, Role role) mutable {
                    if (rc != kGood) {
                      audit(true, [&] {
                        return "refused ActivateSession (identity [" + a.user + "], " + statusName(rc) + ") " + a.how;
                      });
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
    std::lock_guard lock(mutex_);
    a.session->channelId = a.channelId;  // a client that reconnected takes its session along
    a.session->serverNonce = nonce;
    a.session->user = a.user;
    a.session->role = a.role;
    activated = a.session->activated;
  }
  if (!activated) {
    ClientAccess* clients = app_.clients();
    std::uint32_t handle = 0;
    if (clients == nullptr || clients->openSession(a.session->name, handle) != S_OK) {
      return respond(encodeServiceFault(a.requestHandle, kBadShutdown));
    }
    std::lock_guard lock(mutex_);
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

void UaServer::closeSession(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const bool deleteSubscriptions = d.boolean();
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  std::shared_ptr<Session> s;
  bool wrongChannel = false;
  {
    std::lock_guard lock(mutex_);
    auto it = h.authenticationToken.kind == NodeId::Kind::Opaque ? sessions_.find(h.authenticationToken.text)
                                                                  : sessions_.end();
    if (it != sessions_.end() && it->second->channelId != tRequestChannel) {
      wrongChannel = true;
    } else if (it != sessions_.end()) {
      s = it->second;
      sessions_.erase(it);
      // Kept for a transfer, as many as every session could hold; past that they end.
      const std::size_t room = limits_.maxSessions * limits_.maxSubscriptionsPerSession;
      if (!deleteSubscriptions && detached_->subscriptions.size() + s->subscriptions.size() <= room) {
        detached_->subscriptions.merge(s->subscriptions);
      }
    }
  }
  if (wrongChannel) return respond(encodeServiceFault(h.requestHandle, kBadSecureChannelIdInvalid));
  if (!s) return respond(encodeServiceFault(h.requestHandle, kBadSessionIdInvalid));
  releaseSession(s);
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CloseSessionResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  respond(std::move(out));
}

}  // namespace OpcToolbox::ua
