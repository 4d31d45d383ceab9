// The Server object's diagnostics (OPC UA Part 5, 6.3.3): the summary, the sessions'
// summary with an object per session, and the snapshot they are read from.

#include <algorithm>
#include <set>

#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

using Clock = std::chrono::steady_clock;

namespace {

// A session's nodes in namespace 1: its object is its SessionId, its two variables the
// same number in the next two ranges.
constexpr std::uint32_t kSessionRange = 0x10000000u;

// A structure's binary body, as encode writes it, in an ExtensionObject of that encoding.
template <class Encode>
ExtensionObject encoded(std::uint32_t encoding, Encode encode) {
  std::vector<std::uint8_t> body;
  Encoder e(body);
  encode(e);
  return ExtensionObject{NodeId::numericId(0, encoding), 1, std::string(body.begin(), body.end())};
}

template <class T, class Encode>
ua::Variant structArray(const std::vector<T>& values, std::uint32_t encoding, Encode encode) {
  ua::Variant v{BuiltinType::ExtensionObject, true, {}};
  v.values.reserve(values.size());
  for (const T& s : values) v.values.emplace_back(encoded(encoding, [&](Encoder& e) { encode(e, s); }));
  return v;
}

constexpr auto reference = referenceTo;

ReferenceDescription sessionObjectReference(const SessionDiagnostics& s, bool forward) {
  return reference(kHasComponent, forward, s.sessionId, QualifiedName{kNs, s.name}, kObject,
                   diagnostics::SessionDiagnosticsObjectType);
}

struct Member {
  const char* name;
  std::uint32_t dataType;
  std::uint32_t typeDefinition;
  const char* typeName;
  std::int32_t valueRank;
};
constexpr Member kMembers[] = {
    {"SessionDiagnostics", diagnostics::SessionDataType, diagnostics::SessionDiagnosticsVariableType,
     "SessionDiagnosticsVariableType", -1},
    {"SessionSecurityDiagnostics", diagnostics::SessionSecurityDataType, diagnostics::SessionSecurityDiagnosticsType,
     "SessionSecurityDiagnosticsType", -1},
    {"SubscriptionDiagnosticsArray", diagnostics::SubscriptionDataType, diagnostics::SubscriptionDiagnosticsArrayType,
     "SubscriptionDiagnosticsArrayType", 1},
};
constexpr std::uint32_t kMemberCount = std::size(kMembers);

}  // namespace

namespace {

// Who a session is (under sessionsMutex_), as its diagnostics show it.
void describeIdentity(const Session& in, SessionDiagnostics& out, Clock::time_point now, std::int64_t ticksNow) {
  out.sessionId = in.sessionId;
  out.name = in.name;
  out.clientUri = in.clientUri;
  out.clientProductUri = in.clientProductUri;
  out.clientName = in.name;
  out.clientType = in.clientType;
  out.endpointUrl = in.endpointUrl;
  out.localeIds = in.localeIds;
  out.timeoutMs = std::chrono::duration<double, std::milli>(in.timeout).count();
  out.maxResponseMessageSize = in.maxResponseMessageSize;
  out.connectionTime = in.created;
  out.lastContactTime = ticksNow - std::chrono::duration_cast<std::chrono::microseconds>(now - in.lastUsed).count() * 10;
  out.activated = in.activated;
  out.user = in.activated ? in.user : std::string();
  out.userHistory = in.userHistory;
  out.authentication = in.activated ? in.authentication : std::string();
  out.peer = in.peer;
  out.policyUri = in.policyUri;
  out.securityMode = in.securityMode;
  out.clientCertificate = in.clientCertificate;
}

// What a session holds (under its own mutex); its counters need no lock.
void describeHoldings(const Session& in, SessionDiagnostics& out) {
  out.total = in.counters.total();
  out.unauthorized = in.counters.unauthorized();
  for (std::size_t k = 0; k < kCountedServices; ++k) out.services[k] = in.counters.of(static_cast<CountedService>(k));
  out.subscriptions = static_cast<std::uint32_t>(in.subscriptions.size());
  out.monitoredItems = static_cast<std::uint32_t>(in.monitoredItems());
  out.publishRequests = static_cast<std::uint32_t>(in.publishes.size());
}

// Each of a session's subscriptions (under its mutex), as their diagnostics show them.
void describeSubscriptions(const Session& in, std::vector<SubscriptionDiagnostics>& out) {
  for (const auto& [id, sub] : in.subscriptions) {
    const Subscription& s = *sub;
    SubscriptionDiagnostics& d = out.emplace_back();
    d.sessionId = in.sessionId;
    d.subscriptionId = s.id;
    d.priority = s.priority;
    d.publishingInterval = s.publishingInterval;
    d.maxKeepAliveCount = s.maxKeepAliveCount;
    d.maxLifetimeCount = s.lifetimeCount;
    d.maxNotificationsPerPublish = s.maxNotificationsPerPublish;
    d.publishingEnabled = s.publishingEnabled;
    const Subscription::Counts& c = s.counts;
    d.modifyCount = c.modify;
    d.enableCount = c.enable;
    d.disableCount = c.disable;
    // A Republish asks for one message: requests and messages asked for are the same count.
    d.republishRequestCount = d.republishMessageRequestCount = c.republishRequests;
    d.republishMessageCount = c.republished;
    d.transferRequestCount = c.transferRequests;
    d.transferredToAltClientCount = c.transferredToAltClient;
    d.transferredToSameClientCount = c.transferredToSameClient;
    d.publishRequestCount = c.publishRequests;
    d.dataChangeNotificationsCount = c.dataChanges;
    d.eventNotificationsCount = c.events;
    d.notificationsCount = c.dataChanges + c.events;
    d.latePublishRequestCount = c.late;
    d.currentKeepAliveCount = s.keepAliveCounter;
    d.currentLifetimeCount = s.lifetimeCounter;
    d.nextSequenceNumber = s.nextSequenceNumber;
    d.monitoredItemCount = static_cast<std::uint32_t>(s.items.size());
    for (const auto& [iid, item] : s.items) {
      if (item->monitoringMode.load(std::memory_order_relaxed) == 0) ++d.disabledMonitoredItemCount;
      const std::uint32_t lost = item->overflows();
      (item->isEventItem() ? d.eventQueueOverflowCount : d.monitoringQueueOverflowCount) += lost;
    }
    std::lock_guard kept(sub->retransmissionMutex);
    d.unacknowledgedMessageCount = static_cast<std::uint32_t>(s.retransmission.size());
    d.discardedMessageCount = s.discardedMessages;
  }
}

}  // namespace

bool UaServer::mayReadNamespaceZero(std::uint32_t id, Role role) noexcept {
  // Who is connected, as whom, with which certificate: for an admin only.
  return id != diagnostics::SessionSecurityDiagnosticsArray || role == Role::Admin;
}

std::optional<ua::Variant> UaServer::readDiagnosticsValue(std::uint32_t id) const {
  using namespace diagnostics;
  if (id == EnabledFlag) return ua::Variant::scalar(BuiltinType::Boolean, true);  // always counted
  const int field = summaryField(id);
  if (id == SubscriptionDiagnosticsArray) {
    return structArray(subscriptionDiagnostics(), SubscriptionEncoding, encodeSubscriptionDiagnostics);
  }
  if (id != Summary && id != SessionDiagnosticsArray && id != SessionSecurityDiagnosticsArray && field < 0) {
    return std::nullopt;
  }
  const EndpointDiagnostics d = diagnostics();
  if (field >= 0) return ua::Variant::scalar(BuiltinType::UInt32, summaryValue(d.summary, field));
  if (id == Summary) {
    return ua::Variant::scalar(BuiltinType::ExtensionObject,
                               encoded(SummaryEncoding, [&](Encoder& e) { encodeServerDiagnosticsSummary(e, d.summary); }));
  }
  if (id == SessionDiagnosticsArray) return structArray(d.sessions, SessionEncoding, encodeSessionDiagnostics);
  return structArray(d.sessions, SessionSecurityEncoding, encodeSessionSecurityDiagnostics);
}

std::optional<UaServer::SessionNode> UaServer::sessionNode(std::uint32_t id) const {
  const int member = static_cast<int>(id / kSessionRange) - 1;
  if (member < 0 || member > 3) return std::nullopt;
  const std::uint32_t sessionId = kSessionRange + id % kSessionRange;
  std::shared_ptr<Session> found;
  SessionNode node;
  node.member = member;
  {
    std::lock_guard lock(sessionsMutex_);
    for (const auto& [token, session] : sessions_) {
      if (session->sessionId.numeric != sessionId) continue;
      found = session;
      describeIdentity(*session, node.session, Clock::now(), nowTicks());
      break;
    }
  }
  if (!found) return std::nullopt;
  node.session.serverUri = identity().applicationUri;
  std::lock_guard lock(found->mutex);
  describeHoldings(*found, node.session);
  if (member == 3) describeSubscriptions(*found, node.subscriptions);
  return node;
}

DataValue UaServer::readSessionNode(std::uint32_t id, std::uint32_t attribute, std::uint32_t timestamps,
                                    Role role) const {
  const std::optional<SessionNode> node = sessionNode(id);
  if (!node) return statusOnly(kBadNodeIdUnknown);
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  const bool object = node->member == 0;
  const Member* m = object ? nullptr : &kMembers[node->member - 1];
  const QualifiedName name = object ? QualifiedName{kNs, node->session.name} : QualifiedName{0, m->name};
  if (auto common = commonAttribute(NodeId::numericId(kNs, id), object ? kObject : kVariable, name, attribute)) {
    return *common;
  }
  if (object) {
    if (attribute == kEventNotifier) return scalar(BuiltinType::Byte, std::uint8_t{0});
    return statusOnly(kBadAttributeIdInvalid);
  }
  const bool security = node->member == 2;
  const bool allowed = !security || role == Role::Admin;
  switch (attribute) {
    case kDataType: return scalar(BuiltinType::NodeId, NodeId::numericId(0, m->dataType));
    case kValueRank: return scalar(BuiltinType::Int32, m->valueRank);
    case kArrayDimensions: {
      ua::Variant dims{BuiltinType::UInt32, true, {}};
      if (m->valueRank == 1) dims.values.emplace_back(std::uint32_t{0});  // of any length
      return valueOf(std::move(dims));
    }
    case kAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    case kUserAccessLevel: return scalar(BuiltinType::Byte, static_cast<std::uint8_t>(allowed ? 1 : 0));
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, 1000.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    case kValue: break;
    default: return statusOnly(kBadAttributeIdInvalid);
  }
  if (!allowed) return statusOnly(kBadUserAccessDenied);
  auto one = [](std::uint32_t encoding, auto encode, const auto& value) {
    return valueOf(ua::Variant::scalar(BuiltinType::ExtensionObject,
                                       encoded(encoding, [&](Encoder& e) { encode(e, value); })));
  };
  DataValue out =
      node->member == 1 ? one(diagnostics::SessionEncoding, encodeSessionDiagnostics, node->session)
      : security        ? one(diagnostics::SessionSecurityEncoding, encodeSessionSecurityDiagnostics, node->session)
                        : valueOf(structArray(node->subscriptions, diagnostics::SubscriptionEncoding,
                                              encodeSubscriptionDiagnostics));
  const std::int64_t now = nowTicks();
  stampTimestamps(out, timestamps, now, now);
  return out;
}

void UaServer::sessionObjectReferences(const std::function<void(ReferenceDescription&&)>& sink) const {
  for (const SessionDiagnostics& s : diagnostics().sessions) sink(sessionObjectReference(s, true));
}

void UaServer::sessionNodeReferences(std::uint32_t id, bool forward, bool inverse, StatusCode& status,
                                     const std::function<void(ReferenceDescription&&)>& sink) const {
  const std::optional<SessionNode> node = sessionNode(id);
  if (!node) {
    status = kBadNodeIdUnknown;
    return;
  }
  status = kGood;
  const std::uint32_t n = node->session.sessionId.numeric % kSessionRange;
  if (node->member == 0) {
    if (forward) {
      for (std::uint32_t k = 1; k <= kMemberCount; ++k) {
        const Member& m = kMembers[k - 1];
        sink(reference(kHasComponent, true, NodeId::numericId(kNs, (k + 1) * kSessionRange + n), QualifiedName{0, m.name},
                       kVariable, m.typeDefinition));
      }
      sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, diagnostics::SessionDiagnosticsObjectType),
                     QualifiedName{0, "SessionDiagnosticsObjectType"}, 8, 0));
    }
    if (inverse) {
      sink(reference(kHasComponent, false, NodeId::numericId(0, diagnostics::SessionsSummary),
                     QualifiedName{0, "SessionsDiagnosticsSummary"}, kObject, diagnostics::SessionsDiagnosticsSummaryType));
    }
    return;
  }
  const Member& m = kMembers[node->member - 1];
  if (forward) {
    sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, m.typeDefinition), QualifiedName{0, m.typeName}, 16, 0));
  }
  if (inverse) sink(sessionObjectReference(node->session, false));
}

EndpointDiagnostics UaServer::diagnostics() const {
  EndpointDiagnostics d;
  ServerDiagnosticsSummary& s = d.summary;
  auto load = [](const std::atomic<std::uint32_t>& c) { return c.load(std::memory_order_relaxed); };
  s.cumulatedSessionCount = load(counters_.cumulatedSessions);
  s.securityRejectedSessionCount = load(counters_.securityRejectedSessions);
  s.rejectedSessionCount = load(counters_.rejectedSessions);
  s.sessionTimeoutCount = load(counters_.sessionTimeouts);
  s.sessionAbortCount = load(counters_.sessionAborts);
  s.cumulatedSubscriptionCount = load(counters_.cumulatedSubscriptions);
  s.securityRejectedRequestsCount = load(counters_.securityRejectedRequests);
  s.rejectedRequestsCount = load(counters_.rejectedRequests);
  d.loginFailures = counters_.loginFailures.load(std::memory_order_relaxed);
  d.notificationsSent = counters_.notificationsSent.load(std::memory_order_relaxed);

  // Who each session is, under the table's lock; what it holds, under its own after.
  std::vector<std::shared_ptr<Session>> sessions;
  const auto now = Clock::now();
  const std::int64_t ticksNow = nowTicks();
  {
    std::lock_guard lock(sessionsMutex_);
    sessions.reserve(sessions_.size());
    d.sessions.reserve(sessions_.size());
    for (const auto& [token, session] : sessions_) {
      sessions.push_back(session);
      describeIdentity(*session, d.sessions.emplace_back(), now, ticksNow);
    }
  }
  const std::string serverUri = identity().applicationUri;
  std::set<double> intervals;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    Session& in = *sessions[i];
    SessionDiagnostics& out = d.sessions[i];
    out.serverUri = serverUri;
    std::lock_guard lock(in.mutex);
    describeHoldings(in, out);
    for (const auto& [id, sub] : in.subscriptions) intervals.insert(sub->publishingInterval);
    d.monitoredItems += out.monitoredItems;
    d.publishRequestsQueued += out.publishRequests;
    s.currentSubscriptionCount += out.subscriptions;
  }
  {
    // Subscriptions kept for a transfer are the server's still.
    std::lock_guard lock(detached_->mutex);
    s.currentSubscriptionCount += static_cast<std::uint32_t>(detached_->subscriptions.size());
    d.monitoredItems += detached_->monitoredItems();
    for (const auto& [id, sub] : detached_->subscriptions) intervals.insert(sub->publishingInterval);
  }
  s.currentSessionCount = static_cast<std::uint32_t>(d.sessions.size());
  s.publishingIntervalCount = static_cast<std::uint32_t>(intervals.size());
  std::sort(d.sessions.begin(), d.sessions.end(),
            [](const SessionDiagnostics& a, const SessionDiagnostics& b) { return a.sessionId.numeric < b.sessionId.numeric; });
  return d;
}

std::vector<SubscriptionDiagnostics> UaServer::subscriptionDiagnostics(const Session* only) const {
  std::vector<SubscriptionDiagnostics> out;
  const std::vector<std::shared_ptr<Session>> sessions = allSessions();  // the detached holder last
  for (const auto& session : sessions) {
    if (only != nullptr && session.get() != only) continue;
    std::lock_guard lock(session->mutex);
    describeSubscriptions(*session, out);
  }
  std::sort(out.begin(), out.end(), [](const SubscriptionDiagnostics& a, const SubscriptionDiagnostics& b) {
    return a.subscriptionId < b.subscriptionId;
  });
  return out;
}

std::map<std::string, std::uint16_t> UaServer::unacknowledgedAlarms() const {
  std::lock_guard lock(alarmsMutex_);
  return alarms_.unacknowledged();
}

}  // namespace OpcToolbox::ua
