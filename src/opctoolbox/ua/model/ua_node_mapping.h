#pragma once
// How the toolbox's values, types and qualities appear in OPC UA, and the few node ids,
// attribute ids and reference types of namespace 0 that the services use.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/date_time.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/value_qt.h"

namespace OpcToolbox::ua {

inline constexpr StatusCode kBad = 0x80000000u;
inline constexpr std::uint16_t kNs = 1;
// Whether a node id (a NodeId or a NodeIdRef) can name a toolbox element: those are the
// string ids of namespace 1, equal to the item id.
template <class Id>
constexpr bool namesItem(const Id& id) noexcept {
  return id.ns == kNs && id.kind == NodeId::Kind::String;
}

// Attribute ids, node classes and node ids of namespace 0 used here.
enum Attr : std::uint32_t {
  kNodeId = 1, kNodeClass, kBrowseName, kDisplayName, kDescription, kWriteMask, kUserWriteMask,
  kIsAbstract, kSymmetric, kInverseName, kContainsNoLoops, kEventNotifier, kValue, kDataType,
  kValueRank, kArrayDimensions, kAccessLevel, kUserAccessLevel, kMinimumSamplingInterval, kHistorizing, kExecutable,
  kUserExecutable,
};
inline constexpr std::uint32_t kObject = 1, kVariable = 2, kMethod = 4;
inline constexpr std::uint32_t kReferences = 31, kNonHierarchical = 32, kHierarchical = 33, kHasChild = 34,
                        kOrganizes = 35, kHasTypeDefinition = 40, kAggregates = 44, kHasSubtype = 45,
                        kHasProperty = 46, kHasComponent = 47;
inline constexpr std::uint32_t kFolderType = 61, kBaseObjectType = 58, kBaseDataVariableType = 63, kPropertyType = 68,
                        kServerType = 2004, kServerStatusType = 2138;


// A double from the wire, or fallback when it is NaN or infinite.
double finiteOr(double value, double fallback);
std::uint32_t parentReferenceType(std::uint32_t type);
// Whether a reference of this type passes a Browse filter.
bool referenceMatches(std::uint32_t type, const NodeId& filter, bool subtypes);
BuiltinType uaType(std::uint16_t vt);
NodeId dataTypeOf(std::uint16_t vt);
ua::Variant toUa(const OpcToolbox::Variant& v);
// A value in the node's DataType when it converts (a variable's Value must carry its
// DataType: an on/off parameter read as UI2 goes out as the Boolean its node declares).
ua::Variant toUaAs(const OpcToolbox::Variant& v, std::uint16_t datatype);
bool fromUa(const ua::Variant& v, OpcToolbox::Variant& out);
// Whether a client may write v to a variable of the toolbox type datatype, as OPC UA
// Write says: a scalar of exactly the variable's DataType (any type for one of
// BaseDataType), never converted; BadTypeMismatch otherwise. A NaN or infinity, or a
// String holding a zero byte (it could not be stored whole), is BadOutOfRange.
StatusCode writableValue(const ua::Variant& v, std::uint16_t datatype);
// The OPC UA status of a toolbox request result (a read's or a write's).
StatusCode resultStatusOf(long result);
StatusCode statusOf(std::uint16_t quality);
std::string randomBytes(std::size_t n);
DataValue valueOf(ua::Variant v);
DataValue statusOnly(StatusCode s);
// Timestamps as the client asked: 0 source, 1 server, 2 both, 3 neither.
void stampTimestamps(DataValue& v, std::uint32_t which, std::int64_t source, std::int64_t serverNow);
// The attributes every node the server makes has alike (NodeId to UserWriteMask, its display
// name its browse name's text, no description, nothing writable); nullopt for the others.
std::optional<DataValue> commonAttribute(const NodeId& id, std::uint32_t nodeClass, const QualifiedName& name,
                                         std::uint32_t attribute);
// The attributes beyond those of a read-only scalar variable the server makes of what it
// holds (a condition's member, a history configuration's property), its Value aside:
// DataType to Historizing; nullopt for Value and the others.
std::optional<DataValue> madeVariableAttribute(std::uint32_t dataType, std::uint32_t attribute);
ua::Variant stringArray(const std::vector<std::string>& texts);
// An Argument structure (OPC UA Part 3, 8.6) of a method, as its ExtensionObject; an array
// argument (valueRank 1) of any length.
ExtensionObject argumentObject(std::string_view name, std::uint32_t dataType, std::int32_t valueRank,
                               std::string_view description);

// The elements of n node ids (nodeIdAt(i), a NodeId or a NodeIdRef) in one pass, null
// where there is none: a batch look-up overlaps the cache misses that one look-up at a
// time waits for in turn (a Read or a CreateMonitoredItems of thousands of items).
template <class NodeIdAt>
std::vector<ElementPtr> elementsFor(DaAddressSpaceRoot* root, std::size_t n, NodeIdAt nodeIdAt) {
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
  if (root != nullptr) root->findElements(ids, found);
  std::vector<ElementPtr> out(n);
  for (std::size_t k = 0; k < found.size(); ++k) out[at[k]] = std::move(found[k]);
  return out;
}

}  // namespace OpcToolbox::ua
