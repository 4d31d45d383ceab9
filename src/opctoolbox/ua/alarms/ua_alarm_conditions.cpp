#include "opctoolbox/ua/alarms/ua_alarm_conditions.h"

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kProcessConditionClassType = 11164;
constexpr StatusCode kBadEventIdUnknown = 0x809A0000u,
                     kBadConditionBranchAlreadyAcked = 0x80CF0000u, kBadConditionBranchAlreadyConfirmed = 0x80D00000u;
enum What { kAcknowledge, kConfirm, kComment };

Variant text(std::string s) { return Variant::scalar(BuiltinType::LocalizedText, LocalizedText{std::string("en"), std::move(s)}); }
Variant flag(bool b) { return Variant::scalar(BuiltinType::Boolean, b); }
Variant when(std::int64_t ticks) { return Variant::scalar(BuiltinType::DateTime, DateTimeValue{ticks}); }
Variant plain(std::string s) { return Variant::scalar(BuiltinType::String, UaString{std::move(s)}); }

}  // namespace

NodeId conditionNodeId(std::string_view id) { return NodeId::stringId(kNs, std::string(id)); }

NodeId conditionEventType(std::uint32_t type) {
  // Below 0x10000 a standard type; the application's own are numbered above.
  return type < 0x10000 ? NodeId::numericId(0, type) : NodeId::numericId(kNs, type);
}

UaEvent AlarmConditions::eventOf(const State& s) const {
  const ConditionReport& r = s.report;
  UaEvent e;
  e.eventType = conditionEventType(r.type);
  e.conditionId = conditionNodeId(r.id);
  e.source = r.source;
  const std::int64_t now = nowTicks();
  e.fields = {
      {"EventId", Variant::scalar(BuiltinType::ByteString, ByteStringValue{s.eventId})},
      {"EventType", Variant::scalar(BuiltinType::NodeId, e.eventType)},
      {"SourceNode", Variant::scalar(BuiltinType::NodeId, r.source.empty() ? NodeId::numericId(0, 2253) : NodeId::stringId(kNs, r.source))},
      {"SourceName", plain(r.source.empty() ? std::string("Server") : r.source)},
      {"Time", when(s.time)},
      {"ReceiveTime", when(now)},
      {"Message", text(r.message)},
      {"Severity", Variant::scalar(BuiltinType::UInt16, r.severity)},
      {"ConditionClassId", Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, kProcessConditionClassType))},
      {"ConditionClassName", text("Process")},
      {"ConditionName", plain(r.name)},
      {"BranchId", Variant::scalar(BuiltinType::NodeId, NodeId{})},
      {"Retain", flag(s.retain())},
      {"EnabledState", text("Enabled")},
      {"EnabledState/Id", flag(true)},
      {"Quality", Variant::scalar(BuiltinType::StatusCode, StatusCodeValue{kGood})},
      {"LastSeverity", Variant::scalar(BuiltinType::UInt16, s.lastSeverity)},
      {"Comment", Variant::scalar(BuiltinType::LocalizedText, s.comment)},
      {"Comment/SourceTimestamp", when(s.commentTime)},
      {"ClientUserId", plain(s.clientUserId)},
      {"AckedState", text(s.acked ? "Acknowledged" : "Unacknowledged")},
      {"AckedState/Id", flag(s.acked)},
      {"ConfirmedState", text(s.confirmed ? "Confirmed" : "Unconfirmed")},
      {"ConfirmedState/Id", flag(s.confirmed)},
      {"ActiveState", text(r.active ? "Active" : "Inactive")},
      {"ActiveState/Id", flag(r.active)},
      {"SuppressedOrShelved", flag(false)},
  };
  return e;
}

UaEvent AlarmConditions::raise(State& s, std::int64_t time) {
  s.eventId = randomBytes(16);
  s.time = time;
  return eventOf(s);
}

UaEvent AlarmConditions::changed(const ConditionReport& report) {
  auto it = conditions_.find(report.id);
  if (it == conditions_.end()) it = conditions_.emplace(report.id, State{}).first;
  State& s = it->second;
  const bool becameActive = report.active && !s.report.active;
  s.lastSeverity = s.report.id.empty() ? report.severity : s.report.severity;
  s.report = report;
  // Each new activation asks a person again.
  if (becameActive) {
    s.acked = false;
    s.confirmed = true;
  }
  const std::int64_t time = report.time.isSet() ? report.time.ticks() : nowTicks();
  UaEvent event = raise(s, time);
  if (!s.retain()) conditions_.erase(it);
  return event;
}

StatusCode AlarmConditions::comment(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                                    const std::string& user, int what, UaEvent& out) {
  auto it = conditions_.find(id);
  if (it == conditions_.end()) return kBadNodeIdUnknown;
  State& s = it->second;
  if (eventId != s.eventId) return kBadEventIdUnknown;
  if (what == kAcknowledge && s.acked) return kBadConditionBranchAlreadyAcked;
  if (what == kConfirm && s.confirmed) return kBadConditionBranchAlreadyConfirmed;
  const std::int64_t now = nowTicks();
  if (what == kAcknowledge) {
    s.acked = true;
    s.confirmed = false;  // a confirmation may follow; it is not needed to let the alarm go
  } else if (what == kConfirm) {
    s.confirmed = true;
  }
  if (comment.text && !comment.text->empty()) {
    s.comment = comment;
    s.commentTime = now;
  }
  s.clientUserId = user;
  out = raise(s, now);
  if (!s.retain()) conditions_.erase(it);
  return kGood;
}

StatusCode AlarmConditions::acknowledge(std::string_view id, std::string_view eventId, const LocalizedText& c,
                                        const std::string& user, UaEvent& out) {
  return comment(id, eventId, c, user, kAcknowledge, out);
}

StatusCode AlarmConditions::confirm(std::string_view id, std::string_view eventId, const LocalizedText& c,
                                    const std::string& user, UaEvent& out) {
  return comment(id, eventId, c, user, kConfirm, out);
}

StatusCode AlarmConditions::addComment(std::string_view id, std::string_view eventId, const LocalizedText& c,
                                       const std::string& user, UaEvent& out) {
  return comment(id, eventId, c, user, kComment, out);
}

std::vector<UaEvent> AlarmConditions::retained() const {
  std::vector<UaEvent> out;
  out.reserve(conditions_.size());
  for (const auto& [id, s] : conditions_) out.push_back(eventOf(s));
  return out;
}

UaEvent AlarmConditions::refreshEvent(bool start) {
  UaEvent e;
  const std::uint32_t type = start ? alarm::RefreshStartEventType : alarm::RefreshEndEventType;
  e.eventType = NodeId::numericId(0, type);
  const std::int64_t now = nowTicks();
  e.fields = {
      {"EventId", Variant::scalar(BuiltinType::ByteString, ByteStringValue{randomBytes(16)})},
      {"EventType", Variant::scalar(BuiltinType::NodeId, e.eventType)},
      {"SourceNode", Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 2253))},
      {"SourceName", plain("Server")},
      {"Time", when(now)},
      {"ReceiveTime", when(now)},
      {"Message", text(start ? "Condition refresh starts" : "Condition refresh ends")},
      {"Severity", Variant::scalar(BuiltinType::UInt16, std::uint16_t{1})},
  };
  return e;
}

}  // namespace OpcToolbox::ua
