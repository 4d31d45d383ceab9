#pragma once
// The constant value of one OPC property of an element, looked up by property id.

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/value_qt.h"

namespace vexahv {

// False when the element has no constant property with that id.
bool readPropertyValue(OpcToolbox::DaAddressSpaceElement& element, int propertyId, OpcToolbox::ValueQT& out);

}  // namespace vexahv
