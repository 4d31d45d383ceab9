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
  // Requests, transactions and sessions are still the toolbox's own classes.
  virtual VEXAHVElementPtr createHVElement();
};

}  // namespace vexahv
