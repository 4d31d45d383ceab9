#include "opctoolbox/ua/model/ua_item_model.h"

#include <cmath>

#include "history/history_service.h"
#include "opctoolbox/results.h"
#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/model/ua_engineering_units.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kRangeEncoding = 886, kEUInformationEncoding = 889;
constexpr std::uint32_t kRange = 884, kEUInformation = 887, kDouble = 11, kLocalizedText = 21;

struct PropertyName {
  UaProperty property;
  const char* name;
};
constexpr PropertyName kNames[] = {
    {UaProperty::EURange, "EURange"},       {UaProperty::EngineeringUnits, "EngineeringUnits"},
    {UaProperty::ValuePrecision, "ValuePrecision"}, {UaProperty::TrueState, "TrueState"},
    {UaProperty::FalseState, "FalseState"}, {UaProperty::Definition, "Definition"},
};

// The value a DA property item was made with, when it was read well.
std::optional<OpcToolbox::Variant> goodValue(const ElementPtr& e) {
  if (!e) return std::nullopt;
  ValueQT q;
  e->getCacheValue(q);
  if ((q.getQuality() & 0xC0) != 0xC0) return std::nullopt;
  return q.getData();
}

std::optional<double> number(const ElementPtr& e) {
  const auto v = goodValue(e);
  if (!v) return std::nullopt;
  OpcToolbox::Variant d = *v;
  if (d.changeDatatype(VT_R8) != S_OK) return std::nullopt;
  return d.rawR8();
}

std::optional<std::string> text(const ElementPtr& e) {
  const auto v = goodValue(e);
  if (!v || v->vartype() != VT_BSTR) return std::nullopt;
  return v->text();
}

DataValue extension(std::uint32_t encoding, const std::vector<std::uint8_t>& body) {
  return valueOf(ua::Variant::scalar(BuiltinType::ExtensionObject,
                                     ExtensionObject{NodeId::numericId(0, encoding), 1, std::string(body.begin(), body.end())}));
}

}  // namespace

std::vector<UaProperty> ItemModel::properties() const {
  std::vector<UaProperty> out;
  if (definition != nullptr) out.push_back(UaProperty::Definition);
  if (typeDefinition == kAnalogItemType) {
    out.push_back(UaProperty::EURange);
    if (eu) out.push_back(UaProperty::EngineeringUnits);
    if (resol) out.push_back(UaProperty::ValuePrecision);
  } else if (typeDefinition == kTwoStateDiscreteType) {
    out.push_back(UaProperty::TrueState);
    out.push_back(UaProperty::FalseState);
  }
  return out;
}

bool hasProperty(const ItemModel& model, UaProperty p) {
  for (UaProperty q : model.properties()) {
    if (q == p) return true;
  }
  return false;
}

ItemModel itemModelOf(const DaAddressSpaceElement& variable, const ElementLookup& find) {
  ItemModel m;
  m.definition = variable.getDefinition();
  const std::string& id = variable.getItemId();
  // A DA property item is itself a plain data item.
  if (variable.getName().find('#') != std::string::npos) return m;
  m.low = find(id + "#LowEU");
  m.high = find(id + "#HighEU");
  if (m.low && m.high) {
    m.typeDefinition = kAnalogItemType;
    m.eu = find(id + "#EU");
    // "None" and an empty text name no unit.
    if (const auto unit = text(m.eu); !unit || unit->empty() || *unit == "None") m.eu.reset();
    m.resol = find(id + "#Resol");
    return m;
  }
  m.low.reset();
  m.high.reset();
  if (variable.getDatatype() == VT_BOOL) {
    m.trueState = find(id + "#CoOpen");
    m.falseState = find(id + "#CoClose");
    if (m.trueState && m.falseState) m.typeDefinition = kTwoStateDiscreteType;
    else m.trueState.reset(), m.falseState.reset();
  }
  return m;
}

const char* typeDefinitionName(std::uint32_t typeDefinition) {
  switch (typeDefinition) {
    case kAnalogItemType: return "AnalogItemType";
    case kTwoStateDiscreteType: return "TwoStateDiscreteType";
    default: return "DataItemType";
  }
}

const char* propertyBrowseName(UaProperty p) {
  for (const PropertyName& n : kNames) {
    if (n.property == p) return n.name;
  }
  return "";
}

std::uint32_t propertyDataType(UaProperty p) {
  switch (p) {
    case UaProperty::EURange: return kRange;
    case UaProperty::EngineeringUnits: return kEUInformation;
    case UaProperty::ValuePrecision: return kDouble;
    case UaProperty::TrueState: case UaProperty::FalseState: return kLocalizedText;
    case UaProperty::Definition: return 12;  // String
  }
  return kDouble;
}

std::string propertyNodeId(const std::string& itemId, UaProperty p) { return itemId + "#" + propertyBrowseName(p); }

std::optional<std::pair<std::string, UaProperty>> splitPropertyNodeId(std::string_view id) {
  const std::size_t hash = id.rfind('#');
  if (hash == std::string_view::npos || hash == 0) return std::nullopt;
  const std::string_view name = id.substr(hash + 1);
  for (const PropertyName& n : kNames) {
    if (name == n.name) return std::pair{std::string(id.substr(0, hash)), n.property};
  }
  return std::nullopt;
}

std::optional<double> euRangeSpan(const ItemModel& m) {
  if (!hasProperty(m, UaProperty::EURange)) return std::nullopt;
  return euRangeSpan(m.low, m.high);
}

std::optional<double> euRangeSpan(const ElementPtr& lowItem, const ElementPtr& highItem) {
  const auto low = number(lowItem), high = number(highItem);
  if (!low || !high) return std::nullopt;
  return std::fabs(*high - *low);
}

DataValue propertyValue(UaProperty p, const ItemModel& m) {
  std::vector<std::uint8_t> body;
  Encoder e(body);
  switch (p) {
    case UaProperty::EURange: {
      const auto low = number(m.low), high = number(m.high);
      if (!low || !high) break;
      e.float64(*low);
      e.float64(*high);
      return extension(kRangeEncoding, body);
    }
    case UaProperty::EngineeringUnits: {
      const auto unit = text(m.eu);
      if (!unit) break;
      const EngineeringUnit u = engineeringUnitOf(*unit);
      e.string(std::string_view(kUnitsNamespaceUri));
      e.int32(u.unitId);
      e.localizedText(LocalizedText{std::string("en"), u.symbol});
      e.localizedText(LocalizedText{std::string("en"), u.description});
      return extension(kEUInformationEncoding, body);
    }
    case UaProperty::ValuePrecision:
      if (const auto v = number(m.resol)) return valueOf(ua::Variant::scalar(BuiltinType::Double, *v));
      break;
    case UaProperty::Definition:
      if (m.definition) return valueOf(ua::Variant::scalar(BuiltinType::String, UaString{std::string(m.definition)}));
      break;
    case UaProperty::TrueState:
    case UaProperty::FalseState:
      if (const auto label = text(p == UaProperty::TrueState ? m.trueState : m.falseState)) {
        return valueOf(ua::Variant::scalar(BuiltinType::LocalizedText, LocalizedText{std::string("en"), *label}));
      }
      break;
  }
  return statusOnly(kBad);
}

std::uint8_t historyBit(const vexahv::history::HistoryService* history, const DaAddressSpaceElement& item) {
  return history != nullptr && history->historizing(item.getItemId()) ? 4 : 0;
}

}  // namespace OpcToolbox::ua
