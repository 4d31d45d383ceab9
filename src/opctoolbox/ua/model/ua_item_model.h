#pragma once
// How an item appears as an OPC UA Data Access variable (Part 8): its type definition and
// the properties it publishes, taken from the item's DA property items ("<item>#LowEU",
// "#HighEU", "#EU", "#Resol", "#CoOpen", "#CoClose"), whose values were read once when the
// items were made.
//   - LowEU and HighEU: AnalogItemType, with EURange, EngineeringUnits (from EU, when it
//     names a unit) and ValuePrecision (from Resol, where the item has it).
//   - CoOpen and CoClose on a Boolean item: TwoStateDiscreteType, with TrueState and
//     FalseState.
//   - any other item: DataItemType, with Definition where the item says what its value
//     means (the bits of a status word).
// A property is a node of its own, "<item id>#<property>" in the item's namespace.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/ua/encoding/ua_types.h"

namespace vexahv::history {
class HistoryService;
}

namespace OpcToolbox::ua {

inline constexpr std::uint32_t kDataItemType = 2365, kAnalogItemType = 2368, kTwoStateDiscreteType = 2373;

enum class UaProperty : std::uint8_t { EURange, EngineeringUnits, ValuePrecision, TrueState, FalseState, Definition };

struct ItemModel {
  std::uint32_t typeDefinition = kDataItemType;
  ElementPtr low, high, eu, resol, trueState, falseState;
  const char* definition = nullptr;  // the item's own (DaAddressSpaceElement::getDefinition)
  std::vector<UaProperty> properties() const;
};

using ElementLookup = std::function<ElementPtr(const std::string& itemId)>;

bool hasProperty(const ItemModel& model, UaProperty p);

// The model of a variable (an element without children).
ItemModel itemModelOf(const DaAddressSpaceElement& variable, const ElementLookup& find);
const char* typeDefinitionName(std::uint32_t typeDefinition);

const char* propertyBrowseName(UaProperty p);
std::uint32_t propertyDataType(UaProperty p);
std::string propertyNodeId(const std::string& itemId, UaProperty p);
// "<item id>#EURange" and the like: the item id and the property; nullopt otherwise.
std::optional<std::pair<std::string, UaProperty>> splitPropertyNodeId(std::string_view id);
// The property's value; Bad status when its DA property item holds no usable value.
DataValue propertyValue(UaProperty p, const ItemModel& model);
// The width of an analog item's EURange (HighEU - LowEU); none for an item without one.
std::optional<double> euRangeSpan(const ItemModel& model);
// The same of the item's LowEU and HighEU items as they hold now.
std::optional<double> euRangeSpan(const ElementPtr& low, const ElementPtr& high);
// AccessLevel's HistoryRead bit (4) for an item whose history is kept, else 0.
std::uint8_t historyBit(const vexahv::history::HistoryService* history, const DaAddressSpaceElement& item);

}  // namespace OpcToolbox::ua
