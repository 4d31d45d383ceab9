#include "opctoolbox/ua/model/ua_history_configuration.h"

#include <array>

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kObject = 1, kVariable = 2, kHasProperty = 46, kHasComponent = 47, kPropertyType = 68,
                        kAggregateConfigurationType = 11187, kBoolean = 1, kByte = 3, kDouble = 11, kDuration = 290,
                        kExceptionDeviationFormat = 890;

constexpr std::array<HistoryConfigurationMember, 9> kMembers{{
    {"AggregateConfiguration", "AggregateConfiguration", kObject, kHasComponent, kAggregateConfigurationType, 0},
    {"AggregateConfiguration.TreatUncertainAsBad", "TreatUncertainAsBad", kVariable, kHasProperty, kPropertyType, kBoolean},
    {"AggregateConfiguration.PercentDataBad", "PercentDataBad", kVariable, kHasProperty, kPropertyType, kByte},
    {"AggregateConfiguration.PercentDataGood", "PercentDataGood", kVariable, kHasProperty, kPropertyType, kByte},
    {"AggregateConfiguration.UseSlopedExtrapolation", "UseSlopedExtrapolation", kVariable, kHasProperty, kPropertyType,
     kBoolean},
    {"Stepped", "Stepped", kVariable, kHasProperty, kPropertyType, kBoolean},
    {"MinTimeInterval", "MinTimeInterval", kVariable, kHasProperty, kPropertyType, kDuration},
    {"ExceptionDeviation", "ExceptionDeviation", kVariable, kHasProperty, kPropertyType, kDouble},
    {"ExceptionDeviationFormat", "ExceptionDeviationFormat", kVariable, kHasProperty, kPropertyType,
     kExceptionDeviationFormat},
}};

constexpr std::string_view kMarker = "#HA Configuration";

}  // namespace

std::span<const HistoryConfigurationMember> historyConfigurationMembers() { return kMembers; }

const HistoryConfigurationMember* historyConfigurationParent(const HistoryConfigurationMember& member) {
  const std::string_view id = member.id;
  const std::size_t dot = id.rfind('.');
  if (dot == std::string_view::npos) return nullptr;
  for (const auto& m : kMembers) {
    if (id.substr(0, dot) == m.id) return &m;
  }
  return nullptr;
}

bool isHistoryConfigurationChild(const HistoryConfigurationMember& member, const HistoryConfigurationMember* parent) {
  return historyConfigurationParent(member) == parent;
}

std::optional<HistoryConfigurationNodeName> splitHistoryConfigurationNodeId(std::string_view id) {
  const std::size_t at = id.find(kMarker);
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  HistoryConfigurationNodeName out{id.substr(0, at), nullptr};
  const std::string_view rest = id.substr(at + kMarker.size());
  if (rest.empty()) return out;
  if (rest.front() != '.') return std::nullopt;
  for (const auto& m : kMembers) {
    if (rest.substr(1) == m.id) {
      out.member = &m;
      return out;
    }
  }
  return std::nullopt;
}

std::string historyConfigurationNodeId(const std::string& itemId, const HistoryConfigurationMember* member) {
  std::string id = itemId + std::string(kMarker);
  if (member != nullptr) id += std::string(".") + member->id;
  return id;
}

}  // namespace OpcToolbox::ua
