#pragma once
// The methods of crates, boards and the operators' groups (the groups file's), for
// operators who work on groups: SwitchOn and SwitchOff (every channel's Pw),
// SetParameter(name, value) of every channel, and on a crate its commands Kill and
// ClearAlarms; and the channels a group organizes. Each is carried out as one write of the items
// it names, grouped by board and parameter into one library call each, and answers one
// result per channel in the crate's order. The mainframe kills and clears a whole crate at
// once, so a board has no Kill or ClearAlarms: one would reach channels outside it.

#include "opctoolbox/folder_methods.h"

namespace vexahv {

class GroupMethods : public OpcToolbox::FolderMethods {
 public:
  std::span<const OpcToolbox::FolderMethod> methodsOf(const OpcToolbox::DaAddressSpaceElement& folder) const override;
  bool plan(const OpcToolbox::DaAddressSpaceElement& folder, std::string_view method,
            std::span<const OpcToolbox::Variant> inputs, OpcToolbox::MethodPlan& out,
            std::vector<OpcToolbox::InputFault>& faults) const override;
  std::vector<OpcToolbox::ElementPtr> members(const OpcToolbox::DaAddressSpaceElement& folder) const override;
};

// The process's one instance.
const GroupMethods& groupMethods();

}  // namespace vexahv
