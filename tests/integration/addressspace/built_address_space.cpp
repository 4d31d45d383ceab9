#include "built_address_space.h"

#include <gtest/gtest.h>

#include "config/server_globals.h"
#include "config/system_entries.h"
#include "core/vexahv_creator.h"
#include "logging/logging.h"

namespace vexahv::test {

BuiltAddressSpace::BuiltAddressSpace(const std::vector<std::string>& entries, bool eventEnabled,
                                     int timeoutMs, const std::function<void(BuiltAddressSpace&)>& beforeBuild)
    : crates_(timeoutMs) {
  startLogging(9);
  std::uint32_t count = 0;
  for (const auto& e : entries) addSystemEntry(e, count);
  VEXAHVServerGlobals::eventEnabled = eventEnabled;
  VEXAHVServerGlobals::logLevel = 7;
  VEXAHVOPCServer::create();
  server().setApplicationIdentity();
  EXPECT_EQ(server().initialize(std::make_unique<VEXAHVCreator>()), 0);
  EXPECT_EQ(server().start(), 0);
  if (beforeBuild) beforeBuild(*this);
  EXPECT_EQ(server().buildAddressSpace(), 0);
}

BuiltAddressSpace::~BuiltAddressSpace() {
  if (auto* list = server().getSystemList()) {
    for (const auto& node : list->snapshot()) VEXAHV_DeinitSystem(node->getHandle());
  }
  server().stop();
  server().terminate();
  VEXAHVOPCServer::destroy();
  stopLogging();
}

VEXAHVElementPtr BuiltAddressSpace::find(const std::string& itemId) const {
  auto* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  return std::dynamic_pointer_cast<VEXAHVElement>(root->findElement(itemId));
}

std::vector<std::string> BuiltAddressSpace::childNames(const std::string& itemId) const {
  std::vector<std::string> names;
  for (const auto& c : OpcToolbox::getApp()->clients()->browse(itemId)) names.push_back(c->getName());
  return names;
}

std::string BuiltAddressSpace::log() const { return readFile(logFilePath()); }

}  // namespace vexahv::test
