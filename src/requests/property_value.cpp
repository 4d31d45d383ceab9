#include "requests/property_value.h"

#include <vector>

#include "opctoolbox/da_property.h"

namespace vexahv {

bool readPropertyValue(OpcToolbox::DaAddressSpaceElement& element, int propertyId, OpcToolbox::ValueQT& out) {
  std::vector<OpcToolbox::DaProperty*> properties;
  element.queryProperties(properties);
  for (const OpcToolbox::DaProperty* p : properties) {
    if (p->getId() != propertyId) continue;
    if (const auto* constant = dynamic_cast<const OpcToolbox::DaConstantProperty*>(p)) {
      out = constant->getValue();
      return true;
    }
  }
  return false;
}

}  // namespace vexahv
