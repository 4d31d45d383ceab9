#include "core/vexahv_creator.h"

#include <new>

#include "core/vexahv_da_address_space_root.h"
#include "requests/vexahv_request.h"
#include "requests/vexahv_session.h"
#include "requests/vexahv_transaction.h"

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

std::shared_ptr<OpcToolbox::DaRequest> VEXAHVCreator::createRequest(OpcToolbox::EnumTransactionType type,
                                                                    std::uint32_t sessionHandle,
                                                                    OpcToolbox::ElementPtr element, int propertyId,
                                                                    std::uint32_t requestHandle) {
  try {
    return std::make_shared<VEXAHVRequest>(type, sessionHandle, std::move(element), propertyId, requestHandle);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<OpcToolbox::DaTransaction> VEXAHVCreator::createTransaction(OpcToolbox::EnumTransactionType type,
                                                                            OpcToolbox::RequestList requests,
                                                                            std::uint32_t sessionHandle) {
  try {
    return std::make_shared<VEXAHVTransaction>(type, std::move(requests), sessionHandle);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::shared_ptr<OpcToolbox::DaSession> VEXAHVCreator::createSession(OpcToolbox::EnumSessionType type,
                                                                    std::uint32_t handle) {
  try {
    return std::make_shared<VEXAHVSession>(type, handle);
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

void VEXAHVCreator::changeActivations(const std::vector<ActivationChange>& changes) {
  VEXAHVElement::changeAll(changes);
}

}  // namespace vexahv
