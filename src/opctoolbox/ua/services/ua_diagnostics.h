#pragma once
// The endpoint's diagnostics (OPC UA Part 5, 12.9 to 12.11): counters kept as requests
// pass, with relaxed atomics and no lock, and the snapshots made of them on demand, for
// the ServerDiagnostics nodes and for the process's metrics.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace OpcToolbox::ua {

// The services a session's diagnostics count, in the order of SessionDiagnosticsDataType.
enum class CountedService : std::uint8_t {
  Read, HistoryRead, Write, HistoryUpdate, Call, CreateMonitoredItems, ModifyMonitoredItems, SetMonitoringMode,
  SetTriggering, DeleteMonitoredItems, CreateSubscription, ModifySubscription, SetPublishingMode, Publish, Republish,
  TransferSubscriptions, DeleteSubscriptions, AddNodes, AddReferences, DeleteNodes, DeleteReferences, Browse,
  BrowseNext, TranslateBrowsePathsToNodeIds, QueryFirst, QueryNext, RegisterNodes, UnregisterNodes,
  None  // a service no session counts (discovery, the Session service set)
};
inline constexpr std::size_t kCountedServices = static_cast<std::size_t>(CountedService::None);

// A status code that refuses a request or a session for a reason of security.
bool isSecurityRefusal(StatusCode status) noexcept;

struct ServiceCount {
  std::uint32_t total = 0;
  std::uint32_t errors = 0;
};

// One session's requests: every one, by service, and those refused as not allowed.
class SessionCounters {
 public:
  void request(CountedService service) noexcept;
  void failed(CountedService service, StatusCode status) noexcept;
  ServiceCount total() const noexcept { return load(all_); }
  ServiceCount of(CountedService service) const noexcept { return load(byService_[static_cast<std::size_t>(service)]); }
  std::uint32_t unauthorized() const noexcept { return unauthorized_.load(std::memory_order_relaxed); }

 private:
  struct Counter {
    std::atomic<std::uint32_t> total{0};
    std::atomic<std::uint32_t> errors{0};
  };
  static ServiceCount load(const Counter& c) noexcept {
    return {c.total.load(std::memory_order_relaxed), c.errors.load(std::memory_order_relaxed)};
  }
  Counter all_;
  std::array<Counter, kCountedServices> byService_;
  std::atomic<std::uint32_t> unauthorized_{0};
};

// The server's counters since it started.
struct ServerCounters {
  std::atomic<std::uint32_t> cumulatedSessions{0};
  std::atomic<std::uint32_t> securityRejectedSessions{0};
  std::atomic<std::uint32_t> rejectedSessions{0};
  std::atomic<std::uint32_t> sessionTimeouts{0};
  std::atomic<std::uint32_t> sessionAborts{0};
  std::atomic<std::uint32_t> cumulatedSubscriptions{0};
  std::atomic<std::uint32_t> securityRejectedRequests{0};
  std::atomic<std::uint32_t> rejectedRequests{0};
  std::atomic<std::uint64_t> loginFailures{0};      // ActivateSession refused for its identity
  std::atomic<std::uint64_t> notificationsSent{0};  // data changes and events in NotificationMessages

  void add(std::atomic<std::uint32_t>& c, std::uint32_t n = 1) noexcept { c.fetch_add(n, std::memory_order_relaxed); }
  // A session refused at CreateSession or ActivateSession.
  void sessionRefused(StatusCode status) noexcept;
  // A request answered by a ServiceFault.
  void requestRefused(StatusCode status) noexcept;
};

struct ServerDiagnosticsSummary {
  std::uint32_t serverViewCount = 0;
  std::uint32_t currentSessionCount = 0;
  std::uint32_t cumulatedSessionCount = 0;
  std::uint32_t securityRejectedSessionCount = 0;
  std::uint32_t rejectedSessionCount = 0;
  std::uint32_t sessionTimeoutCount = 0;
  std::uint32_t sessionAbortCount = 0;
  std::uint32_t currentSubscriptionCount = 0;
  std::uint32_t cumulatedSubscriptionCount = 0;
  std::uint32_t publishingIntervalCount = 0;
  std::uint32_t securityRejectedRequestsCount = 0;
  std::uint32_t rejectedRequestsCount = 0;
};

// One session as its diagnostics show it.
struct SessionDiagnostics {
  NodeId sessionId;
  std::string name;
  std::string clientUri;
  std::string clientProductUri;
  std::string clientName;
  std::uint32_t clientType = 1;  // ApplicationType Client
  std::string serverUri;
  std::string endpointUrl;
  std::vector<std::string> localeIds;
  double timeoutMs = 0;
  std::uint32_t maxResponseMessageSize = 0;
  std::int64_t connectionTime = 0;   // DateTime ticks
  std::int64_t lastContactTime = 0;  // DateTime ticks
  bool activated = false;
  std::uint32_t subscriptions = 0;
  std::uint32_t monitoredItems = 0;
  std::uint32_t publishRequests = 0;
  ServiceCount total;
  std::uint32_t unauthorized = 0;
  std::array<ServiceCount, kCountedServices> services{};
  // Its security: who, how authenticated, over what.
  std::string user;
  std::vector<std::string> userHistory;
  std::string authentication;  // the UserTokenType's name: "Anonymous", "UserName", "Certificate"
  std::string peer;            // the client's address
  std::string policyUri;
  std::uint32_t securityMode = 1;
  std::string clientCertificate;  // DER, empty without one
};

// One subscription as its diagnostics show it (SubscriptionDiagnosticsDataType's fields).
struct SubscriptionDiagnostics {
  NodeId sessionId;  // null while it waits for a transfer
  std::uint32_t subscriptionId = 0;
  std::uint8_t priority = 0;
  double publishingInterval = 0;
  std::uint32_t maxKeepAliveCount = 0, maxLifetimeCount = 0, maxNotificationsPerPublish = 0;
  bool publishingEnabled = false;
  std::uint32_t modifyCount = 0, enableCount = 0, disableCount = 0;
  std::uint32_t republishRequestCount = 0, republishMessageRequestCount = 0, republishMessageCount = 0;
  std::uint32_t transferRequestCount = 0, transferredToAltClientCount = 0, transferredToSameClientCount = 0;
  std::uint32_t publishRequestCount = 0, dataChangeNotificationsCount = 0, eventNotificationsCount = 0,
                notificationsCount = 0, latePublishRequestCount = 0;
  std::uint32_t currentKeepAliveCount = 0, currentLifetimeCount = 0;
  std::uint32_t unacknowledgedMessageCount = 0, discardedMessageCount = 0;
  std::uint32_t monitoredItemCount = 0, disabledMonitoredItemCount = 0, monitoringQueueOverflowCount = 0;
  std::uint32_t nextSequenceNumber = 0, eventQueueOverflowCount = 0;
};

// The endpoint as a whole, at one moment.
struct EndpointDiagnostics {
  ServerDiagnosticsSummary summary;
  std::vector<SessionDiagnostics> sessions;  // by session id
  std::uint64_t monitoredItems = 0;
  std::uint64_t publishRequestsQueued = 0;
  std::uint64_t notificationsSent = 0;
  std::uint64_t loginFailures = 0;
  std::uint64_t bytesQueued = 0;  // answers waiting for their clients to read them
  std::map<std::string, std::uint16_t> unacknowledgedAlarms;  // condition id, severity (the endpoint's only)
};

// The ExtensionObject bodies of the diagnostics data types (binary encoding).
void encodeServerDiagnosticsSummary(Encoder& e, const ServerDiagnosticsSummary& s);
void encodeSessionDiagnostics(Encoder& e, const SessionDiagnostics& s);
void encodeSessionSecurityDiagnostics(Encoder& e, const SessionDiagnostics& s);
void encodeSubscriptionDiagnostics(Encoder& e, const SubscriptionDiagnostics& s);

namespace diagnostics {
// Namespace 0's nodes of the Server object's diagnostics and their types (OPC UA Part 6, NodeIds.csv).
inline constexpr std::uint32_t ServerDiagnostics = 2274, Summary = 2275, SessionsSummary = 3706,
                               SessionDiagnosticsArray = 3707, SessionSecurityDiagnosticsArray = 3708,
                               SubscriptionDiagnosticsArray = 2290, EnabledFlag = 2294;
inline constexpr std::uint32_t SummaryDataType = 859, SummaryEncoding = 861, SessionDataType = 865,
                               SessionEncoding = 867, SessionSecurityDataType = 868, SessionSecurityEncoding = 870,
                               SubscriptionDataType = 874, SubscriptionEncoding = 876;
inline constexpr std::uint32_t ServerDiagnosticsType = 2020, SessionsDiagnosticsSummaryType = 2026,
                               SessionDiagnosticsObjectType = 2029, ServerDiagnosticsSummaryType = 2150,
                               SessionDiagnosticsArrayType = 2196, SessionDiagnosticsVariableType = 2197,
                               SessionSecurityDiagnosticsArrayType = 2243, SessionSecurityDiagnosticsType = 2244,
                               SubscriptionDiagnosticsArrayType = 2171;
// The summary's components, in the order of its fields.
inline constexpr std::array<std::uint32_t, 12> kSummaryComponents = {2276, 2277, 2278, 2279, 3705, 2281,
                                                                     2282, 2285, 2286, 2284, 2287, 2288};
// A component's field, or -1 for none.
int summaryField(std::uint32_t id) noexcept;
std::uint32_t summaryValue(const ServerDiagnosticsSummary& s, int field) noexcept;
}  // namespace diagnostics

}  // namespace OpcToolbox::ua
