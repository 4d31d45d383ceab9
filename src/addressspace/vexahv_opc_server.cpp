#include "addressspace/vexahv_opc_server.h"

#include <new>

#include "logging/logging.h"

namespace vexahv {
namespace {
std::mutex gServerMutex;
VEXAHVOPCServer* gServer = nullptr;

// The server's fixed class id; stable across releases.
constexpr const char* kClsid = "{8C2F4D1A-6B3E-4A57-9D20-3E5F7A1C0B64}";
}  // namespace

bool serverReady() {
  const VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  return server != nullptr && server->getSystemList() != nullptr;
}

void SystemName::appendTo(std::string& out) const {
  if (const VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (const SystemList* list = server->getSystemList()) {
      for (const auto& node : list->snapshot()) {
        if (node->getHandle() == handle) {
          out += node->getName();
          return;
        }
      }
    }
  }
  out += '?';
}

std::vector<VEXAHVElementPtr> SystemList::snapshot() const {
  std::lock_guard l(mutex_);
  return nodes_;
}

void SystemList::append(VEXAHVElementPtr node) {
  std::lock_guard l(mutex_);
  nodes_.push_back(std::move(node));
}

std::size_t SystemList::size() const {
  std::lock_guard l(mutex_);
  return nodes_.size();
}

std::int32_t SystemList::entryCount() const {
  std::lock_guard l(mutex_);
  return entryCount_;
}

void SystemList::setEntryCount(std::int32_t n) {
  std::lock_guard l(mutex_);
  entryCount_ = n;
}

VEXAHVElementPtr SystemList::at(std::size_t index) const {
  std::lock_guard l(mutex_);
  return index < nodes_.size() ? nodes_[index] : nullptr;
}

VEXAHVOPCServer::~VEXAHVOPCServer() = default;

void VEXAHVOPCServer::create() {
  std::lock_guard l(gServerMutex);
  if (gServer == nullptr) gServer = new (std::nothrow) VEXAHVOPCServer();
}

VEXAHVOPCServer* VEXAHVOPCServer::getInstance() {
  std::lock_guard l(gServerMutex);
  return gServer;
}

void VEXAHVOPCServer::destroy() {
  VEXAHVOPCServer* s = nullptr;
  {
    std::lock_guard l(gServerMutex);
    s = gServer;
    gServer = nullptr;
  }
  delete s;
}

SystemList* VEXAHVOPCServer::getSystemList() const {
  std::lock_guard l(mutex_);
  return systemList_.get();
}

long VEXAHVOPCServer::setServiceName(std::string name) {
  OpcToolbox::getApp()->setServiceName(std::move(name));
  return 0;
}

long VEXAHVOPCServer::setApplicationIdentity() {
  OpcToolbox::Application* app = OpcToolbox::getApp();
  app->setServiceName("VEXAHVOPCServerModule");
  app->setVersionOtb(430);
  app->setAppType(OpcToolbox::EnumApplicationType::Executable);
  app->setClsidDa(kClsid);
  app->setProgIdDa("VEXA.HVOPCServer.5");
  app->setVerIndProgIdDa("VEXA.HVOPCServer");
  app->setDescription("OPC Server for VEXA Power Supplies");
  app->setMajorVersion(0);
  app->setMinorVersion(0);
  app->setBuildNumber(0);
  app->setVendorInfo("VEXA SpA");
  app->setMinUpdateRateDa(1000);
  app->setClientCheckPeriod(30000);
  app->setAddressSpaceDelimiter('.');
  app->setPropertyDelimiter('/');
  app->ShutdownRequest = [] { return 0L; };
  return 0;
}

long VEXAHVOPCServer::initialize(std::unique_ptr<OpcToolbox::Creator> creator) {
  const long rc = OpcToolbox::getApp()->initialize(std::move(creator));
  if (rc < 0) logAlert("failed to provide creator to the initializer");
  return rc;
}

long VEXAHVOPCServer::processCommandLine(std::string commandLine) {
  return OpcToolbox::getApp()->processCommandLine(commandLine);
}

long VEXAHVOPCServer::start() { return OpcToolbox::getApp()->start(); }
long VEXAHVOPCServer::ready() { return OpcToolbox::getApp()->ready(); }
long VEXAHVOPCServer::stop() { return OpcToolbox::getApp()->stop(); }

long VEXAHVOPCServer::terminate() {
  const long rc = OpcToolbox::getApp()->terminate();
  OpcToolbox::releaseApp();
  return rc;
}

long VEXAHVOPCServer::trace(unsigned level, unsigned group, const std::string& id,
                            const std::string& message) {
  return OpcToolbox::getApp()->trace(level, group, id, message);
}

}  // namespace vexahv
