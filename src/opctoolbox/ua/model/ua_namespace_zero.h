#pragma once
// The nodes of namespace 0 this server publishes: the standard folders, the type
// hierarchies clients browse (reference types with HasSubtype, so includeSubtypes works;
// the built-in data types; the object and variable types used), and the Server object with
// its status, build info and capabilities.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

struct NamespaceZeroNode {
  std::uint32_t id = 0;
  std::uint32_t nodeClass = 0;  // 1 Object, 2 Variable, 8 ObjectType, 16 VariableType, 32 ReferenceType, 64 DataType
  std::string name;
  std::uint32_t typeDefinition = 0;  // objects and variables
  std::vector<std::pair<std::uint32_t, std::uint32_t>> children;  // (reference type, target), forward
  NodeId dataType;
  std::int32_t valueRank = -1;
  bool isAbstract = false;
};

const NamespaceZeroNode* findNamespaceZero(std::uint32_t id);
// The type id is a subtype of (HasSubtype's source); 0 for a root or an unknown id.
std::uint32_t superTypeOf(std::uint32_t id);
// type is of or one of its subtypes, both types of namespace 0.
bool isSubtypeOf(const NodeId& type, const NodeId& of);
// Every (reference type, source) that points at id.
std::vector<std::pair<std::uint32_t, const NamespaceZeroNode*>> inverseReferences(std::uint32_t id);

// Node ids of the variables whose values the server fills in.
namespace ns0 {
inline constexpr std::uint32_t Objects = 85, Server = 2253, ServerArray = 2254, NamespaceArray = 2255,
                               ServerStatus = 2256, StartTime = 2257, CurrentTime = 2258, State = 2259,
                               BuildInfo = 2260, ProductName = 2261, ProductUri = 2262, ManufacturerName = 2263,
                               SoftwareVersion = 2264, BuildNumber = 2265, BuildDate = 2266,
                               ServerProfileArray = 2269, LocaleIdArray = 2271, MinSupportedSampleRate = 2272,
                               MaxBrowseContinuationPoints = 2735, MaxNodesPerRead = 11705,
                               MaxNodesPerWrite = 11707, MaxNodesPerBrowse = 11710,
                               MaxNodesPerRegisterNodes = 11711, MaxNodesPerTranslate = 11712,
                               MaxMonitoredItemsPerCall = 11714, GetMonitoredItems = 11492, ResendData = 12873,
                               MaxSessions = 24095, MaxMonitoredItems = 24097, MaxSubscriptionsPerSession = 24098,
                               MaxMonitoredItemsPerSubscription = 24104, MaxMonitoredItemsQueueSize = 31916;
}  // namespace ns0

}  // namespace OpcToolbox::ua
