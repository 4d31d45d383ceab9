#include "core/server_figures.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <vector>

#include "addressspace/vexahv_opc_server.h"
#include "events/udp_event_loop.h"
#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/application.h"
#include "opctoolbox/ua/channel/ua_channel_security.h"
#include "opctoolbox/ua/endpoint/ua_endpoint.h"

namespace vexahv {

namespace {

const char* reasonOf(int code) {
  static constexpr const char* kReasons[] = {
      "ok",           "not_connected", "timeout",       "login_refused", "unknown_handle",   "system_type",
      "link_type",    "no_slot",       "no_channel",    "no_parameter",  "no_property",      "wrong_type",
      "read_only",    "write_only",    "out_of_range",  "protocol",      "invalid_argument", "no_command",
      "inhibited",    "socket",        "no_memory"};
  return code >= 0 && code < static_cast<int>(std::size(kReasons)) ? kReasons[code] : "other";
}

// Counters only: nothing is sent to the mainframe. False before the crate's first call.
bool callFigures(const Crate& crate, http::CallFigures& out) {
  const VEXAHVCallStatistics s = crate.callStatistics();
  if (s.calls == 0) return false;
  static constexpr int kBoundsMs[VEXAHV_LATENCY_BUCKETS - 1] = VEXAHV_LATENCY_BOUNDS_MS;
  out.calls = s.calls;
  for (int code = 1; code < VEXAHV_FAILURE_CODES; ++code) {
    if (s.failures[code] != 0) out.failuresByReason.emplace_back(reasonOf(code), s.failures[code]);
  }
  for (const int ms : kBoundsMs) out.boundsSeconds.push_back(ms / 1000.0);
  out.buckets.assign(std::begin(s.latencyBuckets), std::end(s.latencyBuckets));
  out.sumSeconds = static_cast<double>(s.latencySumMicroseconds) / 1e6;
  out.reconnections = s.reconnections;
  return true;
}

void opcUaFigures(const OpcToolbox::ua::EndpointDiagnostics& d, http::ServerFigures& out) {
  http::OpcUaFigures& f = out.opcUa;
  f.sessions = d.summary.currentSessionCount;
  f.subscriptions = d.summary.currentSubscriptionCount;
  f.monitoredItems = d.monitoredItems;
  f.publishRequestsQueued = d.publishRequestsQueued;
  f.bytesQueued = d.bytesQueued;
  f.sessionsCreated = d.summary.cumulatedSessionCount;
  f.sessionsRejected = d.summary.rejectedSessionCount;
  f.sessionTimeouts = d.summary.sessionTimeoutCount;
  f.requestsRejected = d.summary.rejectedRequestsCount;
  f.loginFailures = d.loginFailures;
  f.notificationsSent = d.notificationsSent;
  const std::int64_t now = OpcToolbox::ua::nowTicks();
  for (const OpcToolbox::ua::SessionDiagnostics& s : d.sessions) {
    if (f.clients.size() == http::kClientsListed) break;
    f.clients.push_back({s.name, s.user, s.peer, std::string(OpcToolbox::ua::policyName(s.policyUri)),
                         std::string(OpcToolbox::ua::securityModeName(s.securityMode)), s.subscriptions,
                         s.monitoredItems, static_cast<double>(now - s.connectionTime) / 1e7});
  }
  for (const auto& [id, severity] : d.unacknowledgedAlarms) ++out.unacknowledgedAlarmsBySeverity[severity];
}

}  // namespace

http::ServerFigures collectServerFigures(const OpcToolbox::ua::UaEndpoint* endpoint, const events::UdpEventLoop* udp) {
  http::ServerFigures figures;
  if (udp != nullptr) {
    figures.events.datagramsFromStrangers = udp->droppedDatagrams();
    figures.events.recordsOfOtherSystems = udp->droppedRecords();
  }
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (SystemList* list = server->getSystemList()) {
      for (const VEXAHVElementPtr& node : list->snapshot()) {
        http::CrateFigures crate;
        crate.name = node->getName();
        crate.connection = node->getConnectionStatus();
        if (const auto& owner = node->crate()) {
          crate.address = owner->address();
          crate.keepAliveFailures = owner->failCount();
          crate.hasCalls = callFigures(*owner, crate.calls);
          const Crate::EventCounts events = owner->eventCounts();
          crate.eventsApplied = events.applied;
          crate.eventsDroppedUnknownItem = events.dropped[static_cast<std::size_t>(Crate::EventDrop::UnknownItem)];
          crate.eventsDroppedNotConnected = events.dropped[static_cast<std::size_t>(Crate::EventDrop::NotConnected)];
          crate.eventDatagramsDamaged = events.dropped[static_cast<std::size_t>(Crate::EventDrop::DamagedDatagram)];
          if (events.applied != 0) {
            crate.lastEventAgeSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - events.lastApplied).count();
          }
        }
        for (const auto& board : node->getOwnChildren()) {
          if (board->getKind() != ElementKind::Board) continue;
          ++crate.boards;
          for (const auto& channel : board->getOwnChildren()) crate.channels += channel->getKind() == ElementKind::Channel;
        }
        figures.crates.push_back(std::move(crate));
      }
    }
  }
  OpcToolbox::ua::EndpointDiagnostics opcUa;
  if (endpoint != nullptr) {
    opcUa = endpoint->diagnostics();
    opcUaFigures(opcUa, figures);
  }
  if (OpcToolbox::Application* app = OpcToolbox::getApp()) {
    std::vector<OpcToolbox::ConditionReport> active = app->conditions().active();
    for (const OpcToolbox::ConditionReport& alarm : active) ++figures.activeAlarmsBySeverity[alarm.severity];
    // The most severe listed first, as many as the view shows.
    const std::size_t listed = std::min(active.size(), http::kAlarmsListed);
    std::partial_sort(active.begin(), active.begin() + static_cast<std::ptrdiff_t>(listed), active.end(),
                      [](const auto& a, const auto& b) { return a.severity != b.severity ? a.severity > b.severity : a.id < b.id; });
    for (std::size_t i = 0; i < listed; ++i) {
      figures.activeAlarms.push_back(
          {active[i].id, active[i].severity, active[i].message, !opcUa.unacknowledgedAlarms.contains(active[i].id)});
    }
  }
  return figures;
}

}  // namespace vexahv
