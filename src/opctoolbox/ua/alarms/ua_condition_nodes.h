#pragma once
// A condition as nodes of the address space (OPC UA Part 9): the condition object
// "<source>#<name>" under its source, and below it the variables of AlarmConditionType
// that this server fills ("<source>#<name>.ActiveState", "...ActiveState.Id"), their
// values those of the condition's last event. Nothing is stored per node: the members are
// one table, and a condition that is quiet shows the state every quiet one has.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace OpcToolbox::ua {

struct ConditionMember {
  const char* id;          // after "<condition>.": "ActiveState.Id"
  const char* field;       // the event field it shows: "ActiveState/Id"; "" for an object
  const char* browseName;  // the last part of id, in namespace 0
  std::uint32_t nodeClass;  // Object or Variable
  std::uint32_t reference;  // from its parent: HasComponent or HasProperty
  std::uint32_t typeDefinition;
  std::uint32_t dataType;   // 0 for an object
};

// Every member, parents before their children.
std::span<const ConditionMember> conditionMembers();
// The member named by the part of a node id after the condition's; null for none.
const ConditionMember* conditionMember(std::string_view id);
// Whether member is a child of parent (null: of the condition object itself).
bool isChildOf(const ConditionMember& member, const ConditionMember* parent);

// "<source>#<name>[.<member>]": the condition id and the member's part ("" for the
// condition object); nullopt when the text has no '#'.
struct ConditionNodeName {
  std::string_view condition;
  std::string_view member;
};
std::optional<ConditionNodeName> splitConditionNodeId(std::string_view id);

}  // namespace OpcToolbox::ua
