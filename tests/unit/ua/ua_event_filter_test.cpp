// Event filters as a client sends them: every where-clause operator with OPC UA's
// three-valued logic, the select clauses that name a condition, and the filters the
// server refuses, each with the element and the reason named.

#include <gtest/gtest.h>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/events/ua_event_filter.h"
#include "opctoolbox/ua/events/ua_event_record.h"
#include "opctoolbox/ua/events/ua_like_pattern.h"

namespace {

using namespace OpcToolbox::ua;

constexpr std::uint32_t kBase = 2041, kModelChange = 2133, kCondition = 2782, kTrip = 9001;

// BaseEventType <- BaseModelChangeEventType <- GeneralModelChangeEventType, and
// BaseEventType <- ConditionType <- a trip alarm.
bool isSubtype(const NodeId& type, const NodeId& of) {
  auto parent = [](std::uint32_t t) -> std::uint32_t {
    switch (t) {
      case kModelChange: return 2132;
      case 2132: return kBase;
      case kCondition: return kBase;
      case kTrip: return kCondition;
      default: return 0;
    }
  };
  for (std::uint32_t t = type.numeric; t != 0; t = parent(t)) {
    if (t == of.numeric) return true;
  }
  return false;
}

using Bytes = std::vector<std::uint8_t>;
ExtensionObject object(std::uint32_t type, const Bytes& body) {
  return ExtensionObject{NodeId::numericId(0, type), 1, std::string(body.begin(), body.end())};
}
void encodeField(Encoder& e, std::uint32_t type, const std::vector<std::string>& path, std::uint32_t attribute = 13) {
  e.nodeId(NodeId::numericId(0, type));
  e.arrayLength(static_cast<std::int32_t>(path.size()));
  for (const auto& name : path) e.qualifiedName(QualifiedName{0, name});
  e.uint32(attribute);
  e.string(UaString{});
}
ExtensionObject field(std::vector<std::string> path, std::uint32_t type = kBase, std::uint32_t attribute = 13) {
  Bytes b;
  Encoder e(b);
  encodeField(e, type, path, attribute);
  return object(603, b);
}
ExtensionObject literal(const Variant& v) {
  Bytes b;
  Encoder e(b);
  e.variant(v);
  return object(597, b);
}
ExtensionObject number(double v) { return literal(Variant::scalar(BuiltinType::Double, v)); }
ExtensionObject text(std::string s) { return literal(Variant::scalar(BuiltinType::String, UaString{std::move(s)})); }
ExtensionObject typeId(std::uint32_t t) { return literal(Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, t))); }
ExtensionObject element(std::uint32_t i) {
  Bytes b;
  Encoder e(b);
  e.uint32(i);
  return object(594, b);
}
struct El {
  FilterOperator op;
  std::vector<ExtensionObject> operands;
};
ExtensionObject eventFilter(const std::vector<El>& where, std::vector<std::vector<std::string>> select = {{"Severity"}}) {
  Bytes b;
  Encoder e(b);
  e.arrayLength(static_cast<std::int32_t>(select.size()));
  for (const auto& path : select) encodeField(e, kBase, path);
  e.arrayLength(static_cast<std::int32_t>(where.size()));
  for (const auto& el : where) {
    e.uint32(static_cast<std::uint32_t>(el.op));
    e.arrayLength(static_cast<std::int32_t>(el.operands.size()));
    for (const auto& o : el.operands) e.extensionObject(o);
  }
  return object(727, b);
}

UaEvent tripEvent() {
  UaEvent e;
  e.eventType = NodeId::numericId(0, kTrip);
  e.conditionId = NodeId::stringId(1, "CrateA.Board00.Chan003#Trip");
  e.fields = {{"Severity", Variant::scalar(BuiltinType::UInt16, std::uint16_t{800})},
              {"SourceName", Variant::scalar(BuiltinType::String, UaString{"CrateA.Board00.Chan003"})},
              {"Message", Variant::scalar(BuiltinType::LocalizedText, LocalizedText{"en", "CrateA Board00 Chan003 tripped at 1502.3 V, 12.1 µA"})},
              {"ActiveState/Id", Variant::scalar(BuiltinType::Boolean, true)},
              {"Retain", Variant::scalar(BuiltinType::Boolean, true)}};
  return e;
}

bool passes(const std::vector<El>& where, const UaEvent& event = tripEvent()) {
  EventFilterSpec spec;
  EventFilterCheck check;
  EXPECT_EQ(parseEventFilter(eventFilter(where), isSubtype, spec, check), kGood);
  return eventPasses(spec, event, isSubtype);
}

using O = FilterOperator;

TEST(EventFilter, WhereClauseOperatorsFollowThreeValuedLogic) {
  const auto severity = field({"Severity"});
  const auto missing = field({"NoSuchField"});
  EXPECT_TRUE(passes({}));
  EXPECT_TRUE(passes({{O::Equals, {severity, number(800)}}})) << "UInt16 and Double meet as numbers";
  EXPECT_FALSE(passes({{O::Equals, {severity, text("800")}}})) << "no implicit conversion from a string: false";
  EXPECT_TRUE(passes({{O::GreaterThan, {severity, number(799.5)}}}));
  EXPECT_FALSE(passes({{O::LessThan, {severity, number(800)}}}));
  EXPECT_TRUE(passes({{O::GreaterThanOrEqual, {severity, number(800)}}}));
  EXPECT_TRUE(passes({{O::LessThanOrEqual, {severity, number(800)}}}));
  EXPECT_TRUE(passes({{O::Between, {severity, number(700), number(800)}}}));
  EXPECT_FALSE(passes({{O::Between, {severity, number(801), number(900)}}}));
  EXPECT_TRUE(passes({{O::InList, {severity, number(100), number(800), number(900)}}}));
  EXPECT_FALSE(passes({{O::InList, {severity, number(100), number(900)}}}));
  EXPECT_TRUE(passes({{O::IsNull, {missing}}}));
  EXPECT_FALSE(passes({{O::IsNull, {severity}}}));
  EXPECT_TRUE(passes({{O::Like, {field({"Message"}), text("%tripped at 1___._ V%")}}})) << "a LocalizedText's text";
  EXPECT_TRUE(passes({{O::Like, {field({"SourceName"}), text("CrateA.Board0[0-3].Chan%")}}}));
  EXPECT_TRUE(passes({{O::OfType, {typeId(kCondition)}}}));
  EXPECT_FALSE(passes({{O::OfType, {typeId(kModelChange)}}}));
  EXPECT_TRUE(passes({{O::Equals, {field({"ActiveState", "Id"}), literal(Variant::scalar(BuiltinType::Boolean, true))}}}))
      << "a path two names deep";
  // And, Or and Not over elements; a comparison with a missing field is null, which no
  // Not turns into true, and which a decisive other side overrules.
  EXPECT_TRUE(passes({{O::And, {element(1), element(2)}}, {O::OfType, {typeId(kCondition)}},
                      {O::GreaterThan, {severity, number(500)}}}));
  EXPECT_FALSE(passes({{O::And, {element(1), element(2)}}, {O::OfType, {typeId(kCondition)}},
                       {O::LessThan, {severity, number(500)}}}));
  EXPECT_TRUE(passes({{O::Or, {element(1), element(2)}}, {O::Equals, {missing, number(1)}}, {O::OfType, {typeId(kTrip)}}}));
  EXPECT_FALSE(passes({{O::Not, {element(1)}}, {O::Equals, {missing, number(1)}}}));
  EXPECT_TRUE(passes({{O::Not, {element(1)}}, {O::Equals, {severity, number(1)}}}));
  EXPECT_FALSE(passes({{O::Equals, {field({"Severity"}, kModelChange), number(800)}}}))
      << "a field of another event type is null";
  // Shared sub-expressions are evaluated once each: a deep chain costs elements, not 2^n.
  std::vector<El> chain;
  for (std::uint32_t i = 0; i < 63; ++i) chain.push_back({O::And, {element(i + 1), element(i + 1)}});
  chain.push_back({O::OfType, {typeId(kCondition)}});
  EXPECT_TRUE(passes(chain));
}

TEST(EventFilter, LikeTakesPercentUnderscoreListsAndEscapes) {
  const struct {
    const char* text;
    const char* pattern;
    bool match;
  } cases[] = {
      {"main pump", "main%", true},       {"would", "_ould", true},       {"ould", "_ould", false},
      {"5%", "5[%]", true},               {"5%", "5\\%", true},           {"55", "5\\%", false},
      {"abcy", "abc[x-z]", true},         {"abcw", "abc[x-z]", false},    {"xyza", "xyz[^a-c]", false},
      {"xyzd", "xyz[^a-c]", true},        {"µA", "_A", true},             {"", "%", true},
      {"aXbXc", "a%b%c", true},           {"abcbd", "a%b_", true},        {"ab", "a%b%c", false},
      {"a[b", "a[b", true},               {"Chan003", "Chan%3", true},    {"Chan003", "chan%", false},
  };
  for (const auto& c : cases) EXPECT_EQ(likeMatches(c.text, c.pattern), c.match) << c.text << " LIKE " << c.pattern;
}

TEST(EventFilter, SelectClausesNameConditionsAndTheirStates) {
  Bytes b;
  Encoder e(b);
  e.arrayLength(5);
  encodeField(e, kCondition, {}, 1);                 // ConditionId: the condition's node
  encodeField(e, kBase, {"Message"});
  encodeField(e, kCondition, {"ActiveState", "Id"});
  encodeField(e, kModelChange, {"Changes"});         // not a field of a condition: null
  encodeField(e, kBase, {"Severity"}, 1);            // the NodeId of a field: not served
  e.arrayLength(0);
  EventFilterSpec spec;
  EventFilterCheck check;
  ASSERT_EQ(parseEventFilter(object(727, b), isSubtype, spec, check), kGood);
  EXPECT_EQ(check.select, (std::vector<StatusCode>{kGood, kGood, kGood, kGood, 0x80350000u}));
  const std::vector<Variant> fields = selectEventFields(spec, tripEvent(), isSubtype);
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0], Variant::scalar(BuiltinType::NodeId, NodeId::stringId(1, "CrateA.Board00.Chan003#Trip")));
  EXPECT_EQ(fields[1].type, BuiltinType::LocalizedText);
  EXPECT_EQ(fields[2], Variant::scalar(BuiltinType::Boolean, true));
  EXPECT_EQ(fields[3].type, BuiltinType::Null);
  EXPECT_EQ(fields[4].type, BuiltinType::Null);
  UaEvent notACondition = tripEvent();
  notACondition.eventType = NodeId::numericId(0, kModelChange);
  EXPECT_EQ(selectEventFields(spec, notACondition, isSubtype)[0].type, BuiltinType::Null);
}

// The EventFilterResult's element results, decoded: status per element and its operands,
// and the reason a refused one carries.
struct ElementResult {
  StatusCode status;
  std::vector<StatusCode> operands;
  std::string why;
};
std::vector<ElementResult> elementResults(const ExtensionObject& result) {
  Decoder d(std::span(reinterpret_cast<const std::uint8_t*>(result.body.data()), result.body.size()));
  for (std::size_t i = d.arrayLength(); i > 0; --i) d.statusCode();
  EXPECT_EQ(d.arrayLength(), 0u);
  std::vector<ElementResult> out(d.arrayLength());
  for (auto& r : out) {
    r.status = d.statusCode();
    for (std::size_t k = d.arrayLength(); k > 0; --k) r.operands.push_back(d.statusCode());
    EXPECT_EQ(d.arrayLength(), 0u);
  }
  const std::size_t infos = d.arrayLength();
  for (std::size_t i = 0; i < infos && i < out.size(); ++i) {
    if (d.byte() == 0x10) out[i].why = d.string().value_or("");
  }
  EXPECT_TRUE(d.ok());
  EXPECT_EQ(d.remaining(), 0u);
  return out;
}

TEST(EventFilter, RefusedWhereClausesSayWhichElementAndWhy) {
  const auto severity = field({"Severity"});
  const struct {
    std::vector<El> where;
    StatusCode status;
    const char* why;
  } cases[] = {
      {{{O::BitwiseAnd, {severity, number(1)}}}, 0x80C20000u, "element 0: BitwiseAnd is not supported"},
      {{{O::OfType, {}}}, 0x80C30000u, "OfType takes 1 operand, not 0"},
      {{{O::InList, {severity}}}, 0x80C30000u, "InList takes 2 to 64 operands, not 1"},
      {{{O::Not, {element(0)}}}, 0x80C40000u, "names element 0, which is not after it"},
      {{{O::Not, {element(1)}}}, 0x80C40000u, "names element 1"},
      {{{O::OfType, {number(2041)}}}, 0x80490000u, "is not an event type"},
      {{{O::OfType, {typeId(2004)}}}, 0x80490000u, "is not an event type"},
      {{{O::IsNull, {object(600, {})}}}, 0x80490000u, "AttributeOperand"},
      {{{O::IsNull, {field({"Severity"}, 2004)}}}, 0x80630000u, "names no field"},
      {{{static_cast<O>(42), {severity}}}, 0x80C10000u, "operator 42 is not a FilterOperator"},
  };
  for (const auto& c : cases) {
    EventFilterSpec spec;
    EventFilterCheck check;
    EXPECT_EQ(parseEventFilter(eventFilter(c.where), isSubtype, spec, check), 0x80470000u) << c.why;
    const auto results = elementResults(eventFilterResult(check));
    ASSERT_EQ(results.size(), c.where.size());
    EXPECT_EQ(results[0].status, c.status) << c.why;
    EXPECT_NE(results[0].why.find(c.why), std::string::npos) << results[0].why;
  }
  // A good filter's result has no element results; a damaged one is refused outright.
  EventFilterSpec spec;
  EventFilterCheck check;
  ASSERT_EQ(parseEventFilter(eventFilter({{O::IsNull, {severity}}}), isSubtype, spec, check), kGood);
  EXPECT_TRUE(elementResults(eventFilterResult(check)).empty());
  ExtensionObject damaged = eventFilter({{O::Equals, {severity, number(1)}}});
  damaged.body.resize(damaged.body.size() - 3);
  EventFilterCheck none;
  EXPECT_EQ(parseEventFilter(damaged, isSubtype, spec, none), 0x80470000u);
}

}  // namespace

TEST(EventFilter, AKeptEventReadsBackWithEveryFieldAndDamageIsRefused) {
  const UaEvent trip = tripEvent();
  const std::string bytes = encodeEventRecord(trip);
  UaEvent back;
  ASSERT_TRUE(decodeEventRecord(bytes, back));
  EXPECT_EQ(back.eventType, trip.eventType);
  EXPECT_EQ(back.conditionId, trip.conditionId);
  EXPECT_EQ(back.source, trip.source);
  EXPECT_EQ(back.fields, trip.fields);
  // Cut short, one byte more, or of another layout: no event.
  EXPECT_FALSE(decodeEventRecord(std::string_view(bytes).substr(0, bytes.size() - 1), back));
  EXPECT_FALSE(decodeEventRecord(bytes + '\0', back));
  std::string other = bytes;
  other[0] = 2;
  EXPECT_FALSE(decodeEventRecord(other, back));
}
