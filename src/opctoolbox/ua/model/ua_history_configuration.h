#pragma once
// A kept item's HistoricalDataConfiguration (OPC UA Part 11, 5.2) as nodes: the object
// "<item id>#HA Configuration" that the item references by HasHistoricalConfiguration,
// its AggregateConfiguration and the properties that say how the item's history is kept
// and read ("<item id>#HA Configuration.Stepped" and the like). Nothing is stored per node:
// the members are one table, their values the item's and the server's.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace OpcToolbox::ua {

inline constexpr std::uint32_t kHistoricalDataConfigurationType = 2318, kHasHistoricalConfiguration = 56;
inline constexpr const char* kHistoryConfigurationName = "HA Configuration";

struct HistoryConfigurationMember {
  const char* id;          // after "<item id>#HA Configuration.": "AggregateConfiguration.PercentDataBad"
  const char* browseName;  // the last part of id, in namespace 0
  std::uint32_t nodeClass;
  std::uint32_t reference;  // from its parent
  std::uint32_t typeDefinition;
  std::uint32_t dataType;  // 0 for an object
};

// Every member, parents before their children.
std::span<const HistoryConfigurationMember> historyConfigurationMembers();
// Whether member is a child of parent (null: of the configuration object itself).
bool isHistoryConfigurationChild(const HistoryConfigurationMember& member, const HistoryConfigurationMember* parent);
// The member's parent, null for one of the configuration object's own.
const HistoryConfigurationMember* historyConfigurationParent(const HistoryConfigurationMember& member);

// "<item id>#HA Configuration[.<member>]": the item id and the member (null for the
// object itself); nullopt for any other text.
struct HistoryConfigurationNodeName {
  std::string_view itemId;
  const HistoryConfigurationMember* member = nullptr;
};
std::optional<HistoryConfigurationNodeName> splitHistoryConfigurationNodeId(std::string_view id);
std::string historyConfigurationNodeId(const std::string& itemId, const HistoryConfigurationMember* member = nullptr);

}  // namespace OpcToolbox::ua
