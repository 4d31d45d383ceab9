// The View service set: Browse, BrowseNext (continuation points), TranslateBrowsePaths,
// RegisterNodes and UnregisterNodes.

#include <algorithm>

#include "history/history_service.h"
#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/model/ua_item_model.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

constexpr auto reference = referenceTo;

// A variable's type definition is its Data Access type (ua_item_model.h).
ReferenceDescription elementReference(const ElementPtr& e, bool forward, const ElementLookup& find) {
  const bool variable = !e->getHasChildren();
  return reference(kOrganizes, forward, NodeId::stringId(kNs, e->getItemId()), QualifiedName{kNs, e->getName()},
                   variable ? kVariable : kObject, variable ? itemModelOf(*e, find).typeDefinition : kFolderType);
}

ReferenceDescription propertyReference(const std::string& itemId, UaProperty p, bool forward) {
  return reference(kHasProperty, forward, NodeId::stringId(kNs, propertyNodeId(itemId, p)),
                   QualifiedName{0, propertyBrowseName(p)}, kVariable, kPropertyType);
}

// Leaves only the fields the result mask asks for.
void mask(ReferenceDescription& r, std::uint32_t resultMask) {
  if (!(resultMask & 0x01)) r.referenceTypeId = NodeId{};
  if (!(resultMask & 0x04)) r.nodeClass = 0;
  if (!(resultMask & 0x08)) r.browseName = QualifiedName{};
  if (!(resultMask & 0x10)) r.displayName = LocalizedText{};
  if (!(resultMask & 0x20)) r.typeDefinition = NodeId{};
}

}  // namespace

template <class Sink>
void UaServer::forEachReference(const NodeId& nodeId, bool forward, bool inverse, StatusCode& status, Sink&& sink) {
  status = kGood;
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  if (nodeId.ns == 0 && nodeId.kind == NodeId::Kind::Numeric) {
    const NamespaceZeroNode* node = findNamespaceZero(nodeId.numeric);
    if (node == nullptr) {
      status = kBadNodeIdUnknown;
      return;
    }
    auto nodeRef = [&](std::uint32_t type, bool fwd, const NamespaceZeroNode& target) {
      return reference(type, fwd, NodeId::numericId(0, target.id), QualifiedName{0, target.name}, target.nodeClass,
                       target.typeDefinition);
    };
    if (forward) {
      for (const auto& child : node->children) {
        if (const NamespaceZeroNode* t = findNamespaceZero(child.second)) sink(nodeRef(child.first, true, *t));
      }
      if (node->id == diagnostics::SessionsSummary) sessionObjectReferences(sink);
      if (node->id == ns0::Objects && root) {
        const ElementLookup find = lookup();
        for (const auto& e : root->getChildren()) sink(elementReference(e, true, find));
      }
      // The alarms' notifier tree starts at the Server: every top branch (a crate) is an
      // event notifier under it.
      if (node->id == ns0::Server && root) {
        constexpr std::uint32_t kHasNotifier = 48;
        const ElementLookup find = lookup();
        for (const auto& e : root->getChildren()) {
          if (!e->getHasChildren()) continue;
          ReferenceDescription r = elementReference(e, true, find);
          r.referenceTypeId = NodeId::numericId(0, kHasNotifier);
          sink(std::move(r));
        }
      }
      if (node->typeDefinition != 0) {
        const NamespaceZeroNode* type = findNamespaceZero(node->typeDefinition);
        sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, node->typeDefinition),
                                 QualifiedName{0, type ? type->name : ""}, type ? type->nodeClass : 8, 0));
      }
    }
    if (inverse) {
      for (auto [type, source] : inverseReferences(node->id)) sink(nodeRef(type, false, *source));
    }
  } else if (nodeId.ns == kNs && nodeId.kind == NodeId::Kind::Numeric) {
    sessionNodeReferences(nodeId.numeric, forward, inverse, status, sink);
  } else {
    const ElementLookup find = lookup();
    const ElementPtr element = elementFor(nodeId);
    if (!element) {
      // A Data Access property of a variable: "<item id>#EURange" and the like.
      const auto property = propertyNode(nodeId);
      if (!property) {
        if (const auto condition = conditionNode(nodeId)) {
          conditionReferences(*condition, forward, inverse, sink);
          return;
        }
        if (const auto method = methodNode(nodeId)) {
          methodReferences(*method, forward, inverse, sink);
          return;
        }
        if (const auto config = historyConfigurationNode(nodeId)) {
          historyConfigurationReferences(*config, forward, inverse, sink);
          return;
        }
        status = kBadNodeIdUnknown;
        return;
      }
      if (forward) {
        sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, kPropertyType), QualifiedName{0, "PropertyType"},
                       16u, 0));
      }
      if (inverse) {
        ReferenceDescription r = elementReference(property->owner, false, find);
        r.referenceTypeId = NodeId::numericId(0, kHasProperty);
        sink(std::move(r));
      }
      return;
    }
    const bool variable = !element->getHasChildren();
    if (forward) {
      const std::vector<ElementPtr> children = element->getChildren();
      for (const auto& c : children) sink(elementReference(c, true, find));
      if (variable) {
        const ItemModel model = itemModelOf(*element, find);
        for (UaProperty p : model.properties()) sink(propertyReference(element->getItemId(), p, true));
        if (const auto* history = app_.history(); history != nullptr && history->historizing(element->getItemId())) {
          sink(reference(kHasHistoricalConfiguration, true,
                         NodeId::stringId(kNs, historyConfigurationNodeId(element->getItemId())),
                         QualifiedName{0, kHistoryConfigurationName}, kObject, kHistoricalDataConfigurationType));
        }
        sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, model.typeDefinition),
                       QualifiedName{0, typeDefinitionName(model.typeDefinition)}, 16u, 0));
      } else {
        sourceConditionReferences(element->getItemId(), sink);
        folderMethodReferences(element, sink);
        sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, kFolderType), QualifiedName{0, "FolderType"}, 8u,
                       0));
      }
    }
    if (inverse) {
      const ElementPtr parent = element->getParent();
      if (parent && parent->addressSpace() != nullptr && !parent->getName().empty()) {
        sink(elementReference(parent, false, find));
      } else {
        sink(reference(kOrganizes, false, NodeId::numericId(0, 85), QualifiedName{0, "Objects"}, kObject,
                                 kFolderType));
      }
    }
  }
}

void UaServer::sourceConditionReferences(const std::string& source,
                                         const std::function<void(ReferenceDescription&&)>& sink) {
  for (const ConditionClass& kind : app_.conditions().conditionsOf(source)) {
    ReferenceDescription r = reference(kHasComponent, true, conditionNodeId(source + "#" + kind.name),
                                       QualifiedName{kNs, kind.name}, kObject, 0);
    r.typeDefinition = conditionEventType(kind.type);
    sink(std::move(r));
  }
}

void UaServer::folderMethodReferences(const ElementPtr& folder,
                                      const std::function<void(ReferenceDescription&&)>& sink) {
  const FolderMethods* methods = app_.folderMethods();
  if (methods == nullptr) return;
  for (const FolderMethod& m : methods->methodsOf(*folder)) {
    sink(reference(kHasComponent, true, NodeId::stringId(kNs, folder->getItemId() + "#" + m.name),
                   QualifiedName{kNs, m.name}, kMethod, 0));
  }
  const std::vector<ElementPtr> members = methods->members(*folder);
  if (members.empty()) return;
  const ElementLookup find = lookup();
  for (const ElementPtr& e : members) sink(elementReference(e, true, find));
}

void UaServer::methodReferences(const MethodNode& node, bool forward, bool inverse,
                                const std::function<void(ReferenceDescription&&)>& sink) {
  const std::string id = node.folder->getItemId() + "#" + node.method->name;
  if (node.arguments == 0) {
    if (forward) {
      for (int which : {1, 2}) {
        if ((which == 1 ? node.method->inputs : node.method->outputs).empty()) continue;
        const char* name = which == 1 ? "InputArguments" : "OutputArguments";
        sink(reference(kHasProperty, true, NodeId::stringId(kNs, id + "." + name), QualifiedName{0, name}, kVariable,
                       kPropertyType));
      }
    }
    if (inverse) {
      ReferenceDescription r = elementReference(node.folder, false, lookup());
      r.referenceTypeId = NodeId::numericId(0, kHasComponent);
      sink(std::move(r));
    }
    return;
  }
  if (forward) {
    sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, kPropertyType), QualifiedName{0, "PropertyType"}, 8u, 0));
  }
  if (inverse) {
    sink(reference(kHasProperty, false, NodeId::stringId(kNs, id), QualifiedName{kNs, node.method->name}, kMethod, 0));
  }
}

void UaServer::conditionReferences(const ConditionNode& node, bool forward, bool inverse,
                                   const std::function<void(ReferenceDescription&&)>& sink) {
  const ConditionMember* self = node.member;
  if (forward) {
    for (const ConditionMember& m : conditionMembers()) {
      if (!isChildOf(m, self)) continue;
      sink(reference(m.reference, true, conditionNodeId(node.id + "." + m.id), QualifiedName{0, m.browseName},
                     m.nodeClass, m.typeDefinition));
    }
    // The methods a condition shares with its type (OPC UA Part 9), where it is called.
    auto method = [&](std::uint32_t id) {
      if (const NamespaceZeroNode* m = findNamespaceZero(id)) {
        sink(reference(kHasComponent, true, NodeId::numericId(0, id), QualifiedName{0, m->name}, kMethod, 0));
      }
    };
    if (self == nullptr) {
      for (std::uint32_t id : {9111u, 9113u, 9029u, 9027u, 9028u}) method(id);
    } else if (std::string_view(self->id) == "ShelvingState") {
      for (std::uint32_t id : {2949u, 2948u, 2947u}) method(id);
    }
    if (self == nullptr) {
      const ConditionType* type = app_.conditions().typeOf(node.kind->type);
      ReferenceDescription r = reference(kHasTypeDefinition, true, conditionEventType(node.kind->type),
                                         QualifiedName{kNs, type != nullptr ? type->name : ""}, 8u, 0);
      sink(std::move(r));
    } else {
      const NamespaceZeroNode* type = findNamespaceZero(self->typeDefinition);
      sink(reference(kHasTypeDefinition, true, NodeId::numericId(0, self->typeDefinition),
                     QualifiedName{0, type != nullptr ? type->name : ""}, self->nodeClass == kObject ? 8u : 16u, 0));
    }
  }
  if (!inverse) return;
  if (self == nullptr) {
    if (const ElementPtr source = lookup()(node.source)) {
      ReferenceDescription r = elementReference(source, false, lookup());
      r.referenceTypeId = NodeId::numericId(0, kHasComponent);
      sink(std::move(r));
    }
    return;
  }
  const std::string_view own = self->id;
  const std::size_t dot = own.rfind('.');
  const ConditionMember* parent = dot == std::string_view::npos ? nullptr : conditionMember(own.substr(0, dot));
  if (parent == nullptr) {
    ReferenceDescription r = reference(self->reference, false, conditionNodeId(node.id), QualifiedName{kNs, node.kind->name},
                                       kObject, 0);
    r.typeDefinition = conditionEventType(node.kind->type);
    sink(std::move(r));
  } else {
    sink(reference(self->reference, false, conditionNodeId(node.id + "." + parent->id),
                   QualifiedName{0, parent->browseName}, parent->nodeClass, parent->typeDefinition));
  }
}

std::vector<ReferenceDescription> UaServer::collectReferences(const NodeId& nodeId, bool forward, bool inverse,
                                                            StatusCode& status) {
  std::vector<ReferenceDescription> refs;
  forEachReference(nodeId, forward, inverse, status, [&](ReferenceDescription&& r) { refs.push_back(std::move(r)); });
  return refs;
}

void UaServer::browse(Call& c, BrowseRequest& r) {
  const std::uint32_t handle = c.requestHandle;
  const std::shared_ptr<Session>& session = c.session;
  const std::uint32_t max = r.maxReferencesPerNode == 0 ? limits_.maxReferencesPerNode
                                                        : std::min(r.maxReferencesPerNode, limits_.maxReferencesPerNode);
  std::vector<std::uint8_t> body;
  Encoder e(body);
  beginMessage(e, id::BrowseResponse);
  encodeResponseHeader(e, handle, kGood);
  e.arrayLength(static_cast<std::int32_t>(r.nodes.size()));
  // Each reference is encoded into the answer as it is made, and only those past the page
  // are kept (for the continuation point): a board folder's thousand children never become
  // a list of hundreds of kilobytes.
  for (const BrowseDescription& b : r.nodes) {
    if (b.direction > 2) {
      encodeBrowseResult(e, BrowseResult{kBadBrowseDirectionInvalid, {}, {}});
      continue;
    }
    const std::size_t start = e.size();
    e.statusCode(kGood);
    e.byteString(UaString{});  // no continuation point, unless one is put in below
    const std::size_t countAt = e.size();
    e.uint32(0);
    std::uint32_t count = 0;
    std::vector<ReferenceDescription> rest;
    StatusCode status = kGood;
    forEachReference(b.nodeId, b.direction != 1, b.direction != 0, status, [&](ReferenceDescription&& ref) {
      if (!referenceMatches(ref.referenceTypeId.numeric, b.referenceTypeId, b.includeSubtypes) ||
          (b.nodeClassMask != 0 && (ref.nodeClass & b.nodeClassMask) == 0)) {
        return;
      }
      mask(ref, b.resultMask);
      if (count < max) {
        encodeReferenceDescription(e, ref);
        ++count;
      } else {
        rest.push_back(std::move(ref));
      }
    });
    std::string point;
    if (status == kGood && !rest.empty()) {
      std::lock_guard lock(session->mutex);
      if (session->continuations.size() >= limits_.maxContinuationPoints) {
        status = kBadNoContinuationPoints;
      } else {
        point = randomBytes(8);
        session->continuations[point] = std::move(rest);
      }
    }
    if (status != kGood) {
      body.resize(start);
      encodeBrowseResult(e, BrowseResult{status, {}, {}});
      continue;
    }
    e.patchUInt32(countAt, count);
    if (!point.empty()) {
      e.patchUInt32(start + 4, static_cast<std::uint32_t>(point.size()));
      e.insertAt(start + 8, reinterpret_cast<const std::uint8_t*>(point.data()), point.size());
    }
  }
  e.arrayLength(0);
  c.respond(std::move(body));
}

void UaServer::browseNext(Call& c, BrowseNextRequest& r) {
  const std::uint32_t handle = c.requestHandle;
  const std::shared_ptr<Session>& session = c.session;
  std::vector<BrowseResult> results(r.continuationPoints.size());
  {
    std::lock_guard lock(session->mutex);
    for (std::size_t i = 0; i < r.continuationPoints.size(); ++i) {
      auto it = session->continuations.find(r.continuationPoints[i]);
      if (it == session->continuations.end()) {
        results[i].status = kBadContinuationPointInvalid;
        continue;
      }
      if (!r.releaseContinuationPoints) {
        std::vector<ReferenceDescription>& rest = it->second;
        const std::size_t n = std::min<std::size_t>(rest.size(), limits_.maxReferencesPerNode);
        results[i].references.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
        rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n));
        if (!rest.empty()) {
          results[i].continuationPoint = it->first;
          continue;
        }
      }
      session->continuations.erase(it);
    }
  }
  std::vector<std::uint8_t> body;
  Encoder e(body);
  beginMessage(e, id::BrowseNextResponse);
  encodeResponseHeader(e, handle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& res : results) encodeBrowseResult(e, res);
  e.arrayLength(0);
  c.respond(std::move(body));
}

void UaServer::translateBrowsePaths(Call& c, TranslateBrowsePathsRequest& r) {
  std::vector<std::pair<StatusCode, std::vector<NodeId>>> results;
  for (const BrowsePath& p : r.paths) {
    std::vector<NodeId> current = {p.start};
    StatusCode result = p.elements.empty() ? kBadNothingToDo : kGood;
    for (const RelativePathElement& e : p.elements) {
      if (result != kGood) break;
      if (!e.target.name || e.target.name->empty()) {
        result = kBadBrowseNameInvalid;
        break;
      }
      std::vector<NodeId> next;
      for (const NodeId& node : current) {
        StatusCode s = kGood;
        for (const auto& ref : collectReferences(node, !e.inverse, e.inverse, s)) {
          if (ref.browseName == e.target && referenceMatches(ref.referenceTypeId.numeric, e.referenceType, e.subtypes)) {
            next.push_back(ref.nodeId);
          }
        }
        if (s != kGood && current.size() == 1) result = s;
      }
      if (result == kGood && next.empty()) result = kBadNoMatch;
      current = std::move(next);
    }
    results.emplace_back(result, result == kGood ? current : std::vector<NodeId>{});
  }
  c.respond(encodeResults(id::TranslateBrowsePathsResponse, c.requestHandle, results, [](Encoder& e, const auto& result) {
    e.statusCode(result.first);
    e.arrayLength(static_cast<std::int32_t>(result.second.size()));
    for (const NodeId& t : result.second) {
      e.expandedNodeId(ExpandedNodeId{t, std::nullopt, 0});
      e.uint32(0xFFFFFFFFu);  // the whole path was followed
    }
  }));
}

void UaServer::registerNodes(Call& c, RegisterNodesRequest& r) {
  // Item ids already find their element in O(1): the registered id is the id itself.
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::RegisterNodesResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(r.nodes.size()));
  for (const NodeId& id : r.nodes) e.nodeId(id);
  c.respond(std::move(out));
}

void UaServer::unregisterNodes(Call& c, RegisterNodesRequest&) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::UnregisterNodesResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  c.respond(std::move(out));
}

}  // namespace OpcToolbox::ua
