#pragma once
// The server's own records of nodes and sessions, shared by its service-set files.

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <deque>
#include <memory>

#include "opctoolbox/ua/ua_crypto.h"
#include "opctoolbox/ua/ua_namespace_zero.h"
#include "opctoolbox/ua/ua_node_mapping.h"
#include "opctoolbox/ua/ua_server.h"
#include "opctoolbox/ua/ua_subscription.h"

namespace OpcToolbox::ua {

template <class NodeIdAt>
std::vector<ElementPtr> UaServer::elementsFor(std::size_t n, NodeIdAt nodeIdAt) const {
  std::vector<std::string_view> ids;
  std::vector<std::size_t> at;
  ids.reserve(n);
  at.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& id = nodeIdAt(i);
    if (!namesItem(id)) continue;
    ids.push_back(id.text);
    at.push_back(i);
  }
  std::vector<ElementPtr> found(ids.size());
  if (DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot(); root != nullptr) root->findElements(ids, found);
  std::vector<ElementPtr> out(n);
  for (std::size_t k = 0; k < found.size(); ++k) out[at[k]] = std::move(found[k]);
  return out;
}

struct UaServer::Session {
  NodeId sessionId;
  std::string token;
  std::string name;
  std::uint32_t channelId = 0;
  std::string peer;  // the client address it was created from
  // The security it was created under: every activation comes over the same policy and
  // mode, from the same client certificate, and signs the nonce sent last.
  std::string policyUri;
  std::uint32_t securityMode = 1;
  crypto::Bytes clientThumbprint;
  std::string serverNonce;
  // Who activated it, and so what its requests may do (under the server's lock).
  std::string user = "anonymous";
  Role role = Role::Reader;
  bool activated = false;
  std::uint32_t toolboxSession = 0;
  std::chrono::steady_clock::duration timeout{};
  std::chrono::steady_clock::time_point lastUsed = std::chrono::steady_clock::now();
  std::map<std::string, std::vector<ReferenceDescription>> continuations;
  std::map<std::uint32_t, std::shared_ptr<Subscription>> subscriptions;
  struct PendingPublish {
    ServiceHandler::Respond respond;
    std::uint32_t requestHandle = 0;
    std::vector<StatusCode> acknowledgements;
    std::uint32_t channelId = 0;  // answers go back on the channel that asked
  };
  std::deque<PendingPublish> publishes;

  // The monitored items of all its subscriptions (under the server's lock).
  std::size_t monitoredItems() const {
    std::size_t n = 0;
    for (const auto& [id, sub] : subscriptions) n += sub->items.size();
    return n;
  }
};

}  // namespace OpcToolbox::ua
