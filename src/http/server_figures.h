#pragma once
// What the HTTP endpoint shows, as the process hands it over at each request: a copy, so
// that nothing here holds a lock of the server's while it formats or sends.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vexahv::http {

// The HV library's calls on one crate, over every handle it has had.
struct CallFigures {
  std::uint64_t calls = 0;
  std::vector<std::pair<std::string, std::uint64_t>> failuresByReason;  // reasons that occurred
  std::vector<double> boundsSeconds;   // upper bounds of the latency buckets but the last
  std::vector<std::uint64_t> buckets;  // one more than the bounds: the last holds the slower calls
  double sumSeconds = 0;
  std::uint64_t reconnections = 0;
};

struct CrateFigures {
  std::string name;
  std::string address;
  std::int32_t connection = 0;  // 0 pending, 1 connected, 2 lost
  std::uint32_t keepAliveFailures = 0;
  std::size_t boards = 0;
  std::size_t channels = 0;
  bool hasCalls = false;  // it has made a call
  CallFigures calls;
  // Its event records: applied to items, and dropped by cause.
  std::uint64_t eventsApplied = 0;
  std::uint64_t eventsDroppedUnknownItem = 0;
  std::uint64_t eventsDroppedNotConnected = 0;
  std::uint64_t eventDatagramsDamaged = 0;  // from its address, that did not decode
  double lastEventAgeSeconds = -1;  // -1: none yet
};

struct AlarmFigures {
  std::string id;  // "<source>#<name>"
  std::uint16_t severity = 0;
  std::string message;
  bool acknowledged = true;
};

// An OPC UA session, as far as an operator needs to know who is connected.
struct ClientFigures {
  std::string name;     // the session's
  std::string user;     // empty until activated
  std::string address;  // the client's
  std::string policy;   // the security policy's name: "None", "Basic256Sha256", ...
  std::string mode;     // "None", "Sign", "SignAndEncrypt"
  std::uint32_t subscriptions = 0;
  std::uint32_t monitoredItems = 0;
  double connectedSeconds = 0;
};

// The OPC UA endpoint's figures: what it holds now and what it counted since the start.
struct OpcUaFigures {
  std::size_t sessions = 0;
  std::size_t subscriptions = 0;
  std::uint64_t monitoredItems = 0;
  std::uint64_t publishRequestsQueued = 0;
  std::uint64_t bytesQueued = 0;
  std::uint64_t sessionsCreated = 0;
  std::uint64_t sessionsRejected = 0;
  std::uint64_t sessionTimeouts = 0;
  std::uint64_t requestsRejected = 0;
  std::uint64_t loginFailures = 0;
  std::uint64_t notificationsSent = 0;
  std::vector<ClientFigures> clients;  // at most kClientsListed
};

// Event data no crate of this server sent: UDP datagrams from other addresses (not even
// decoded), and records a crate's datagram carried for a system that is not its own.
struct EventFigures {
  std::uint64_t datagramsFromStrangers = 0;
  std::uint64_t recordsOfOtherSystems = 0;
};

struct ServerFigures {
  std::vector<CrateFigures> crates;
  EventFigures events;
  OpcUaFigures opcUa;
  std::map<std::uint16_t, std::size_t> activeAlarmsBySeverity;
  std::map<std::uint16_t, std::size_t> unacknowledgedAlarmsBySeverity;
  std::vector<AlarmFigures> activeAlarms;  // the most severe first, at most kAlarmsListed
};

// The status view lists this many active alarms and clients at most (the counts hold all).
inline constexpr std::size_t kAlarmsListed = 200;
inline constexpr std::size_t kClientsListed = 200;

using FiguresSource = std::function<ServerFigures()>;

}  // namespace vexahv::http
