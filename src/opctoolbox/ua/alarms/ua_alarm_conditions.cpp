#include "opctoolbox/ua/alarms/ua_alarm_conditions.h"

#include <algorithm>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kProcessConditionClassType = 11164;
constexpr StatusCode kBadConditionAlreadyEnabled = 0x80CC0000u, kBadConditionAlreadyDisabled = 0x80980000u,
                     kBadConditionAlreadyShelved = 0x80D10000u, kBadConditionNotShelved = 0x80D20000u,
                     kBadShelvingTimeOutOfRange = 0x80D30000u, kBadConditionDisabled = 0x80990000u;
constexpr double kMaxTimeShelvedMs = 24.0 * 3600 * 1000;
constexpr std::uint32_t kUnshelved = 2930, kTimedShelved = 2932, kOneShotShelved = 2933;  // the states' NodeIds
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
      {"EnabledState", text(s.enabled ? "Enabled" : "Disabled")},
      {"EnabledState/Id", flag(s.enabled)},
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
      {"SuppressedOrShelved", flag(s.shelf != Shelf::None)},
      {"ShelvingState/CurrentState", text(s.shelf == Shelf::None ? "Unshelved" : s.shelf == Shelf::Timed ? "TimedShelved" : "OneShotShelved")},
      {"ShelvingState/CurrentState/Id",
       Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, s.shelf == Shelf::None ? kUnshelved
                                                                 : s.shelf == Shelf::Timed ? kTimedShelved
                                                                                           : kOneShotShelved))},
      {"ShelvingState/UnshelveTime",
       Variant::scalar(BuiltinType::Double, s.shelf == Shelf::Timed ? static_cast<double>(std::max<std::int64_t>(0, s.shelfEnd - now)) / 1e4 : 0.0)},
  };
  return e;
}

UaEvent AlarmConditions::stateOf(const ConditionReport& quiet) const {
  if (auto it = conditions_.find(quiet.id); it != conditions_.end()) return eventOf(it->second);
  State s;
  s.report = quiet;
  s.report.active = false;
  s.lastSeverity = quiet.severity;
  return eventOf(s);
}

UaEvent AlarmConditions::raise(State& s, std::int64_t time) {
  s.eventId = randomBytes(16);
  s.time = time;
  return eventOf(s);
}

std::optional<UaEvent> AlarmConditions::changed(const ConditionReport& report) {
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
  // A one-shot shelf lasts until the condition is back to normal.
  if (s.shelf == Shelf::OneShot && !report.active) s.shelf = Shelf::None;
  if (s.quiet()) {
    s.time = time;
    return std::nullopt;
  }
  UaEvent event = raise(s, time);
  if (!s.kept()) conditions_.erase(it);
  return event;
}

StatusCode AlarmConditions::setEnabled(std::string_view id, bool enabled, const std::string& user,
                                       std::optional<UaEvent>& out) {
  auto it = conditions_.find(id);
  if (it == conditions_.end()) return kBadNodeIdUnknown;
  State& s = it->second;
  if (s.enabled == enabled) return enabled ? kBadConditionAlreadyEnabled : kBadConditionAlreadyDisabled;
  s.enabled = enabled;
  s.clientUserId = user;
  // Disabled, it says so once; enabled, it shows its state (unless shelved meanwhile).
  if (s.shelf == Shelf::None) out = raise(s, nowTicks());
  if (!s.kept()) conditions_.erase(it);
  return kGood;
}

StatusCode AlarmConditions::shelve(std::string_view id, Shelf shelf, double ms, const std::string& user,
                                   std::optional<UaEvent>& out) {
  auto it = conditions_.find(id);
  if (it == conditions_.end()) return kBadNodeIdUnknown;
  State& s = it->second;
  if (!s.enabled) return kBadConditionDisabled;
  if (shelf == Shelf::None && s.shelf == Shelf::None) return kBadConditionNotShelved;
  if (shelf != Shelf::None && s.shelf != Shelf::None) return kBadConditionAlreadyShelved;
  if (shelf == Shelf::Timed && !(ms > 0 && ms <= kMaxTimeShelvedMs)) return kBadShelvingTimeOutOfRange;
  const std::int64_t now = nowTicks();
  // The event of the change itself is the last one clients see until it is unshelved.
  s.shelf = shelf;
  s.shelfEnd = shelf == Shelf::Timed ? now + static_cast<std::int64_t>(ms * 1e4) : 0;
  s.clientUserId = user;
  out = raise(s, now);
  if (!s.kept()) conditions_.erase(it);
  return kGood;
}

std::vector<UaEvent> AlarmConditions::expireShelves(std::int64_t now) {
  std::vector<UaEvent> out;
  for (auto it = conditions_.begin(); it != conditions_.end();) {
    State& s = it->second;
    if (s.shelf == Shelf::Timed && s.shelfEnd <= now) {
      s.shelf = Shelf::None;
      if (s.enabled) out.push_back(raise(s, now));
      if (!s.kept()) {
        it = conditions_.erase(it);
        continue;
      }
    }
    ++it;
  }
  return out;
}

std::int64_t AlarmConditions::nextShelfEnd() const noexcept {
  std::int64_t next = std::numeric_limits<std::int64_t>::max();
  for (const auto& [id, s] : conditions_) {
    if (s.shelf == Shelf::Timed) next = std::min(next, s.shelfEnd);
  }
  return next;
}

StatusCode AlarmConditions::comment(std::string_view id, std::string_view eventId, const LocalizedText& comment,
                                    const std::string& user, int what, UaEvent& out) {
  auto it = conditions_.find(id);
  if (it == conditions_.end()) return kBadNodeIdUnknown;
  State& s = it->second;
  if (!s.enabled) return kBadConditionDisabled;
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
  if (!s.kept()) conditions_.erase(it);
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
  for (const auto& [id, s] : conditions_) {
    if (s.retain()) out.push_back(eventOf(s));
  }
  return out;
}

std::map<std::string, std::uint16_t> AlarmConditions::unacknowledged() const {
  std::map<std::string, std::uint16_t> out;
  for (const auto& [id, s] : conditions_) {
    if (s.enabled && !s.acked) out.emplace(id, s.report.severity);
  }
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
