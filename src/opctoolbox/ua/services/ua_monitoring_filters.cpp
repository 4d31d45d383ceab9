#include "opctoolbox/ua/services/ua_monitoring_filters.h"

#include <cmath>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kEventFilter = 727, kEventFilterResult = 736, kLiteralOperand = 597, kOfType = 14;
constexpr StatusCode kBadEventFilterInvalid = 0x80470000u;
constexpr std::size_t kMaxSelectClauses = 64;

}  // namespace

StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter) {
  if (e.typeId.isNull()) return kGood;
  if (!(e.typeId == NodeId::numericId(0, id::DataChangeFilter)) || e.encoding != 1) return kBadFilterNotAllowed;
  Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
  filter.trigger = f.uint32();
  filter.deadbandType = f.uint32();
  filter.deadband = f.float64();
  // A percent deadband needs an engineering-unit range, which items do not carry.
  if (!f.ok() || filter.trigger > 2 || filter.deadbandType > 1 || !(filter.deadband >= 0) ||
      !std::isfinite(filter.deadband)) {
    return kBadMonitoredItemFilterUnsupported;
  }
  return kGood;
}

StatusCode parseEventFilter(const ExtensionObject& e, EventFilterSpec& filter, std::vector<StatusCode>& selectResults) {
  if (!(e.typeId == NodeId::numericId(0, kEventFilter)) || e.encoding != 1) return kBadEventFilterInvalid;
  Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
  const std::size_t clauses = f.arrayLength();
  if (!f.ok() || clauses == 0 || clauses > kMaxSelectClauses) return kBadEventFilterInvalid;
  for (std::size_t i = 0; i < clauses && f.ok(); ++i) {
    (void)f.nodeId();  // the type the path starts from: every field here is BaseEventType's
    const std::size_t depth = f.arrayLength();
    std::vector<std::string> path;
    for (std::size_t k = 0; k < depth && f.ok(); ++k) {
      const QualifiedName q = f.qualifiedName();
      path.push_back(q.name.value_or(""));
    }
    const std::uint32_t attribute = f.uint32();
    (void)f.string();  // index range
    // The Value of a field; a path that names no field here selects null.
    selectResults.push_back(attribute == 13 ? kGood : 0x80350000u /* BadAttributeIdInvalid */);
    filter.select.push_back(attribute == 13 ? std::move(path) : std::vector<std::string>{});
  }
  const std::size_t elements = f.arrayLength();
  if (!f.ok()) return kBadEventFilterInvalid;
  if (elements > 1) return kBadMonitoredItemFilterUnsupported;
  if (elements == 1) {
    const std::uint32_t op = f.uint32();
    const std::size_t operands = f.arrayLength();
    if (!f.ok() || op != kOfType || operands != 1) return kBadMonitoredItemFilterUnsupported;
    const ExtensionObject operand = f.extensionObject();
    if (!f.ok() || !(operand.typeId == NodeId::numericId(0, kLiteralOperand)) || operand.encoding != 1) {
      return kBadMonitoredItemFilterUnsupported;
    }
    Decoder l(std::span(reinterpret_cast<const std::uint8_t*>(operand.body.data()), operand.body.size()));
    const ua::Variant type = l.variant();
    if (!l.ok() || type.type != BuiltinType::NodeId || type.isArray || type.values.size() != 1) {
      return kBadEventFilterInvalid;
    }
    const NodeId& id = *std::get<Boxed<NodeId>>(type.values.front());
    if (id.ns != 0 || id.kind != NodeId::Kind::Numeric) return kBadEventFilterInvalid;
    filter.ofType = id.numeric;
  }
  return f.ok() ? kGood : kBadEventFilterInvalid;
}

ExtensionObject eventFilterResult(const std::vector<StatusCode>& selectResults) {
  std::vector<std::uint8_t> body;
  Encoder b(body);
  b.arrayLength(static_cast<std::int32_t>(selectResults.size()));
  for (StatusCode c : selectResults) b.statusCode(c);
  b.arrayLength(0);  // no diagnostics
  b.arrayLength(0);  // where clause: no element results
  b.arrayLength(0);
  return ExtensionObject{NodeId::numericId(0, kEventFilterResult), 1, std::string(body.begin(), body.end())};
}

}  // namespace OpcToolbox::ua
