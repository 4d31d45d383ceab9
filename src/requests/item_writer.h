#pragma once
// One client write carried to its target by the element's kind: a mainframe command, a
// system property, a board or channel parameter, a channel name, or a server setting.
// 0 when the write took effect; -1 when nothing was done; otherwise the HV library's code.
// The value's data field is read as the target's type (the toolbox has converted it to
// the item's data type already).

#include <cstdint>
#include <span>
#include <string>

#include "opctoolbox/value_qt.h"

namespace vexahv {

class VEXAHVElement;

// Texts of this many bytes or more are refused before they reach the library.
inline constexpr std::size_t kWriteTextLimit = 80;

// Whether a switch-on still needs the check against its board's voltage limit, or a
// caller (the grouped write) has made it for a whole board already.
enum class SwitchOnCheck { Needed, Done };

std::int32_t writeItemValue(VEXAHVElement* element, const OpcToolbox::ValueQT& value,
                            SwitchOnCheck check = SwitchOnCheck::Needed);

std::int32_t setSystemProperty(std::int32_t handle, const std::string& name, std::int32_t type,
                               const OpcToolbox::Variant& value);
std::int32_t setBoardParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                               std::int32_t type, const OpcToolbox::Variant& value);
std::int32_t setChannelParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                                 std::uint16_t channel, std::int32_t type, const OpcToolbox::Variant& value);

// The 4 bytes the library takes for a channel parameter of that type (a float, 1 or 0 for
// on/off, a 32-bit value); false for a type that cannot be written.
bool channelValueBits(std::int32_t type, const OpcToolbox::Variant& value, std::uint32_t& bits);
// A write of "Pw" on: the bytes go in bits.
bool isSwitchOn(const std::string& parameter, std::int32_t type, const OpcToolbox::Variant& value, std::uint32_t& bits);
// One VEXAHV_SetChParam of those bytes to the channels of one board; logs nothing.
std::int32_t setChannelParameters(std::int32_t handle, std::uint16_t slot, const std::string& name,
                                  std::span<const std::uint16_t> channels, std::uint32_t bits);

}  // namespace vexahv
