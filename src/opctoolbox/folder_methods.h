#pragma once
// Methods on the application's folders (a crate, a board, a group), each carried out as
// writes of the folder's items: which methods a folder has, what their arguments are, and
// what a call comes to; and what a folder organizes that lives elsewhere. The application says; the endpoint shows them, checks the caller's role
// against every item written, writes, and answers one result per channel.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/variant.h"

namespace OpcToolbox {

struct MethodArgument {
  const char* name;
  std::uint32_t dataType;  // a namespace-0 DataType: 12 String, 19 StatusCode, 24 BaseDataType
  std::int32_t valueRank;  // -1 a scalar, 1 an array
  const char* description;
};

struct FolderMethod {
  const char* name;
  const char* description;
  std::span<const MethodArgument> inputs;
  std::span<const MethodArgument> outputs;
  Role role;  // the least role that may call it; every item written is checked too
};

// What a call comes to: every target written in order, with the input valueInput's value
// (checked against each target's data type) or else with value; per channel, in a stable
// order, the target whose result is its own.
struct MethodPlan {
  std::vector<ElementPtr> targets;
  int valueInput = -1;
  Variant value;
  std::vector<std::string> channels;
  std::vector<std::size_t> resultOf;
};

// Why a call's inputs are refused, per input; nothing is written then.
enum class InputFault : std::uint8_t { None, TypeMismatch, Invalid };

class FolderMethods {
 public:
  virtual ~FolderMethods() = default;
  virtual std::span<const FolderMethod> methodsOf(const DaAddressSpaceElement& folder) const = 0;
  // The plan of a call with these inputs (as many as the method declares), or false with
  // the fault of each input.
  virtual bool plan(const DaAddressSpaceElement& folder, std::string_view method, std::span<const Variant> inputs,
                    MethodPlan& out, std::vector<InputFault>& faults) const = 0;
  // What a folder organizes besides its own children (a group its channels), in order.
  virtual std::vector<ElementPtr> members(const DaAddressSpaceElement& folder) const = 0;
};

}  // namespace OpcToolbox
