#pragma once
// The current value of one element: asked of the HV library for system properties,
// board and channel parameters and channel names, derived for the connection status, or
// the element's cached value. Never fails as a call: failures show as quality 0 and one
// log line.

#include <cstdint>
#include <string>
#include <vector>

#include "addressspace/element_kind.h"
#include "opctoolbox/value_qt.h"

namespace vexahv {

class VEXAHVElement;

OpcToolbox::ValueQT readItemValue(VEXAHVElement* element);

OpcToolbox::ValueQT readBoardParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                                       std::int32_t paramType);
OpcToolbox::ValueQT readChannelParameter(std::int32_t handle, std::uint16_t slot,
                                         const std::string& name, std::uint16_t channel,
                                         std::int32_t paramType);
OpcToolbox::ValueQT readSystemProperty(std::int32_t handle, const std::string& name, std::int32_t type);

// The value of a board or channel parameter of library type 0..5 from the library's
// bytes (text: the NUL-ended text for type 5); false for any other type.
bool convertParameterValue(std::int32_t type, const std::uint8_t* raw, const char* text, OpcToolbox::Variant& out);

// What a failed read of a parameter of that type carries: zero, or empty text.
OpcToolbox::Variant parameterFailureValue(std::int32_t type);

}  // namespace vexahv
