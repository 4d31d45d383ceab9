#pragma once
// The server's address-space root: all browsing, look-up and value handling is the
// toolbox's.

#include "opctoolbox/da_address_space_root.h"

namespace vexahv {

class VEXAHVDaAddressSpaceRoot : public OpcToolbox::DaAddressSpaceRoot {
 public:
  ~VEXAHVDaAddressSpaceRoot() override = default;
};

}  // namespace vexahv
