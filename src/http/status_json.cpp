#include "http/status_json.h"

#include <cstdio>

namespace vexahv::http {
namespace {

// A JSON string: quotes, backslashes and control characters escaped; bytes of 0x80 and
// above pass as they are (the texts are UTF-8 or ASCII).
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}


const char* stateName(std::int32_t connection) {
  return connection == 1 ? "connected" : connection == 2 ? "lost" : "pending";
}

}  // namespace

std::string statusJson(const ServerFigures& s, const ProcessFigures& p, const std::string& version) {
  std::string out = "{\"release\":" + quoted(version) + ",\"crates\":[";
  for (std::size_t i = 0; i < s.crates.size(); ++i) {
    const CrateFigures& c = s.crates[i];
    std::uint64_t failures = 0;
    for (const auto& [reason, count] : c.calls.failuresByReason) failures += count;
    out += std::string(i ? "," : "") + "{\"name\":" + quoted(c.name) + ",\"address\":" + quoted(c.address) +
           ",\"state\":\"" + stateName(c.connection) + "\",\"boards\":" + std::to_string(c.boards) +
           ",\"channels\":" + std::to_string(c.channels) + ",\"keepAliveFailures\":" +
           std::to_string(c.keepAliveFailures) + ",\"libraryCalls\":" + std::to_string(c.calls.calls) +
           ",\"libraryFailures\":" + std::to_string(failures) + ",\"eventsApplied\":" + std::to_string(c.eventsApplied) +
           ",\"lastEventAgeSeconds\":" + (c.lastEventAgeSeconds >= 0 ? shortestNumber(c.lastEventAgeSeconds) : "null") +
           "}";
  }
  std::size_t active = 0;
  for (const auto& [severity, count] : s.activeAlarmsBySeverity) active += count;
  std::size_t unacknowledged = 0;
  for (const auto& [severity, count] : s.unacknowledgedAlarmsBySeverity) unacknowledged += count;
  const OpcUaFigures& ua = s.opcUa;
  out += "],\"opcUaSessions\":" + std::to_string(ua.sessions) + ",\"opcUa\":{\"subscriptions\":" +
         std::to_string(ua.subscriptions) + ",\"monitoredItems\":" + std::to_string(ua.monitoredItems) +
         ",\"notificationsSent\":" + std::to_string(ua.notificationsSent) + ",\"loginFailures\":" +
         std::to_string(ua.loginFailures) + ",\"clients\":[";
  for (std::size_t i = 0; i < ua.clients.size(); ++i) {
    const ClientFigures& c = ua.clients[i];
    out += std::string(i ? "," : "") + "{\"session\":" + quoted(c.name) + ",\"user\":" + quoted(c.user) +
           ",\"address\":" + quoted(c.address) + ",\"policy\":" + quoted(c.policy) + ",\"mode\":" + quoted(c.mode) +
           ",\"subscriptions\":" + std::to_string(c.subscriptions) + ",\"monitoredItems\":" +
           std::to_string(c.monitoredItems) + ",\"connectedSeconds\":" + shortestNumber(c.connectedSeconds) + "}";
  }
  out += "]},\"alarmsActive\":" + std::to_string(active) + ",\"alarmsUnacknowledged\":" +
         std::to_string(unacknowledged) + ",\"alarms\":[";
  for (std::size_t i = 0; i < s.activeAlarms.size(); ++i) {
    const AlarmFigures& a = s.activeAlarms[i];
    out += std::string(i ? "," : "") + "{\"id\":" + quoted(a.id) + ",\"severity\":" + std::to_string(a.severity) +
           ",\"acknowledged\":" + (a.acknowledged ? "true" : "false") + ",\"message\":" + quoted(a.message) + "}";
  }
  out += "],\"process\":{\"cpuSeconds\":" + shortestNumber(p.cpuSeconds) + ",\"residentBytes\":" + shortestNumber(p.residentBytes) +
         "}}";
  return out;
}

}  // namespace vexahv::http
