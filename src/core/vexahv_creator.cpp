#include "core/vexahv_creator.h"

#include <new>

#include "core/vexahv_da_address_space_root.h"

namespace vexahv {

std::unique_ptr<OpcToolbox::DaAddressSpaceRoot> VEXAHVCreator::createDaAddressSpaceRoot() {
  return std::unique_ptr<OpcToolbox::DaAddressSpaceRoot>(new (std::nothrow) VEXAHVDaAddressSpaceRoot());
}

OpcToolbox::ElementPtr VEXAHVCreator::createInternalDaAddressSpaceElement(const std::string& itemId,
                                                                          const std::string& name,
                                                                          std::uint32_t accessRights,
                                                                          std::uint32_t ioMode,
                                                                          std::uint32_t datatype) {
  try {
    return std::make_shared<VEXAHVElement>(itemId, name, accessRights, ioMode, datatype);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

VEXAHVElementPtr VEXAHVCreator::createHVElement() {
  try {
    return VEXAHVElement::create();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace vexahv
