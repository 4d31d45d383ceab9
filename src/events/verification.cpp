#include "events/verification.h"

#include "addressspace/item_reader.h"
#include "addressspace/vexahv_opc_server.h"

namespace vexahv::events {

void verifySystems(std::stop_token stop) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  SystemList* list = server != nullptr ? server->getSystemList() : nullptr;
  if (list == nullptr) return;
  for (const auto& node : list->snapshot()) {
    if (stop.stop_requested()) return;
    if (node->getSystemType() != 0) continue;
    if (node->getActiveForClients()) {
      node->setCachedValue(readItemValue(node.get()));
    }
    node->refreshActiveValues(stop);
  }
}

}  // namespace vexahv::events
