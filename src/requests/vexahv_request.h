#pragma once
// One item of a client read or write: the toolbox's request, unchanged.

#include "opctoolbox/da_request.h"

namespace vexahv {

class VEXAHVRequest : public OpcToolbox::DaRequest {
 public:
  using OpcToolbox::DaRequest::DaRequest;
  ~VEXAHVRequest() override = default;
};

}  // namespace vexahv
