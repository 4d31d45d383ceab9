#pragma once
// The server's own records of nodes and sessions, shared by its service-set files.

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "opctoolbox/ua/ua_server.h"

namespace OpcToolbox::ua {

struct UaServer::Node {
  std::uint32_t id;
  std::uint32_t nodeClass;
  std::string name;
  std::uint32_t typeDefinition;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> children;  // (reference type, target)
  NodeId dataType;
  std::int32_t valueRank = -1;
};

struct UaServer::Session {
  NodeId sessionId;
  std::string token;
  std::string name;
  std::uint32_t channelId = 0;
  bool activated = false;
  std::uint32_t toolboxSession = 0;
  std::chrono::steady_clock::duration timeout{};
  std::chrono::steady_clock::time_point lastUsed = std::chrono::steady_clock::now();
  std::map<std::string, std::vector<ReferenceDescription>> continuations;
};

}  // namespace OpcToolbox::ua
