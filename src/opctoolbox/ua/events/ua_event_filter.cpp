#include "opctoolbox/ua/events/ua_event_filter.h"

#include <array>
#include <cmath>
#include <type_traits>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/events/ua_like_pattern.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kEventFilter = 727, kEventFilterResult = 736, kElementOperand = 594, kLiteralOperand = 597,
                        kAttributeOperand = 600, kSimpleAttributeOperand = 603, kBaseEventType = 2041;
constexpr StatusCode kBadEventFilterInvalid = 0x80470000u, kBadAttributeIdInvalid = 0x80350000u,
                     kBadIndexRangeInvalid = 0x80360000u, kBadBrowseNameInvalid = 0x80600000u,
                     kBadTypeDefinitionInvalid = 0x80630000u, kBadFilterOperatorInvalid = 0x80C10000u,
                     kBadFilterOperatorUnsupported = 0x80C20000u, kBadFilterOperandCountMismatch = 0x80C30000u,
                     kBadFilterOperandInvalid = 0x80490000u, kBadFilterElementInvalid = 0x80C40000u,
                     kBadFilterLiteralInvalid = 0x80C50000u;
// Bounds of what a client may ask: the work per event is at most elements x operands.
constexpr std::size_t kMaxSelectClauses = 64, kMaxElements = 64, kMaxOperands = 64, kMaxPathDepth = 8,
                      kMaxPatternLength = 1024;

constexpr std::array<std::string_view, 18> kOperatorNames = {
    "Equals", "IsNull", "GreaterThan", "LessThan", "GreaterThanOrEqual", "LessThanOrEqual",
    "Like", "Not", "Between", "InList", "And", "Or",
    "Cast", "InView", "OfType", "RelatedTo", "BitwiseAnd", "BitwiseOr"};

std::string nameOf(FilterOperator op) { return std::string(kOperatorNames[static_cast<std::size_t>(op)]); }

Decoder bodyOf(const ExtensionObject& e) {
  return Decoder(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
}

// A SimpleAttributeOperand; its status says whether this server can fill it.
StatusCode decodeField(Decoder& d, const IsEventSubtype& isSubtype, EventField& out) {
  out.typeDefinition = d.nodeId();
  if (out.typeDefinition.isNull()) out.typeDefinition = NodeId::numericId(0, kBaseEventType);
  const std::size_t depth = d.arrayLength();
  StatusCode status = depth > kMaxPathDepth ? kBadBrowseNameInvalid : kGood;
  for (std::size_t k = 0; k < depth && d.ok(); ++k) {
    const QualifiedName q = d.qualifiedName();
    if (!q.name || q.name->empty()) status = kBadBrowseNameInvalid;
    if (k > 0) out.path += '/';
    out.path += q.name.value_or("");
  }
  out.attribute = d.uint32();
  const UaString range = d.string();
  if (!d.ok()) return kBadEventFilterInvalid;
  if (status != kGood) return status;
  // The Value of a field, or the NodeId of the condition itself (ConditionId).
  if (!(out.attribute == 13 && depth > 0) && !(out.attribute == 1 && depth == 0)) return kBadAttributeIdInvalid;
  if (range && !range->empty()) return kBadIndexRangeInvalid;
  if (!isSubtype(out.typeDefinition, NodeId::numericId(0, kBaseEventType))) return kBadTypeDefinitionInvalid;
  return kGood;
}

std::size_t operandCount(FilterOperator op) {  // 0: two or more (InList)
  switch (op) {
    case FilterOperator::IsNull:
    case FilterOperator::Not:
    case FilterOperator::OfType: return 1;
    case FilterOperator::Between: return 3;
    case FilterOperator::InList: return 0;
    default: return 2;
  }
}

bool supported(FilterOperator op) {
  switch (op) {
    case FilterOperator::Cast:
    case FilterOperator::InView:
    case FilterOperator::RelatedTo:
    case FilterOperator::BitwiseAnd:
    case FilterOperator::BitwiseOr: return false;
    default: return true;
  }
}

// One ContentFilterElement at index i of n; the element's status and why it was refused.
EventFilterCheck::Element decodeElement(Decoder& d, std::size_t i, std::size_t n, const IsEventSubtype& isSubtype,
                                        FilterElement& out) {
  EventFilterCheck::Element result;
  const std::uint32_t op = d.uint32();
  const std::size_t count = d.arrayLength();
  if (!d.ok()) return result;
  std::vector<ExtensionObject> operands;
  for (std::size_t k = 0; k < count && d.ok(); ++k) operands.push_back(d.extensionObject());
  if (!d.ok()) return result;
  result.operands.assign(count, kGood);
  auto refuse = [&](StatusCode status, std::string why) {
    result.status = status;
    result.why = "element " + std::to_string(i) + ": " + std::move(why);
    return result;
  };
  if (op >= kOperatorNames.size()) return refuse(kBadFilterOperatorInvalid, "operator " + std::to_string(op) + " is not a FilterOperator");
  out.op = static_cast<FilterOperator>(op);
  const std::string name = nameOf(out.op);
  if (!supported(out.op)) return refuse(kBadFilterOperatorUnsupported, name + " is not supported in an event filter");
  const std::size_t wanted = operandCount(out.op);
  if ((wanted != 0 && count != wanted) || (wanted == 0 && (count < 2 || count > kMaxOperands))) {
    const std::string takes = wanted == 1 ? "1 operand" : (wanted ? std::to_string(wanted) : std::string("2 to 64")) + " operands";
    return refuse(kBadFilterOperandCountMismatch, name + " takes " + takes + ", not " + std::to_string(count));
  }
  for (std::size_t k = 0; k < count; ++k) {
    const ExtensionObject& e = operands[k];
    FilterOperand operand;
    Decoder b = bodyOf(e);
    StatusCode status = kGood;
    std::string why;
    if (e.encoding != 1) {
      status = kBadFilterOperandInvalid;
      why = "is not an encoded operand";
    } else if (e.typeId == NodeId::numericId(0, kElementOperand)) {
      operand.kind = FilterOperand::Kind::Element;
      operand.element = b.uint32();
      if (!b.ok() || operand.element <= i || operand.element >= n) {
        status = kBadFilterElementInvalid;
        why = "names element " + std::to_string(operand.element) + ", which is not after it in the filter";
      }
    } else if (e.typeId == NodeId::numericId(0, kLiteralOperand)) {
      operand.literal = b.variant();
      if (!b.ok()) {
        status = kBadFilterLiteralInvalid;
        why = "is a damaged literal";
      }
    } else if (e.typeId == NodeId::numericId(0, kSimpleAttributeOperand)) {
      operand.kind = FilterOperand::Kind::Field;
      status = decodeField(b, isSubtype, operand.field);
      if (status != kGood) why = "names no field of an event type";
    } else if (e.typeId == NodeId::numericId(0, kAttributeOperand)) {
      status = kBadFilterOperandInvalid;
      why = "is an AttributeOperand, which event filters do not take";
    } else {
      status = kBadFilterOperandInvalid;
      why = "is not an operand";
    }
    if (status == kGood && out.op == FilterOperator::OfType) {
      const bool typeLiteral = operand.kind == FilterOperand::Kind::Literal && operand.literal.type == BuiltinType::NodeId &&
                               !operand.literal.isArray && operand.literal.values.size() == 1;
      if (!typeLiteral || !isSubtype(*std::get<Boxed<NodeId>>(operand.literal.values.front()), NodeId::numericId(0, kBaseEventType))) {
        status = kBadFilterOperandInvalid;
        why = "is not an event type";
      }
    }
    if (status == kGood && out.op == FilterOperator::Like && k == 1 && operand.kind == FilterOperand::Kind::Literal &&
        operand.literal.type == BuiltinType::String && !operand.literal.isArray &&
        std::get<UaString>(operand.literal.values.front()).value_or("").size() > kMaxPatternLength) {
      status = kBadFilterLiteralInvalid;
      why = "is a pattern longer than " + std::to_string(kMaxPatternLength) + " bytes";
    }
    result.operands[k] = status;
    if (status != kGood) return refuse(status, name + "'s operand " + std::to_string(k) + " " + why);
    out.operands.push_back(std::move(operand));
  }
  return result;
}

// ---- evaluation ----------------------------------------------------------------------

enum class Tri : std::uint8_t { False, True, Null };

Tri tri(bool b) { return b ? Tri::True : Tri::False; }

const Variant& nullVariant() {
  static const Variant v;
  return v;
}

bool isNullValue(const Variant& v) { return v.type == BuiltinType::Null || v.values.empty(); }

// A number as OPC UA's implicit conversions see it: integers exactly, the rest as double.
struct Number {
  bool integral = false;
  bool negative = false;
  std::uint64_t magnitude = 0;
  double real = 0;
};

std::optional<Number> numberOf(BuiltinType type, const Scalar& s) {
  Number n;
  auto integer = [&](auto v) {
    n.integral = true;
    if constexpr (std::is_signed_v<decltype(v)>) {
      n.negative = v < 0;
      n.magnitude = n.negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    } else {
      n.magnitude = v;
    }
    n.real = static_cast<double>(v);
    return n;
  };
  switch (type) {
    case BuiltinType::Boolean: return integer(static_cast<std::uint8_t>(std::get<bool>(s)));
    case BuiltinType::SByte: return integer(std::get<std::int8_t>(s));
    case BuiltinType::Byte: return integer(std::get<std::uint8_t>(s));
    case BuiltinType::Int16: return integer(std::get<std::int16_t>(s));
    case BuiltinType::UInt16: return integer(std::get<std::uint16_t>(s));
    case BuiltinType::Int32: return integer(std::get<std::int32_t>(s));
    case BuiltinType::UInt32: return integer(std::get<std::uint32_t>(s));
    case BuiltinType::Int64: return integer(std::get<std::int64_t>(s));
    case BuiltinType::UInt64: return integer(std::get<std::uint64_t>(s));
    case BuiltinType::StatusCode: return integer(std::get<StatusCodeValue>(s).code);
    case BuiltinType::Float: n.real = std::get<float>(s); return std::isnan(n.real) ? std::nullopt : std::optional(n);
    case BuiltinType::Double: n.real = std::get<double>(s); return std::isnan(n.real) ? std::nullopt : std::optional(n);
    default: return std::nullopt;
  }
}

std::optional<std::string_view> textOf(const Variant& v) {
  if (v.isArray || v.values.size() != 1) return std::nullopt;
  if (v.type == BuiltinType::String) {
    const UaString& s = std::get<UaString>(v.values.front());
    return s ? std::optional<std::string_view>(*s) : std::nullopt;
  }
  if (v.type == BuiltinType::LocalizedText) {
    const UaString& s = std::get<Boxed<LocalizedText>>(v.values.front())->text;
    return s ? std::optional<std::string_view>(*s) : std::nullopt;
  }
  return std::nullopt;
}

template <class T>
int order(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// -1, 0, 1; Unordered: equal or not, without an order; nullopt: no common type.
constexpr int kUnequal = 2;
std::optional<int> compare(const Variant& a, const Variant& b) {
  if (a.isArray || b.isArray) {
    if (a.isArray && b.isArray && a.type == b.type) return a.values == b.values ? 0 : kUnequal;
    return std::nullopt;
  }
  const Scalar& x = a.values.front();
  const Scalar& y = b.values.front();
  const auto nx = numberOf(a.type, x), ny = numberOf(b.type, y);
  if (nx && ny) {
    if (nx->integral && ny->integral) {
      if (nx->negative != ny->negative) return nx->negative ? -1 : 1;
      const int m = order(nx->magnitude, ny->magnitude);
      return nx->negative ? -m : m;
    }
    return order(nx->real, ny->real);
  }
  const auto tx = textOf(a), ty = textOf(b);
  if (tx && ty) return order(*tx, *ty);
  if (a.type != b.type) return std::nullopt;
  switch (a.type) {
    case BuiltinType::DateTime: return order(std::get<DateTimeValue>(x).ticks, std::get<DateTimeValue>(y).ticks);
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId:
    case BuiltinType::Guid:
    case BuiltinType::ByteString:
    case BuiltinType::QualifiedName: return x == y ? 0 : kUnequal;
    default: return std::nullopt;
  }
}

// A comparison's verdict: null with a null operand, false without a common type.
Tri relate(const Variant& a, const Variant& b, bool (*holds)(int)) {
  if (isNullValue(a) || isNullValue(b)) return Tri::Null;
  const auto c = compare(a, b);
  if (!c) return Tri::False;
  if (*c == kUnequal) return tri(holds(kUnequal));
  return tri(holds(*c));
}

Tri boolOf(const Variant& v) {
  if (isNullValue(v)) return Tri::Null;
  if (v.type == BuiltinType::Boolean && !v.isArray) return tri(std::get<bool>(v.values.front()));
  return Tri::False;
}

Variant variantOf(Tri t) {
  return t == Tri::Null ? Variant{} : Variant::scalar(BuiltinType::Boolean, t == Tri::True);
}

const Variant& fieldOf(const EventField& f, const UaEvent& event, const IsEventSubtype& isSubtype, Variant& scratch) {
  if (!isSubtype(event.eventType, f.typeDefinition)) return nullVariant();
  if (f.attribute == 1) {
    if (event.conditionId.isNull()) return nullVariant();
    scratch = Variant::scalar(BuiltinType::NodeId, event.conditionId);
    return scratch;
  }
  const Variant* v = event.field(f.path);
  return v ? *v : nullVariant();
}

}  // namespace

const Variant* UaEvent::field(std::string_view path) const {
  for (const auto& [name, value] : fields) {
    if (name == path) return &value;
  }
  return nullptr;
}

StatusCode parseEventFilter(const ExtensionObject& e, const IsEventSubtype& isSubtype, EventFilterSpec& filter,
                            EventFilterCheck& check) {
  if (!(e.typeId == NodeId::numericId(0, kEventFilter)) || e.encoding != 1) return kBadEventFilterInvalid;
  Decoder f = bodyOf(e);
  const std::size_t clauses = f.arrayLength();
  if (!f.ok() || clauses == 0 || clauses > kMaxSelectClauses) return kBadEventFilterInvalid;
  for (std::size_t i = 0; i < clauses && f.ok(); ++i) {
    EventField field;
    const StatusCode status = decodeField(f, isSubtype, field);
    check.select.push_back(status);
    filter.select.push_back(status == kGood ? std::optional(std::move(field)) : std::nullopt);
  }
  const std::size_t elements = f.arrayLength();
  if (!f.ok() || elements > kMaxElements) return kBadEventFilterInvalid;
  std::vector<EventFilterCheck::Element> results;
  bool refused = false;
  for (std::size_t i = 0; i < elements && f.ok(); ++i) {
    FilterElement element;
    results.push_back(decodeElement(f, i, elements, isSubtype, element));
    refused = refused || results.back().status != kGood;
    filter.where.push_back(std::move(element));
  }
  if (!f.ok()) return kBadEventFilterInvalid;
  if (refused) {
    check.where = std::move(results);
    return kBadEventFilterInvalid;
  }
  return kGood;
}

ExtensionObject eventFilterResult(const EventFilterCheck& check) {
  std::vector<std::uint8_t> body;
  Encoder b(body);
  b.arrayLength(static_cast<std::int32_t>(check.select.size()));
  for (StatusCode c : check.select) b.statusCode(c);
  b.arrayLength(0);  // select clause diagnostics
  b.arrayLength(static_cast<std::int32_t>(check.where.size()));
  for (const auto& element : check.where) {
    b.statusCode(element.status);
    b.arrayLength(static_cast<std::int32_t>(element.operands.size()));
    for (StatusCode c : element.operands) b.statusCode(c);
    b.arrayLength(0);  // operand diagnostics
  }
  // Each element's diagnostic info carries, for one that was refused, why.
  bool anyWhy = false;
  for (const auto& element : check.where) anyWhy = anyWhy || !element.why.empty();
  b.arrayLength(anyWhy ? static_cast<std::int32_t>(check.where.size()) : 0);
  for (std::size_t i = 0; anyWhy && i < check.where.size(); ++i) {
    constexpr std::uint8_t kAdditionalInfo = 0x10;
    if (check.where[i].why.empty()) {
      b.byte(0);
    } else {
      b.byte(kAdditionalInfo);
      b.string(check.where[i].why);
    }
  }
  return ExtensionObject{NodeId::numericId(0, kEventFilterResult), 1, std::string(body.begin(), body.end())};
}

bool eventPasses(const EventFilterSpec& filter, const UaEvent& event, const IsEventSubtype& isSubtype) {
  if (filter.where.empty()) return true;
  // Operands name only later elements: from the last to the first, each is known when asked.
  std::vector<Tri> results(filter.where.size(), Tri::Null);
  for (std::size_t i = filter.where.size(); i-- > 0;) {
    const FilterElement& element = filter.where[i];
    std::vector<Variant> scratch(element.operands.size());
    auto value = [&](std::size_t k) -> const Variant& {
      const FilterOperand& o = element.operands[k];
      switch (o.kind) {
        case FilterOperand::Kind::Element: return scratch[k] = variantOf(results[o.element]);
        case FilterOperand::Kind::Literal: return o.literal;
        case FilterOperand::Kind::Field: return fieldOf(o.field, event, isSubtype, scratch[k]);
      }
      return nullVariant();
    };
    Tri r = Tri::Null;
    switch (element.op) {
      case FilterOperator::Equals: r = relate(value(0), value(1), [](int c) { return c == 0; }); break;
      case FilterOperator::GreaterThan: r = relate(value(0), value(1), [](int c) { return c == 1; }); break;
      case FilterOperator::LessThan: r = relate(value(0), value(1), [](int c) { return c == -1; }); break;
      case FilterOperator::GreaterThanOrEqual: r = relate(value(0), value(1), [](int c) { return c == 0 || c == 1; }); break;
      case FilterOperator::LessThanOrEqual: r = relate(value(0), value(1), [](int c) { return c == 0 || c == -1; }); break;
      case FilterOperator::IsNull: r = tri(isNullValue(value(0))); break;
      case FilterOperator::Not: {
        const Tri t = boolOf(value(0));
        r = t == Tri::Null ? Tri::Null : tri(t == Tri::False);
        break;
      }
      case FilterOperator::Like: {
        const Variant &text = value(0), &pattern = value(1);
        if (isNullValue(text) || isNullValue(pattern)) break;
        const auto t = textOf(text), p = textOf(pattern);
        r = t && p && p->size() <= kMaxPatternLength ? tri(likeMatches(*t, *p)) : Tri::False;
        break;
      }
      case FilterOperator::Between: {
        const Variant& v = value(0);
        const Tri low = relate(v, value(1), [](int c) { return c == 0 || c == 1; });
        const Tri high = relate(v, value(2), [](int c) { return c == 0 || c == -1; });
        r = low == Tri::False || high == Tri::False ? Tri::False : (low == Tri::Null || high == Tri::Null ? Tri::Null : Tri::True);
        break;
      }
      case FilterOperator::InList: {
        const Variant& v = value(0);
        if (isNullValue(v)) break;
        r = Tri::False;
        for (std::size_t k = 1; k < element.operands.size() && r != Tri::True; ++k) {
          if (relate(v, value(k), [](int c) { return c == 0; }) == Tri::True) r = Tri::True;
        }
        break;
      }
      case FilterOperator::And:
      case FilterOperator::Or: {
        const Tri a = boolOf(value(0)), b = boolOf(value(1));
        const Tri decisive = element.op == FilterOperator::And ? Tri::False : Tri::True;
        r = a == decisive || b == decisive ? decisive : (a == Tri::Null || b == Tri::Null ? Tri::Null : a);
        break;
      }
      case FilterOperator::OfType: {
        const Variant& type = value(0);
        r = tri(type.type == BuiltinType::NodeId && !type.isArray && type.values.size() == 1 &&
                isSubtype(event.eventType, *std::get<Boxed<NodeId>>(type.values.front())));
        break;
      }
      default: break;  // refused when the filter was made
    }
    results[i] = r;
  }
  return results.front() == Tri::True;
}

std::vector<Variant> selectEventFields(const EventFilterSpec& filter, const UaEvent& event, const IsEventSubtype& isSubtype) {
  std::vector<Variant> out;
  out.reserve(filter.select.size());
  for (const auto& clause : filter.select) {
    Variant scratch;
    out.push_back(clause ? fieldOf(*clause, event, isSubtype, scratch) : nullVariant());
  }
  return out;
}

}  // namespace OpcToolbox::ua
