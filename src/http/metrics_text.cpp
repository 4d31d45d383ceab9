#include "http/metrics_text.h"

#include <charconv>

namespace vexahv::http {
namespace {

// A label value as the format wants it: backslash, double quote and line end escaped.
std::string label(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}


void family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string shortestNumber(double v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return ec == std::errc() ? std::string(text, end) : std::string("NaN");
}

std::string prometheusText(const ServerFigures& s, const ProcessFigures& p, const std::string& version) {
  std::string out;
  family(out, "vexahv_build_info", "gauge", "The server's release, as a label.");
  out += "vexahv_build_info{version=\"" + label(version) + "\"} 1\n";

  auto crateLabels = [](const CrateFigures& c) {
    return "crate=\"" + label(c.name) + "\",address=\"" + label(c.address) + "\"";
  };
  auto perCrate = [&](const char* name, const char* help, auto value) {
    family(out, name, "gauge", help);
    for (const CrateFigures& c : s.crates) {
      out += std::string(name) + "{" + crateLabels(c) + "} " + shortestNumber(static_cast<double>(value(c))) + "\n";
    }
  };
  perCrate("vexahv_crate_connected", "Whether the crate's library connection is up (1) or not (0).",
           [](const CrateFigures& c) { return c.connection == 1 ? 1 : 0; });
  perCrate("vexahv_crate_state", "The crate's connection state: 0 pending, 1 connected, 2 lost.",
           [](const CrateFigures& c) { return c.connection; });
  perCrate("vexahv_crate_keepalive_failures", "Keep-alive probes failed in a row.",
           [](const CrateFigures& c) { return c.keepAliveFailures; });
  perCrate("vexahv_crate_boards", "Boards the crate was built with.", [](const CrateFigures& c) { return c.boards; });
  perCrate("vexahv_crate_channels", "Channels the crate was built with.",
           [](const CrateFigures& c) { return c.channels; });

  // The library's calls, for the crates that made any.
  family(out, "vexahv_library_calls_total", "counter", "HV library calls made for the crate.");
  for (const CrateFigures& c : s.crates) {
    if (c.hasCalls) out += "vexahv_library_calls_total{" + crateLabels(c) + "} " + shortestNumber(double(c.calls.calls)) + "\n";
  }
  family(out, "vexahv_library_call_failures_total", "counter",
         "HV library calls that failed, by reason (the transport's or the mainframe's).");
  for (const CrateFigures& c : s.crates) {
    for (const auto& [reason, count] : c.calls.failuresByReason) {
      out += "vexahv_library_call_failures_total{" + crateLabels(c) + ",reason=\"" + label(reason) + "\"} " +
             shortestNumber(double(count)) + "\n";
    }
  }
  family(out, "vexahv_library_call_duration_seconds", "histogram", "How long HV library calls took, in seconds.");
  for (const CrateFigures& c : s.crates) {
    if (!c.hasCalls) continue;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < c.calls.buckets.size(); ++i) {
      cumulative += c.calls.buckets[i];
      const std::string le = i < c.calls.boundsSeconds.size() ? shortestNumber(c.calls.boundsSeconds[i]) : "+Inf";
      out += "vexahv_library_call_duration_seconds_bucket{" + crateLabels(c) + ",le=\"" + le + "\"} " +
             shortestNumber(double(cumulative)) + "\n";
    }
    out += "vexahv_library_call_duration_seconds_sum{" + crateLabels(c) + "} " + shortestNumber(c.calls.sumSeconds) + "\n";
    out += "vexahv_library_call_duration_seconds_count{" + crateLabels(c) + "} " + shortestNumber(double(cumulative)) + "\n";
  }
  family(out, "vexahv_library_reconnections_total", "counter",
         "Connections the HV library opened again for the crate after one broke.");
  for (const CrateFigures& c : s.crates) {
    if (c.hasCalls) {
      out += "vexahv_library_reconnections_total{" + crateLabels(c) + "} " + shortestNumber(double(c.calls.reconnections)) + "\n";
    }
  }

  family(out, "vexahv_crate_event_records_total", "counter", "Event records from the crate applied to its items.");
  for (const CrateFigures& c : s.crates) {
    out += "vexahv_crate_event_records_total{" + crateLabels(c) + "} " + shortestNumber(double(c.eventsApplied)) + "\n";
  }
  family(out, "vexahv_crate_event_records_dropped_total", "counter",
         "Event records from the crate not applied, by cause: an item it does not have, or the crate not connected.");
  for (const CrateFigures& c : s.crates) {
    out += "vexahv_crate_event_records_dropped_total{" + crateLabels(c) + ",cause=\"unknown_item\"} " +
           shortestNumber(double(c.eventsDroppedUnknownItem)) + "\n";
    out += "vexahv_crate_event_records_dropped_total{" + crateLabels(c) + ",cause=\"not_connected\"} " +
           shortestNumber(double(c.eventsDroppedNotConnected)) + "\n";
  }
  family(out, "vexahv_crate_event_datagrams_damaged_total", "counter",
         "UDP event datagrams from the crate's address that did not decode.");
  for (const CrateFigures& c : s.crates) {
    out += "vexahv_crate_event_datagrams_damaged_total{" + crateLabels(c) + "} " +
           shortestNumber(double(c.eventDatagramsDamaged)) + "\n";
  }
  family(out, "vexahv_event_datagrams_dropped_total", "counter",
         "UDP event datagrams from an address that is no crate of this server, dropped undecoded.");
  out += "vexahv_event_datagrams_dropped_total " + shortestNumber(double(s.events.datagramsFromStrangers)) + "\n";
  family(out, "vexahv_event_records_foreign_total", "counter",
         "Event records a crate's datagram carried for a system that is not its own, dropped.");
  out += "vexahv_event_records_foreign_total " + shortestNumber(double(s.events.recordsOfOtherSystems)) + "\n";
  family(out, "vexahv_crate_last_event_age_seconds", "gauge", "Seconds since the crate's last applied event record.");
  for (const CrateFigures& c : s.crates) {
    if (c.lastEventAgeSeconds >= 0) {
      out += "vexahv_crate_last_event_age_seconds{" + crateLabels(c) + "} " + shortestNumber(c.lastEventAgeSeconds) + "\n";
    }
  }

  auto single = [&](const char* name, const char* type, const char* help, double value) {
    family(out, name, type, help);
    out += std::string(name) + " " + shortestNumber(value) + "\n";
  };
  const OpcUaFigures& ua = s.opcUa;
  single("vexahv_opcua_sessions", "gauge", "OPC UA sessions open.", double(ua.sessions));
  single("vexahv_opcua_subscriptions", "gauge", "OPC UA subscriptions, with those kept for a transfer.",
         double(ua.subscriptions));
  single("vexahv_opcua_monitored_items", "gauge", "OPC UA monitored items.", double(ua.monitoredItems));
  single("vexahv_opcua_publish_requests_queued", "gauge", "Publish requests waiting for notifications.",
         double(ua.publishRequestsQueued));
  single("vexahv_opcua_send_queue_bytes", "gauge", "Bytes of answers waiting for their clients to take them.",
         double(ua.bytesQueued));
  single("vexahv_opcua_sessions_created_total", "counter", "OPC UA sessions created.", double(ua.sessionsCreated));
  single("vexahv_opcua_sessions_rejected_total", "counter", "OPC UA sessions refused at creation or activation.",
         double(ua.sessionsRejected));
  single("vexahv_opcua_session_timeouts_total", "counter", "OPC UA sessions ended because their client went silent.",
         double(ua.sessionTimeouts));
  single("vexahv_opcua_requests_rejected_total", "counter", "OPC UA requests answered by a service fault.",
         double(ua.requestsRejected));
  single("vexahv_opcua_login_failures_total", "counter", "OPC UA session activations refused for their user identity.",
         double(ua.loginFailures));
  single("vexahv_opcua_notifications_sent_total", "counter", "Data changes and events sent to OPC UA subscriptions.",
         double(ua.notificationsSent));
  auto bySeverity = [&](const char* name, const char* help, const std::map<std::uint16_t, std::size_t>& counts) {
    family(out, name, "gauge", help);
    for (const auto& [severity, count] : counts) {
      out += std::string(name) + "{severity=\"" + std::to_string(severity) + "\"} " +
             shortestNumber(static_cast<double>(count)) + "\n";
    }
  };
  bySeverity("vexahv_alarms_active", "Active alarms (conditions), by severity.", s.activeAlarmsBySeverity);
  bySeverity("vexahv_alarms_unacknowledged", "Alarms waiting for an acknowledgement, active or not, by severity.",
             s.unacknowledgedAlarmsBySeverity);

  family(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds.");
  out += "process_cpu_seconds_total " + shortestNumber(p.cpuSeconds) + "\n";
  family(out, "process_resident_memory_bytes", "gauge", "Resident memory size, in bytes.");
  out += "process_resident_memory_bytes " + shortestNumber(p.residentBytes) + "\n";
  return out;
}

}  // namespace vexahv::http
