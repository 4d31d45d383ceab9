#pragma once
// A server object whose address space is built from system entries over the simulated
// crates, in a scratch platform root with logging on at Debug.

#include <functional>
#include <string>
#include <vector>

#include "addressspace/vexahv_opc_server.h"
#include "support/simulated_crates.h"
#include "support/test_environment.h"

namespace vexahv::test {

class BuiltAddressSpace {
 public:
  // beforeBuild sees the server object and the crates before the address space is built.
  BuiltAddressSpace(const std::vector<std::string>& entries, bool eventEnabled, int timeoutMs = 500,
                    const std::function<void(BuiltAddressSpace&)>& beforeBuild = {});
  ~BuiltAddressSpace();

  VEXAHVOPCServer& server() { return *VEXAHVOPCServer::getInstance(); }
  SimulatedCrates& crates() { return crates_; }
  VEXAHVElementPtr find(const std::string& itemId) const;
  std::vector<std::string> childNames(const std::string& itemId) const;
  std::string log() const;

 private:
  ScratchEnvironment env_;
  SimulatedCrates crates_;
};

}  // namespace vexahv::test
