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
      // Read first, then store under the lock: no lock across the hardware read.
      const OpcToolbox::ValueQT v = readItemValue(node.get());
      auto lock = node->lock();
      node->setCachedValue(v);
    }
    node->refreshActiveValues(stop);
  }
}

}  // namespace vexahv::events
