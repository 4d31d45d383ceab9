#include "core/server_figures.h"

#include "addressspace/vexahv_opc_server.h"
#include "opctoolbox/application.h"
#include "opctoolbox/client_access.h"

namespace vexahv {

http::ServerFigures collectServerFigures() {
  http::ServerFigures figures;
  if (VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance()) {
    if (SystemList* list = server->getSystemList()) {
      for (const VEXAHVElementPtr& node : list->snapshot()) {
        http::CrateFigures crate;
        crate.name = node->getName();
        crate.connection = node->getConnectionStatus();
        if (const auto& owner = node->crate()) {
          crate.address = owner->address();
          crate.keepAliveFailures = owner->failCount();
        }
        for (const auto& board : node->getOwnChildren()) {
          if (board->getKind() != ElementKind::Board) continue;
          ++crate.boards;
          for (const auto& channel : board->getOwnChildren()) crate.channels += channel->getKind() == ElementKind::Channel;
        }
        figures.crates.push_back(std::move(crate));
      }
    }
  }
  if (OpcToolbox::Application* app = OpcToolbox::getApp()) {
    if (OpcToolbox::ClientAccess* clients = app->clients()) figures.opcUaSessions = clients->sessionCount();
    for (const OpcToolbox::ConditionReport& alarm : app->conditions().active()) {
      ++figures.activeAlarmsBySeverity[alarm.severity];
    }
  }
  return figures;
}

}  // namespace vexahv
