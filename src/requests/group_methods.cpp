#include "requests/group_methods.h"

#include <array>

#include "addressspace/channel_groups.h"
#include "addressspace/vexahv_element.h"
#include "opctoolbox/application.h"
#include "opctoolbox/da_address_space_root.h"

namespace vexahv {
namespace {

using OpcToolbox::FolderMethod;
using OpcToolbox::InputFault;
using OpcToolbox::MethodArgument;
using OpcToolbox::Role;

constexpr std::uint32_t kString = 12, kStatusCode = 19, kBaseDataType = 24;

constexpr std::array<MethodArgument, 2> kResults = {{
    {"Results", kStatusCode, 1, "one status per channel, in the order of Channels"},
    {"Channels", kString, 1, "the channels' item ids, in the crate's order"},
}};
constexpr std::array<MethodArgument, 2> kSetInputs = {{
    {"Parameter", kString, -1, "a writable channel parameter, such as V0Set, I0Set or RUp"},
    {"Value", kBaseDataType, -1, "the value, of the parameter's DataType (Float for V0Set)"},
}};

constexpr FolderMethod kSwitchOn{"SwitchOn", "Switches every channel on (Pw true), each ramping to its V0Set", {}, kResults,
                                 Role::Operator};
constexpr FolderMethod kSwitchOff{"SwitchOff", "Switches every channel off (Pw false), each ramping down at its RDWn",
                                  {}, kResults, Role::Operator};
constexpr FolderMethod kSetParameter{"SetParameter", "Sets one parameter of every channel to one value", kSetInputs,
                                     kResults, Role::Operator};
constexpr FolderMethod kKill{"Kill", "The crate's Kill: every channel of the crate off at once, without a ramp", {},
                             kResults, Role::Operator};
constexpr FolderMethod kClearAlarms{"ClearAlarms",
                                    "The crate's ClearAlarm: clears every trip and kill of the crate (switches nothing on)",
                                    {}, kResults, Role::Operator};

constexpr std::array<FolderMethod, 3> kBoardMethods = {kSwitchOn, kSwitchOff, kSetParameter};
constexpr std::array<FolderMethod, 5> kCrateMethods = {kSwitchOn, kSwitchOff, kSetParameter, kKill, kClearAlarms};

VEXAHVElementPtr childNamed(const VEXAHVElement& parent, ElementKind kind, std::string_view name) {
  for (auto& child : parent.getOwnChildren()) {
    if (child->getKind() == kind && child->getName() == name) return child;
  }
  return nullptr;
}

// A group of the groups file (not the Groups folder itself), or null.
const ChannelGroup* groupOf(const VEXAHVElement& folder) {
  if (folder.getKind() != ElementKind::Group) return nullptr;
  const auto parent = folder.getParentElement();
  if (!parent || parent->getKind() != ElementKind::Group) return nullptr;
  for (const ChannelGroup& g : channelGroups()) {
    if (g.name == folder.getName()) return &g;
  }
  return nullptr;
}

// The channels under a crate or board, or those a group holds, in the address space's
// order (crates, boards, channels).
std::vector<VEXAHVElementPtr> channelsOf(const VEXAHVElement& folder) {
  std::vector<VEXAHVElementPtr> out;
  if (folder.getKind() == ElementKind::Group) {
    const ChannelGroup* group = groupOf(folder);
    const OpcToolbox::DaAddressSpaceRoot* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
    if (group == nullptr || root == nullptr) return out;
    for (const auto& top : root->getChildren()) {
      const auto crate = std::dynamic_pointer_cast<VEXAHVElement>(top);
      if (!crate || crate->getKind() != ElementKind::System) continue;
      for (auto& channel : channelsOf(*crate)) {
        if (groupHolds(*group, channel->getItemId())) out.push_back(std::move(channel));
      }
    }
    return out;
  }
  for (auto& child : folder.getOwnChildren()) {
    if (child->getKind() == ElementKind::Channel) {
      out.push_back(child);
    } else if (child->getKind() == ElementKind::Board && folder.getKind() == ElementKind::System) {
      for (auto& channel : child->getOwnChildren()) {
        if (channel->getKind() == ElementKind::Channel) out.push_back(channel);
      }
    }
  }
  return out;
}

OpcToolbox::Variant boolean(bool on) {
  OpcToolbox::Variant v;
  v.setBOOL(on);
  return v;
}

}  // namespace

std::span<const FolderMethod> GroupMethods::methodsOf(const OpcToolbox::DaAddressSpaceElement& folder) const {
  const auto* element = dynamic_cast<const VEXAHVElement*>(&folder);
  if (element == nullptr) return {};
  if (element->getKind() == ElementKind::Board || groupOf(*element) != nullptr) return kBoardMethods;
  if (element->getKind() == ElementKind::System) return kCrateMethods;
  return {};
}

std::vector<OpcToolbox::ElementPtr> GroupMethods::members(const OpcToolbox::DaAddressSpaceElement& folder) const {
  const auto* element = dynamic_cast<const VEXAHVElement*>(&folder);
  std::vector<OpcToolbox::ElementPtr> out;
  if (element == nullptr || groupOf(*element) == nullptr) return out;
  for (auto& channel : channelsOf(*element)) out.push_back(std::move(channel));
  return out;
}

bool GroupMethods::plan(const OpcToolbox::DaAddressSpaceElement& folder, std::string_view method,
                        std::span<const OpcToolbox::Variant> inputs, OpcToolbox::MethodPlan& out,
                        std::vector<InputFault>& faults) const {
  const auto* element = dynamic_cast<const VEXAHVElement*>(&folder);
  if (element == nullptr) return false;
  const std::vector<VEXAHVElementPtr> channels = channelsOf(*element);
  if (method == "Kill" || method == "ClearAlarms") {
    const auto command = childNamed(*element, ElementKind::SystemItem, method == "Kill" ? "Kill" : "ClearAlarm");
    if (!command) return false;
    out.targets = {command};
    out.value = boolean(true);
    for (const auto& c : channels) {
      out.channels.push_back(c->getItemId());
      out.resultOf.push_back(0);
    }
    return true;
  }
  std::string parameter = "Pw";
  if (method == "SetParameter") {
    faults.assign(inputs.size(), InputFault::None);
    if (inputs.size() != 2 || inputs[0].vartype() != OpcToolbox::VT_BSTR) {
      if (!faults.empty()) faults[0] = InputFault::TypeMismatch;
      return false;
    }
    parameter = inputs[0].text();
    out.valueInput = 1;
  } else if (method == "SwitchOn" || method == "SwitchOff") {
    out.value = boolean(method == "SwitchOn");
  } else {
    return false;
  }
  for (const auto& c : channels) {
    const auto item = childNamed(*c, ElementKind::ChannelParam, parameter);
    if (!item) continue;
    out.resultOf.push_back(out.targets.size());
    out.targets.push_back(item);
    out.channels.push_back(c->getItemId());
  }
  // A name no channel has is refused before anything is sent; so is one of a read-only item.
  const bool writable = !out.targets.empty() && (out.targets.front()->getAccessRights() & OpcToolbox::kWriteable) != 0;
  if (method == "SetParameter" && !writable) {
    faults[0] = InputFault::Invalid;
    return false;
  }
  return true;
}

const GroupMethods& groupMethods() {
  static const GroupMethods methods;
  return methods;
}

}  // namespace vexahv
