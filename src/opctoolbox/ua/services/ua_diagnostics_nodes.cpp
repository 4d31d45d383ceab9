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

template <class Encode>
ua::Variant sessionArray(const std::vector<SessionDiagnostics>& sessions, std::uint32_t encoding, Encode encode) {
  ua::Variant v{BuiltinType::ExtensionObject, true, {}};
  v.values.reserve(sessions.size());
  for (const SessionDiagnostics& s : sessions) v.values.emplace_back(encoded(encoding, [&](Encoder& e) { encode(e, s); }));
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
};
constexpr Member kMembers[] = {
    {"SessionDiagnostics", diagnostics::SessionDataType, diagnostics::SessionDiagnosticsVariableType,
     "SessionDiagnosticsVariableType"},
    {"SessionSecurityDiagnostics", diagnostics::SessionSecurityDataType, diagnostics::SessionSecurityDiagnosticsType,
     "SessionSecurityDiagnosticsType"},
};

}  // namespace

bool UaServer::mayReadNamespaceZero(std::uint32_t id, Role role) noexcept {
  // Who is connected, as whom, with which certificate: for an admin only.
  return id != diagnostics::SessionSecurityDiagnosticsArray || role == Role::Admin;
}

std::optional<ua::Variant> UaServer::readDiagnosticsValue(std::uint32_t id) const {
  using namespace diagnostics;
  if (id == EnabledFlag) return ua::Variant::scalar(BuiltinType::Boolean, true);  // always counted
  const int field = summaryField(id);
  if (id != Summary && id != SessionDiagnosticsArray && id != SessionSecurityDiagnosticsArray && field < 0) {
    return std::nullopt;
  }
  const EndpointDiagnostics d = diagnostics();
  if (field >= 0) return ua::Variant::scalar(BuiltinType::UInt32, summaryValue(d.summary, field));
  if (id == Summary) {
    return ua::Variant::scalar(BuiltinType::ExtensionObject,
                               encoded(SummaryEncoding, [&](Encoder& e) { encodeServerDiagnosticsSummary(e, d.summary); }));
  }
  if (id == SessionDiagnosticsArray) return sessionArray(d.sessions, SessionEncoding, encodeSessionDiagnostics);
  return sessionArray(d.sessions, SessionSecurityEncoding, encodeSessionSecurityDiagnostics);
}

std::optional<UaServer::SessionNode> UaServer::sessionNode(std::uint32_t id) const {
  const int member = static_cast<int>(id / kSessionRange) - 1;
  if (member < 0 || member > 2) return std::nullopt;
  const std::uint32_t sessionId = kSessionRange + id % kSessionRange;
  EndpointDiagnostics d = diagnostics();
  for (SessionDiagnostics& s : d.sessions) {
    if (s.sessionId.numeric == sessionId) return SessionNode{std::move(s), member};
  }
  return std::nullopt;
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
    case kValueRank: return scalar(BuiltinType::Int32, std::int32_t{-1});
    case kArrayDimensions: return valueOf(ua::Variant{BuiltinType::UInt32, true, {}});
    case kAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    case kUserAccessLevel: return scalar(BuiltinType::Byte, static_cast<std::uint8_t>(allowed ? 1 : 0));
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, 1000.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    case kValue: break;
    default: return statusOnly(kBadAttributeIdInvalid);
  }
  if (!allowed) return statusOnly(kBadUserAccessDenied);
  DataValue out = valueOf(ua::Variant::scalar(
      BuiltinType::ExtensionObject,
      encoded(security ? diagnostics::SessionSecurityEncoding : diagnostics::SessionEncoding, [&](Encoder& e) {
        if (security) encodeSessionSecurityDiagnostics(e, node->session);
        else encodeSessionDiagnostics(e, node->session);
      })));
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
      for (std::uint32_t k = 1; k <= 2; ++k) {
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
  auto ticksOf = [&](Clock::time_point t) {
    return ticksNow - std::chrono::duration_cast<std::chrono::microseconds>(now - t).count() * 10;
  };
  {
    std::lock_guard lock(sessionsMutex_);
    sessions.reserve(sessions_.size());
    d.sessions.reserve(sessions_.size());
    for (const auto& [token, session] : sessions_) {
      sessions.push_back(session);
      SessionDiagnostics& out = d.sessions.emplace_back();
      const Session& in = *session;
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
      out.lastContactTime = ticksOf(in.lastUsed);
      out.activated = in.activated;
      out.user = in.activated ? in.user : std::string();
      out.userHistory = in.userHistory;
      out.authentication = in.activated ? in.authentication : std::string();
      out.peer = in.peer;
      out.policyUri = in.policyUri;
      out.securityMode = in.securityMode;
      out.clientCertificate = in.clientCertificate;
    }
  }
  const std::string serverUri = identity().applicationUri;
  std::set<double> intervals;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    Session& in = *sessions[i];
    SessionDiagnostics& out = d.sessions[i];
    out.serverUri = serverUri;
    out.total = in.counters.total();
    out.unauthorized = in.counters.unauthorized();
    for (std::size_t k = 0; k < kCountedServices; ++k) out.services[k] = in.counters.of(static_cast<CountedService>(k));
    std::lock_guard lock(in.mutex);
    out.subscriptions = static_cast<std::uint32_t>(in.subscriptions.size());
    out.monitoredItems = static_cast<std::uint32_t>(in.monitoredItems());
    out.publishRequests = static_cast<std::uint32_t>(in.publishes.size());
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

std::map<std::string, std::uint16_t> UaServer::unacknowledgedAlarms() const {
  std::lock_guard lock(alarmsMutex_);
  return alarms_.unacknowledged();
}

}  // namespace OpcToolbox::ua
