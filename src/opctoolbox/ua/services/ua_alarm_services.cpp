// Alarms & Conditions at the endpoint: the condition table's reports become events of the
// Server object, and the methods operators call on a condition (Acknowledge, Confirm,
// AddComment) and on ConditionType (ConditionRefresh, ConditionRefresh2) go through Call.

#include "history/history_service.h"
#include "opctoolbox/application.h"
#include "opctoolbox/ua/alarms/ua_alarm_conditions.h"
#include "opctoolbox/ua/events/ua_event_record.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

std::string textOf(const LocalizedText& t) { return t.text.value_or(""); }

}  // namespace

bool UaServer::isEventType(const NodeId& type, const NodeId& of) const {
  if (type.ns == 1 && type.kind == NodeId::Kind::Numeric) {
    if (of == type) return true;
    const std::uint32_t base = app_.conditions().baseTypeOf(type.numeric);
    return base != 0 && isSubtypeOf(NodeId::numericId(0, base), of);
  }
  return isSubtypeOf(type, of);
}

std::optional<UaServer::ConditionNode> UaServer::conditionNodeOf(std::string_view text) const {
  const auto name = splitConditionNodeId(text);
  if (!name) return std::nullopt;
  const ConditionClass* kind = app_.conditions().classOf(name->condition);
  if (kind == nullptr) return std::nullopt;
  const ConditionMember* member = nullptr;
  if (!name->member.empty() && (member = conditionMember(name->member)) == nullptr) return std::nullopt;
  const std::string_view id = name->condition;
  return ConditionNode{std::string(id), std::string(id.substr(0, id.rfind('#'))), kind, member};
}

ua::Variant UaServer::conditionValue(const ConditionNode& node) {
  ConditionReport quiet;
  quiet.id = node.id;
  quiet.source = node.source;
  quiet.name = node.kind->name;
  quiet.type = node.kind->type;
  quiet.severity = node.kind->severity;
  if (node.member == nullptr || *node.member->field == '\0') return {};
  std::lock_guard lock(alarmsMutex_);
  const UaEvent state = alarms_.stateOf(quiet);
  const ua::Variant* v = state.field(node.member->field);
  return v != nullptr ? *v : ua::Variant{};
}

void UaServer::raiseEvent(const UaEvent& event) {
  // Kept first, whoever watches: a read of history later sees every event raised.
  if (vexahv::history::HistoryService* history = app_.history()) {
    const Variant* time = event.field("Time");
    const auto* ticks = time != nullptr && !time->values.empty() ? std::get_if<DateTimeValue>(&time->values.front()) : nullptr;
    history->recordEvent({ticks != nullptr ? ticks->ticks : nowTicks(), event.source, encodeEventRecord(event)});
  }
  for (const auto& session : allSessions()) {
    std::lock_guard lock(session->mutex);
    for (auto& [sid, sub] : session->subscriptions) {
      if (sub->eventItems == 0) continue;
      for (auto& [iid, item] : sub->items) {
        if (item->isEventItem()) item->offerEvent(event, eventTypes_);
      }
    }
  }
}

void UaServer::conditionChanged(const ConditionReport& report) {
  std::lock_guard lock(alarmsMutex_);
  if (auto event = alarms_.changed(report)) raiseEvent(*event);
}

std::chrono::steady_clock::time_point UaServer::expireShelves() {
  std::lock_guard lock(alarmsMutex_);
  const std::int64_t now = nowTicks();
  for (const UaEvent& e : alarms_.expireShelves(now)) raiseEvent(e);
  const std::int64_t next = alarms_.nextShelfEnd();
  if (next == std::numeric_limits<std::int64_t>::max()) return std::chrono::steady_clock::time_point::max();
  return std::chrono::steady_clock::now() + std::chrono::microseconds((std::max<std::int64_t>(next - now, 0) + 9) / 10);
}

std::optional<UaServer::MethodResult> UaServer::callAlarmMethod(Call& c, const CallMethodRequest& m) {
  if (m.method.ns != 0 || m.method.kind != NodeId::Kind::Numeric) return std::nullopt;
  const std::uint32_t method = m.method.numeric;
  MethodResult r;
  auto arguments = [&](std::initializer_list<BuiltinType> types) {
    if (m.inputs.size() < types.size()) return (r.status = kBadArgumentsMissing) == kGood;
    if (m.inputs.size() > types.size()) return (r.status = kBadTooManyArguments) == kGood;
    std::size_t i = 0;
    r.inputResults.assign(types.size(), kGood);
    bool ok = true;
    for (BuiltinType t : types) {
      const Variant& v = m.inputs[i];
      if (v.type != t || v.isArray || v.values.size() != 1) {
        r.inputResults[i] = kBadTypeMismatch;
        ok = false;
      }
      ++i;
    }
    if (!ok) r.status = kBadInvalidArgument;
    else r.inputResults.clear();
    return ok;
  };
  if (method == alarm::ConditionRefresh || method == alarm::ConditionRefresh2) {
    const bool two = method == alarm::ConditionRefresh2;
    if (!(m.object == NodeId::numericId(0, alarm::ConditionType)) && !(m.object == NodeId::numericId(0, ns0::Server))) {
      r.status = kBadMethodInvalid;
      return r;
    }
    if (two ? !arguments({BuiltinType::UInt32, BuiltinType::UInt32}) : !arguments({BuiltinType::UInt32})) return r;
    const std::uint32_t sid = std::get<std::uint32_t>(m.inputs[0].values.front());
    const std::uint32_t iid = two ? std::get<std::uint32_t>(m.inputs[1].values.front()) : 0;
    // Under alarmsMutex_: no change slips between the frames, and none is sent twice.
    std::lock_guard alarms(alarmsMutex_);
    const std::vector<UaEvent> retained = alarms_.retained();
    std::lock_guard lock(c.session->mutex);
    auto sub = c.session->subscriptions.find(sid);
    if (sub == c.session->subscriptions.end()) {
      r.status = kBadSubscriptionIdInvalid;
      return r;
    }
    auto refresh = [&](MonitoredItem& item) {
      item.offerEvent(AlarmConditions::refreshEvent(true), eventTypes_, true);
      for (const UaEvent& e : retained) item.offerEvent(e, eventTypes_);
      item.offerEvent(AlarmConditions::refreshEvent(false), eventTypes_, true);
    };
    if (two) {
      auto item = sub->second->items.find(iid);
      if (item == sub->second->items.end() || !item->second->isEventItem()) {
        r.status = kBadMonitoredItemIdInvalid;
        return r;
      }
      refresh(*item->second);
    } else {
      for (auto& [id, item] : sub->second->items) {
        if (item->isEventItem()) refresh(*item);
      }
    }
    return r;
  }
  const bool ack = method == alarm::Acknowledge, confirm = method == alarm::Confirm, note = method == alarm::AddComment;
  const bool enable = method == alarm::Enable, disable = method == alarm::Disable;
  const bool timed = method == alarm::TimedShelve, oneShot = method == alarm::OneShotShelve,
             unshelve = method == alarm::Unshelve;
  if (!ack && !confirm && !note && !enable && !disable && !timed && !oneShot && !unshelve) return std::nullopt;
  const std::string what = ack ? "acknowledge" : confirm ? "confirm" : note ? "comment" : enable ? "enable"
                           : disable ? "disable" : timed ? "timed shelve" : oneShot ? "one-shot shelve" : "unshelve";
  std::string condition = m.object.ns == 1 && m.object.kind == NodeId::Kind::String ? m.object.text : std::string();
  // The shelving methods are the ShelvingState's; the condition's own id is taken too.
  constexpr std::string_view kShelving = ".ShelvingState";
  const bool shelving = timed || oneShot || unshelve;
  if (shelving && condition.size() > kShelving.size() && condition.ends_with(kShelving)) {
    condition.resize(condition.size() - kShelving.size());
  }
  if (condition.find('#') == std::string::npos) {
    r.status = kBadMethodInvalid;
    return r;
  }
  const bool aside = enable || disable || shelving;
  if (aside ? !(timed ? arguments({BuiltinType::Double}) : arguments({}))
            : !arguments({BuiltinType::ByteString, BuiltinType::LocalizedText})) {
    return r;
  }
  std::string user;
  {
    std::lock_guard lock(sessionsMutex_);
    user = c.session->user;
  }
  // Answering an alarm is an operator's part; setting one aside an admin's.
  if (c.role < (aside ? Role::Admin : Role::Operator)) {
    r.status = kBadUserAccessDenied;
    audit(true, [&] { return what + " refused: user [" + user + "] condition [" + condition + "] (BadUserAccessDenied)"; });
    return r;
  }
  if (aside) {
    const double ms = timed ? std::get<double>(m.inputs[0].values.front()) : 0;
    std::lock_guard lock(alarmsMutex_);
    std::optional<UaEvent> event;
    r.status = enable || disable ? alarms_.setEnabled(condition, enable, user, event)
                                 : alarms_.shelve(condition, timed ? AlarmConditions::Shelf::Timed
                                                               : oneShot ? AlarmConditions::Shelf::OneShot
                                                                         : AlarmConditions::Shelf::None,
                                                  ms, user, event);
    if (r.status != kGood) return r;
    audit(false, [&] {
      return what + ": user [" + user + "] condition [" + condition + "]" +
             (timed ? " for [" + std::to_string(static_cast<long long>(ms)) + " ms]" : std::string());
    });
    if (event) raiseEvent(*event);
    if (timed) wakePublisher();
    return r;
  }
  const std::string eventId = std::get<ByteStringValue>(m.inputs[0].values.front()).bytes.value_or("");
  const LocalizedText comment = *std::get<Boxed<LocalizedText>>(m.inputs[1].values.front());
  std::lock_guard lock(alarmsMutex_);
  UaEvent event;
  r.status = ack ? alarms_.acknowledge(condition, eventId, comment, user, event)
                 : confirm ? alarms_.confirm(condition, eventId, comment, user, event)
                           : alarms_.addComment(condition, eventId, comment, user, event);
  if (r.status != kGood) return r;
  audit(false, [&] { return what + ": user [" + user + "] condition [" + condition + "] comment [" + textOf(comment) + "]"; });
  raiseEvent(event);
  return r;
}

}  // namespace OpcToolbox::ua
