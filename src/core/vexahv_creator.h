#pragma once
// The server's factory: the toolbox makes the server's own root and elements through it.

#include "addressspace/vexahv_element.h"
#include "opctoolbox/creator.h"

namespace vexahv {

class VEXAHVCreator : public OpcToolbox::Creator {
 public:
  ~VEXAHVCreator() override = default;
  std::unique_ptr<OpcToolbox::DaAddressSpaceRoot> createDaAddressSpaceRoot() override;
  OpcToolbox::ElementPtr createInternalDaAddressSpaceElement(const std::string& itemId,
                                                             const std::string& name,
                                                             std::uint32_t accessRights,
                                                             std::uint32_t ioMode,
                                                             std::uint32_t datatype) override;
  std::shared_ptr<OpcToolbox::DaRequest> createRequest(OpcToolbox::EnumTransactionType type,
                                                       std::uint32_t sessionHandle, OpcToolbox::ElementPtr element,
                                                       int propertyId, std::uint32_t requestHandle) override;
  std::shared_ptr<OpcToolbox::DaTransaction> createTransaction(OpcToolbox::EnumTransactionType type,
                                                               OpcToolbox::RequestList requests,
                                                               std::uint32_t sessionHandle) override;
  std::shared_ptr<OpcToolbox::DaSession> createSession(OpcToolbox::EnumSessionType type,
                                                       std::uint32_t handle) override;
  void changeActivations(const std::vector<ActivationChange>& changes) override;
  virtual VEXAHVElementPtr createHVElement();
};

}  // namespace vexahv
