#pragma once
// Events and the EventFilter that picks them (OPC UA Part 4, 7.22.3 and 7.7): select
// clauses name fields by a browse path from an event type; the where clause is a
// ContentFilter, operators over fields and literals, evaluated with its three-valued
// logic (a comparison with a null field is null, and only true lets an event through).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

// An event as the server raises it: its type and its fields by browse path from the type
// ("EventId", "Message", "ActiveState/Id", ...). A condition's events name its node.
struct UaEvent {
  NodeId eventType;
  NodeId conditionId;  // null for an event that is not a condition's
  std::string source;  // the item id of the branch it comes from; empty: the server's own
  std::vector<std::pair<std::string, Variant>> fields;
  const Variant* field(std::string_view path) const;
};

// The event type tree: type is of, or one of its subtypes.
using IsEventSubtype = std::function<bool(const NodeId& type, const NodeId& of)>;

// A field as a SimpleAttributeOperand names it.
struct EventField {
  NodeId typeDefinition;  // the path starts there: an event of another type has no such field
  std::string path;       // browse names joined by '/'; empty (with the NodeId attribute): ConditionId
  std::uint32_t attribute = 13;
};

enum class FilterOperator : std::uint32_t {
  Equals = 0, IsNull = 1, GreaterThan = 2, LessThan = 3, GreaterThanOrEqual = 4, LessThanOrEqual = 5, Like = 6,
  Not = 7, Between = 8, InList = 9, And = 10, Or = 11, Cast = 12, InView = 13, OfType = 14, RelatedTo = 15,
  BitwiseAnd = 16, BitwiseOr = 17,
};

struct FilterOperand {
  enum class Kind : std::uint8_t { Element, Literal, Field };
  Kind kind = Kind::Literal;
  std::uint32_t element = 0;  // always after the element that names it: no loops
  Variant literal;
  EventField field;
};

struct FilterElement {
  FilterOperator op = FilterOperator::Equals;
  std::vector<FilterOperand> operands;
};

struct EventFilterSpec {
  std::vector<std::optional<EventField>> select;  // nullopt: a refused clause, which selects null
  std::vector<FilterElement> where;               // empty: every event
};

// What the server says of a filter it was given: the EventFilterResult.
struct EventFilterCheck {
  struct Element {
    StatusCode status = kGood;
    std::vector<StatusCode> operands;
    std::string why;  // for a refused element: what was wrong, naming the operator
  };
  std::vector<StatusCode> select;
  std::vector<Element> where;  // one per element when one was refused, else none
};

// Decodes and checks an EventFilter. BadEventFilterInvalid for a damaged one, one that
// selects nothing, or one whose where clause is refused (check says which element and
// why). A select clause this server cannot fill is Good with its own status in check.
StatusCode parseEventFilter(const ExtensionObject& e, const IsEventSubtype& isSubtype, EventFilterSpec& filter,
                            EventFilterCheck& check);
ExtensionObject eventFilterResult(const EventFilterCheck& check);

// The where clause's verdict on an event.
bool eventPasses(const EventFilterSpec& filter, const UaEvent& event, const IsEventSubtype& isSubtype);
// The fields the select clauses pick, null where the event has none.
std::vector<Variant> selectEventFields(const EventFilterSpec& filter, const UaEvent& event, const IsEventSubtype& isSubtype);

}  // namespace OpcToolbox::ua
