#include "opctoolbox/creator.h"

#include <new>

namespace OpcToolbox {

class AeAddressSpaceRoot {};
class WebTemplate {};

ElementPtr Creator::createDaAddressSpaceElement() {
  return std::shared_ptr<DaAddressSpaceElement>(new (std::nothrow) DaAddressSpaceElement());
}

std::unique_ptr<DaAddressSpaceRoot> Creator::createDaAddressSpaceRoot() {
  return std::unique_ptr<DaAddressSpaceRoot>(new (std::nothrow) DaAddressSpaceRoot());
}

ElementPtr Creator::createInternalDaAddressSpaceElement(const std::string& itemId,
                                                        const std::string& name,
                                                        std::uint32_t accessRights,
                                                        std::uint32_t ioMode,
                                                        std::uint32_t datatype) {
  return std::make_shared<DaAddressSpaceElement>(itemId, name, accessRights, ioMode, datatype);
}

std::shared_ptr<DaRequest> Creator::createRequest(EnumTransactionType type,
                                                  std::uint32_t sessionHandle, ElementPtr element,
                                                  int propertyId, std::uint32_t requestHandle) {
  return std::make_shared<DaRequest>(type, sessionHandle, std::move(element), propertyId,
                                     requestHandle);
}

namespace {

// The default transaction: reads and writes the cache, never a device.
class CacheTransaction final : public DaTransaction {
 public:
  using DaTransaction::DaTransaction;
  bool mayBlock() const override { return false; }
};

}  // namespace

std::shared_ptr<DaTransaction> Creator::createTransaction(EnumTransactionType type,
                                                          RequestList requests,
                                                          std::uint32_t sessionHandle) {
  return std::make_shared<CacheTransaction>(type, std::move(requests), sessionHandle);
}

std::shared_ptr<DaSession> Creator::createSession(EnumSessionType type, std::uint32_t handle) {
  return std::make_shared<DaSession>(type, handle);
}

std::shared_ptr<AeAddressSpaceRoot> Creator::createAeAddressSpaceRoot() { return nullptr; }
std::shared_ptr<WebTemplate> Creator::createWebTemplate() { return nullptr; }

void Creator::changeActivations(const std::vector<ActivationChange>& changes) {
  for (const auto& c : changes) c.element->change(c.active, c.updateRate);
}

}  // namespace OpcToolbox
