#include "opctoolbox/ua/services/ua_diagnostics.h"

#include <algorithm>

#include "opctoolbox/ua/channel/ua_channel_security.h"
#include "opctoolbox/ua/channel/ua_transport.h"
#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {

bool isSecurityRefusal(StatusCode status) noexcept {
  switch (status) {
    case kBadUserAccessDenied: case kBadIdentityTokenInvalid: case kBadIdentityTokenRejected:
    case kBadSecurityChecksFailed: case kBadSecurityPolicyRejected: case kBadSecureChannelIdInvalid:
    case kBadCertificateInvalid: case kBadCertificateTimeInvalid: case kBadCertificateIssuerTimeInvalid:
    case kBadCertificateUriInvalid: case kBadCertificateUseNotAllowed:
      return true;
    default:
      return false;
  }
}

void SessionCounters::request(CountedService service) noexcept {
  all_.total.fetch_add(1, std::memory_order_relaxed);
  if (service != CountedService::None) {
    byService_[static_cast<std::size_t>(service)].total.fetch_add(1, std::memory_order_relaxed);
  }
}

void SessionCounters::failed(CountedService service, StatusCode status) noexcept {
  all_.errors.fetch_add(1, std::memory_order_relaxed);
  if (service != CountedService::None) {
    byService_[static_cast<std::size_t>(service)].errors.fetch_add(1, std::memory_order_relaxed);
  }
  if (isSecurityRefusal(status)) unauthorized_.fetch_add(1, std::memory_order_relaxed);
}

void ServerCounters::sessionRefused(StatusCode status) noexcept {
  add(rejectedSessions);
  if (isSecurityRefusal(status)) add(securityRejectedSessions);
}

void ServerCounters::requestRefused(StatusCode status) noexcept {
  add(rejectedRequests);
  if (isSecurityRefusal(status)) add(securityRejectedRequests);
}

namespace {

void serviceCount(Encoder& e, const ServiceCount& c) {
  e.uint32(c.total);
  e.uint32(c.errors);
}

void strings(Encoder& e, const std::vector<std::string>& values) {
  e.arrayLength(static_cast<std::int32_t>(values.size()));
  for (const std::string& s : values) e.string(s);
}

}  // namespace

void encodeServerDiagnosticsSummary(Encoder& e, const ServerDiagnosticsSummary& s) {
  for (int field = 0; field < static_cast<int>(diagnostics::kSummaryComponents.size()); ++field) {
    e.uint32(diagnostics::summaryValue(s, field));
  }
}

void encodeSessionDiagnostics(Encoder& e, const SessionDiagnostics& s) {
  e.nodeId(s.sessionId);
  e.string(s.name);
  // ClientDescription, an ApplicationDescription.
  e.string(s.clientUri);
  e.string(s.clientProductUri);
  e.localizedText(LocalizedText{std::nullopt, s.clientName});
  e.uint32(s.clientType);
  e.string(UaString{});
  e.string(UaString{});
  e.arrayLength(0);
  e.string(s.serverUri);
  e.string(s.endpointUrl);
  strings(e, s.localeIds);
  e.float64(s.timeoutMs);
  e.uint32(s.maxResponseMessageSize);
  e.dateTime(s.connectionTime);
  e.dateTime(s.lastContactTime);
  e.uint32(s.subscriptions);
  e.uint32(s.monitoredItems);
  e.uint32(s.publishRequests);
  serviceCount(e, s.total);
  e.uint32(s.unauthorized);
  for (const ServiceCount& c : s.services) serviceCount(e, c);
}

void encodeSessionSecurityDiagnostics(Encoder& e, const SessionDiagnostics& s) {
  e.nodeId(s.sessionId);
  e.string(s.user);
  strings(e, s.userHistory);
  e.string(s.authentication);
  e.string("UA Binary");
  e.string("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary");
  e.int32(static_cast<std::int32_t>(s.securityMode));
  e.string(s.policyUri.empty() ? std::string("http://opcfoundation.org/UA/SecurityPolicy#None") : s.policyUri);
  e.byteString(s.clientCertificate.empty() ? UaString{} : UaString{s.clientCertificate});
}

namespace diagnostics {

int summaryField(std::uint32_t id) noexcept {
  const auto it = std::find(kSummaryComponents.begin(), kSummaryComponents.end(), id);
  return it == kSummaryComponents.end() ? -1 : static_cast<int>(it - kSummaryComponents.begin());
}

std::uint32_t summaryValue(const ServerDiagnosticsSummary& s, int field) noexcept {
  const std::uint32_t values[] = {s.serverViewCount,          s.currentSessionCount,       s.cumulatedSessionCount,
                                  s.securityRejectedSessionCount, s.rejectedSessionCount,  s.sessionTimeoutCount,
                                  s.sessionAbortCount,        s.currentSubscriptionCount,  s.cumulatedSubscriptionCount,
                                  s.publishingIntervalCount,  s.securityRejectedRequestsCount, s.rejectedRequestsCount};
  return field >= 0 && field < static_cast<int>(std::size(values)) ? values[field] : 0;
}

}  // namespace diagnostics

void encodeSubscriptionDiagnostics(Encoder& e, const SubscriptionDiagnostics& s) {
  e.nodeId(s.sessionId);
  e.uint32(s.subscriptionId);
  e.byte(s.priority);
  e.float64(s.publishingInterval);
  for (std::uint32_t v : {s.maxKeepAliveCount, s.maxLifetimeCount, s.maxNotificationsPerPublish}) e.uint32(v);
  e.boolean(s.publishingEnabled);
  for (std::uint32_t v :
       {s.modifyCount, s.enableCount, s.disableCount, s.republishRequestCount, s.republishMessageRequestCount,
        s.republishMessageCount, s.transferRequestCount, s.transferredToAltClientCount, s.transferredToSameClientCount,
        s.publishRequestCount, s.dataChangeNotificationsCount, s.eventNotificationsCount, s.notificationsCount,
        s.latePublishRequestCount, s.currentKeepAliveCount, s.currentLifetimeCount, s.unacknowledgedMessageCount,
        s.discardedMessageCount, s.monitoredItemCount, s.disabledMonitoredItemCount, s.monitoringQueueOverflowCount,
        s.nextSequenceNumber, s.eventQueueOverflowCount}) {
    e.uint32(v);
  }
}

}  // namespace OpcToolbox::ua
