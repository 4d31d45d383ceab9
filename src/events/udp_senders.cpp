#include "events/udp_senders.h"

#include "addressspace/vexahv_opc_server.h"
#include "platform/socket.h"

namespace vexahv::events {

std::shared_ptr<const UdpSenders::Crates> UdpSenders::systemsAt(std::uint32_t address) {
  VEXAHVOPCServer* server = VEXAHVOPCServer::getInstance();
  SystemList* list = server != nullptr ? server->getSystemList() : nullptr;
  if (list == nullptr) return nullptr;
  std::lock_guard l(mutex_);
  // The list is only ever appended to, and a node's address and type never change.
  if (list->size() != known_) {
    const auto nodes = list->snapshot();
    auto map = std::make_shared<Map>();
    for (const auto& node : nodes) {
      std::uint32_t ip = 0;
      const std::shared_ptr<Crate>& crate = node->crate();
      if (!crate || crate->systemType() == 2 || !platform::Ipv4Endpoint::parseAddress(crate->address(), ip)) continue;
      (*map)[ip].push_back(crate);
    }
    byAddress_ = std::move(map);
    known_ = nodes.size();
  }
  const auto it = byAddress_->find(address);
  if (it == byAddress_->end()) return nullptr;
  return std::shared_ptr<const Crates>(byAddress_, &it->second);
}

Crate* UdpSenders::speaksFor(const Crates& systems, std::string_view id) {
  while (!id.empty() && id.front() == '.') id.remove_prefix(1);
  const std::string_view first = id.substr(0, id.find('.'));
  for (const auto& crate : systems) {
    if (crate->name() == first) return crate.get();
  }
  return nullptr;
}

}  // namespace vexahv::events
