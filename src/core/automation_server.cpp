#include "core/automation_server.h"

#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/application.h"
#include "requests/vexahv_session.h"

namespace vexahv {
namespace {

SystemList* systemList() {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  return server != nullptr ? server->getSystemList() : nullptr;
}

}  // namespace

std::int32_t ProcessAutomationServer::clientCount() const { return VEXAHVSession::clientCount(); }

std::optional<std::uint32_t> ProcessAutomationServer::entryCount() const {
  const SystemList* list = systemList();
  if (list == nullptr) return std::nullopt;
  return static_cast<std::uint32_t>(list->entryCount());
}

void ProcessAutomationServer::setEntryCount(std::uint32_t count) {
  if (SystemList* list = systemList()) list->setEntryCount(static_cast<std::int32_t>(count));
}

std::optional<std::int32_t> ProcessAutomationServer::connectionStatus(std::uint32_t index) const {
  const SystemList* list = systemList();
  if (list == nullptr) return std::nullopt;
  const VEXAHVElementPtr node = list->at(index);
  if (!node) return std::nullopt;
  return node->getConnectionStatus();
}

bool ProcessAutomationServer::active() const {
  const OpcToolbox::Application* app = OpcToolbox::getApp();
  if (app == nullptr) return false;
  const OpcToolbox::AppState state = app->getState();
  return state == OpcToolbox::AppState::Started || state == OpcToolbox::AppState::Ready;
}

std::string ProcessAutomationServer::libraryRelease() const {
  const char* release = VEXAHVLibSwRel();
  return release != nullptr ? release : "";
}

}  // namespace vexahv
