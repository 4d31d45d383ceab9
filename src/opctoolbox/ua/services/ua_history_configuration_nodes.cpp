// The nodes of a kept item's HistoricalDataConfiguration (OPC UA Part 11, 5.2): found by
// their ids, browsed, and read. Their values say how the server keeps and reads the item's
// history: its deadband and interval, whether its values step, and the aggregates'
// configuration, which is the server's own.

#include "history/history_service.h"
#include "opctoolbox/ua/model/ua_history_configuration.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"

namespace OpcToolbox::ua {
namespace {

constexpr auto reference = referenceTo;

}  // namespace

std::optional<UaServer::HistoryConfigurationNode> UaServer::historyConfigurationNodeOf(std::string_view text) const {
  const auto split = splitHistoryConfigurationNodeId(text);
  vexahv::history::HistoryService* history = app_.history();
  if (!split || history == nullptr) return std::nullopt;
  ElementPtr item = lookup()(std::string(split->itemId));
  if (!item || item->getHasChildren() || !history->historizing(item->getItemId())) return std::nullopt;
  return HistoryConfigurationNode{std::move(item), split->member};
}

void UaServer::historyConfigurationReferences(const HistoryConfigurationNode& node, bool forward, bool inverse,
                                              const std::function<void(ReferenceDescription&&)>& sink) {
  const HistoryConfigurationMember* self = node.member;
  const std::string& itemId = node.item->getItemId();
  if (forward) {
    if (self == nullptr || self->nodeClass == kObject) {
      for (const HistoryConfigurationMember& m : historyConfigurationMembers()) {
        if (!isHistoryConfigurationChild(m, self)) continue;
        sink(reference(m.reference, true, NodeId::stringId(kNs, historyConfigurationNodeId(itemId, &m)),
                       QualifiedName{0, m.browseName}, m.nodeClass, m.typeDefinition));
      }
    }
    const std::uint32_t type = self == nullptr ? kHistoricalDataConfigurationType : self->typeDefinition;
    const NamespaceZeroNode* t = findNamespaceZero(type);
    sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, type), QualifiedName{0, t != nullptr ? t->name : ""},
                   self == nullptr || self->nodeClass == kObject ? 8u : 16u, 0));
  }
  if (!inverse) return;
  if (self == nullptr) {
    const bool variable = !node.item->getHasChildren();
    sink(reference(kHasHistoricalConfiguration, false, NodeId::stringId(kNs, itemId), QualifiedName{kNs, node.item->getName()},
                   variable ? kVariable : kObject, itemModelOf(*node.item, lookup()).typeDefinition));
    return;
  }
  const HistoryConfigurationMember* parent = historyConfigurationParent(*self);
  sink(reference(self->reference, false, NodeId::stringId(kNs, historyConfigurationNodeId(itemId, parent)),
                 QualifiedName{0, parent != nullptr ? parent->browseName : kHistoryConfigurationName}, kObject,
                 parent != nullptr ? parent->typeDefinition : kHistoricalDataConfigurationType));
}

DataValue UaServer::readHistoryConfiguration(const HistoryConfigurationNode& node, const NodeIdRef& id,
                                             std::uint32_t attribute, std::uint32_t timestamps) {
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  const HistoryConfigurationMember* m = node.member;
  const bool object = m == nullptr || m->nodeClass == kObject;
  const QualifiedName name{0, m == nullptr ? kHistoryConfigurationName : m->browseName};
  if (auto common = commonAttribute(id.toNodeId(), object ? kObject : kVariable, name, attribute)) return *common;
  if (object) {
    if (attribute == kEventNotifier) return scalar(BuiltinType::Byte, std::uint8_t{0});
    return statusOnly(kBadAttributeIdInvalid);
  }
  if (auto variable = madeVariableAttribute(m->dataType, attribute)) return *variable;
  if (attribute != kValue) return statusOnly(kBadAttributeIdInvalid);
  vexahv::history::HistoryService* history = app_.history();
  const auto kept = history != nullptr ? history->keptInfo(node.item->getItemId()) : std::nullopt;
  if (!kept) return statusOnly(kBadNodeIdUnknown);
  const std::string_view member = m->id;
  DataValue v;
  // The aggregates' configuration is the server's: an interval with any value not good is
  // Uncertain, Uncertain values count as bad, and past the last value it steps.
  if (member == "AggregateConfiguration.TreatUncertainAsBad") v = scalar(BuiltinType::Boolean, true);
  else if (member == "AggregateConfiguration.PercentDataBad") v = scalar(BuiltinType::Byte, std::uint8_t{100});
  else if (member == "AggregateConfiguration.PercentDataGood") v = scalar(BuiltinType::Byte, std::uint8_t{100});
  else if (member == "AggregateConfiguration.UseSlopedExtrapolation") v = scalar(BuiltinType::Boolean, false);
  // A voltage or a current lies on a line between its values; a status word, a switch or a
  // text steps.
  else if (member == "Stepped") {
    const std::uint16_t type = node.item->getDatatype();
    v = scalar(BuiltinType::Boolean, type != VT_R4 && type != VT_R8);
  } else if (member == "MinTimeInterval") v = scalar(BuiltinType::Double, static_cast<double>(kept->minInterval) / 1e4);
  else if (member == "ExceptionDeviation") v = scalar(BuiltinType::Double, kept->deadband);
  else if (member == "ExceptionDeviationFormat") v = scalar(BuiltinType::Int32, std::int32_t{0});  // AbsoluteValue
  else return statusOnly(kBadAttributeIdInvalid);
  const std::int64_t now = nowTicks();
  stampTimestamps(v, timestamps, now, now);
  return v;
}

}  // namespace OpcToolbox::ua
