#include "opctoolbox/ua/alarms/ua_condition_nodes.h"

#include <array>

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kObjectClass = 1, kVariableClass = 2;
constexpr std::uint32_t kProp = 46, kComp = 47;
constexpr std::uint32_t kPropertyType = 68, kTwoStateVariableType = 8995, kConditionVariableType = 9002,
                        kShelvedStateMachineType = 2929, kFiniteStateVariableType = 2760;
constexpr std::uint32_t kBoolean = 1, kUInt16 = 5, kString = 12, kByteString = 15, kNodeIdType = 17,
                        kStatusCode = 19, kLocalizedText = 21, kUtcTime = 294;

// AlarmConditionType's instance declaration, as far as this server fills it.
constexpr std::array<ConditionMember, 30> kMembers = {{
    {"EventId", "EventId", "EventId", kVariableClass, kProp, kPropertyType, kByteString},
    {"EventType", "EventType", "EventType", kVariableClass, kProp, kPropertyType, kNodeIdType},
    {"SourceNode", "SourceNode", "SourceNode", kVariableClass, kProp, kPropertyType, kNodeIdType},
    {"SourceName", "SourceName", "SourceName", kVariableClass, kProp, kPropertyType, kString},
    {"Time", "Time", "Time", kVariableClass, kProp, kPropertyType, kUtcTime},
    {"ReceiveTime", "ReceiveTime", "ReceiveTime", kVariableClass, kProp, kPropertyType, kUtcTime},
    {"Message", "Message", "Message", kVariableClass, kProp, kPropertyType, kLocalizedText},
    {"Severity", "Severity", "Severity", kVariableClass, kProp, kPropertyType, kUInt16},
    {"ConditionClassId", "ConditionClassId", "ConditionClassId", kVariableClass, kProp, kPropertyType, kNodeIdType},
    {"ConditionClassName", "ConditionClassName", "ConditionClassName", kVariableClass, kProp, kPropertyType,
     kLocalizedText},
    {"ConditionName", "ConditionName", "ConditionName", kVariableClass, kProp, kPropertyType, kString},
    {"BranchId", "BranchId", "BranchId", kVariableClass, kProp, kPropertyType, kNodeIdType},
    {"Retain", "Retain", "Retain", kVariableClass, kProp, kPropertyType, kBoolean},
    {"EnabledState", "EnabledState", "EnabledState", kVariableClass, kComp, kTwoStateVariableType, kLocalizedText},
    {"EnabledState.Id", "EnabledState/Id", "Id", kVariableClass, kProp, kPropertyType, kBoolean},
    {"Quality", "Quality", "Quality", kVariableClass, kComp, kConditionVariableType, kStatusCode},
    {"LastSeverity", "LastSeverity", "LastSeverity", kVariableClass, kComp, kConditionVariableType, kUInt16},
    {"Comment", "Comment", "Comment", kVariableClass, kComp, kConditionVariableType, kLocalizedText},
    {"Comment.SourceTimestamp", "Comment/SourceTimestamp", "SourceTimestamp", kVariableClass, kProp, kPropertyType,
     kUtcTime},
    {"ClientUserId", "ClientUserId", "ClientUserId", kVariableClass, kProp, kPropertyType, kString},
    {"AckedState", "AckedState", "AckedState", kVariableClass, kComp, kTwoStateVariableType, kLocalizedText},
    {"AckedState.Id", "AckedState/Id", "Id", kVariableClass, kProp, kPropertyType, kBoolean},
    {"ConfirmedState", "ConfirmedState", "ConfirmedState", kVariableClass, kComp, kTwoStateVariableType,
     kLocalizedText},
    {"ConfirmedState.Id", "ConfirmedState/Id", "Id", kVariableClass, kProp, kPropertyType, kBoolean},
    {"ActiveState", "ActiveState", "ActiveState", kVariableClass, kComp, kTwoStateVariableType, kLocalizedText},
    {"ActiveState.Id", "ActiveState/Id", "Id", kVariableClass, kProp, kPropertyType, kBoolean},
    {"SuppressedOrShelved", "SuppressedOrShelved", "SuppressedOrShelved", kVariableClass, kProp, kPropertyType,
     kBoolean},
    {"ShelvingState", "", "ShelvingState", kObjectClass, kComp, kShelvedStateMachineType, 0},
    {"ShelvingState.CurrentState", "ShelvingState/CurrentState", "CurrentState", kVariableClass, kComp,
     kFiniteStateVariableType, kLocalizedText},
    {"ShelvingState.CurrentState.Id", "ShelvingState/CurrentState/Id", "Id", kVariableClass, kProp, kPropertyType,
     kNodeIdType},
}};
// UnshelveTime is left out: it counts down, so a read of it would be the only value that
// changes without an event.

std::string_view parentOf(std::string_view id) {
  const std::size_t dot = id.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : id.substr(0, dot);
}

}  // namespace

std::span<const ConditionMember> conditionMembers() { return kMembers; }

const ConditionMember* conditionMember(std::string_view id) {
  for (const ConditionMember& m : kMembers) {
    if (id == m.id) return &m;
  }
  return nullptr;
}

bool isChildOf(const ConditionMember& member, const ConditionMember* parent) {
  return parentOf(member.id) == (parent != nullptr ? std::string_view(parent->id) : std::string_view{});
}

std::optional<ConditionNodeName> splitConditionNodeId(std::string_view id) {
  const std::size_t hash = id.find('#');
  if (hash == std::string_view::npos || hash == 0) return std::nullopt;
  const std::size_t dot = id.find('.', hash);
  if (dot == std::string_view::npos) return ConditionNodeName{id, {}};
  return ConditionNodeName{id.substr(0, dot), id.substr(dot + 1)};
}

}  // namespace OpcToolbox::ua
