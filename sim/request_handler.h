#pragma once
// Decodes one request of the mainframe protocol, applies it to a mainframe and encodes the
// answer. Damaged payloads get a protocol-error answer; a frame that cannot be a request
// closes the connection.

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/socket.h"
#include "sim/event_publisher.h"
#include "sim/mainframe_model.h"

namespace vexahv::sim {

struct Faults {
  std::atomic<bool> silent{false};
  std::atomic<bool> refuseLogin{false};
  std::atomic<int> latencyMs{0};
};

struct Session {
  bool loggedIn = false;
  platform::Ipv4Endpoint peer;  // where events for this session's subscriptions go
};

struct RequestContext {
  MainframeModel& model;
  EventPublisher& events;
  const Faults& faults;
};

// body: the frame after its length field. Returns the whole response frame; close is set
// when the connection must end (after the answer, if there is one).
std::vector<std::uint8_t> handleRequest(RequestContext& ctx, Session& session,
                                        std::span<const std::uint8_t> body, bool& close);

}  // namespace vexahv::sim
