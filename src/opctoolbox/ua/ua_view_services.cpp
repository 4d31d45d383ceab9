// The View service set: Browse and BrowseNext, with continuation points.

#include <algorithm>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/ua_node_mapping.h"
#include "opctoolbox/ua/ua_server_internal.h"

namespace OpcToolbox::ua {
namespace {

ReferenceDescription reference(std::uint32_t type, bool forward, NodeId target, QualifiedName name,
                               std::uint32_t nodeClass, std::uint32_t typeDefinition) {
  ReferenceDescription r;
  r.referenceTypeId = NodeId::numericId(0, type);
  r.isForward = forward;
  r.nodeId = std::move(target);
  r.displayName = LocalizedText{std::nullopt, name.name};
  r.browseName = std::move(name);
  r.nodeClass = nodeClass;
  r.typeDefinition = NodeId::numericId(0, typeDefinition);
  return r;
}

ReferenceDescription elementReference(const ElementPtr& e, bool forward) {
  const bool variable = !e->getHasChildren();
  return reference(kOrganizes, forward, NodeId::stringId(kNs, e->getItemId()), QualifiedName{kNs, e->getName()},
                   variable ? kVariable : kObject, variable ? kBaseDataVariableType : kFolderType);
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

void UaServer::browse(Decoder& d, Respond& respond) {
  const BrowseRequest r = decodeBrowseRequest(d);
  const std::uint32_t handle = r.header.requestHandle;
  if (!d.ok()) return respond(encodeServiceFault(handle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(r.header, status);
  if (status != kGood) return respond(encodeServiceFault(handle, status));
  if (r.nodes.empty()) return respond(encodeServiceFault(handle, kBadNothingToDo));
  if (r.nodes.size() > limits_.maxNodesPerBrowse) return respond(encodeServiceFault(handle, kBadTooManyOperations));
  const std::uint32_t max = r.maxReferencesPerNode == 0 ? limits_.maxReferencesPerNode
                                                        : std::min(r.maxReferencesPerNode, limits_.maxReferencesPerNode);
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  std::vector<BrowseResult> results(r.nodes.size());
  for (std::size_t i = 0; i < r.nodes.size(); ++i) {
    const BrowseDescription& b = r.nodes[i];
    BrowseResult& out = results[i];
    if (b.direction > 2) {
      out.status = kBadBrowseDirectionInvalid;
      continue;
    }
    const bool forward = b.direction == 0 || b.direction == 2;
    const bool inverse = b.direction == 1 || b.direction == 2;
    std::vector<ReferenceDescription> refs;
    if (b.nodeId.ns == 0 && b.nodeId.kind == NodeId::Kind::Numeric) {
      auto node = std::find_if(nodes_.begin(), nodes_.end(), [&](const Node& n) { return n.id == b.nodeId.numeric; });
      if (node == nodes_.end()) {
        out.status = kBadNodeIdUnknown;
        continue;
      }
      auto nodeRef = [&](std::uint32_t type, bool fwd, const Node& target) {
        return reference(type, fwd, NodeId::numericId(0, target.id), QualifiedName{0, target.name}, target.nodeClass,
                         target.typeDefinition);
      };
      if (forward) {
        for (const auto& child : node->children) {
          const std::uint32_t target = child.second;
          auto t = std::find_if(nodes_.begin(), nodes_.end(), [target](const Node& n) { return n.id == target; });
          if (t != nodes_.end()) refs.push_back(nodeRef(child.first, true, *t));
        }
        if (node->id == 85 && root) {
          for (const auto& e : root->getChildren()) refs.push_back(elementReference(e, true));
        }
        refs.push_back(reference(kHasTypeDefinition, true, NodeId::numericId(0, node->typeDefinition),
                                 QualifiedName{0, node->typeDefinition == kFolderType ? "FolderType" : "Type"},
                                 8, 0));
      }
      if (inverse) {
        for (const Node& n : nodes_) {
          for (auto [type, target] : n.children) {
            if (target == node->id) refs.push_back(nodeRef(type, false, n));
          }
        }
      }
    } else {
      const ElementPtr element = (b.nodeId.ns == kNs && b.nodeId.kind == NodeId::Kind::String && root)
                                     ? root->findElement(b.nodeId.text)
                                     : nullptr;
      if (!element) {
        out.status = kBadNodeIdUnknown;
        continue;
      }
      const bool variable = !element->getHasChildren();
      if (forward) {
        for (const auto& c : element->getChildren()) refs.push_back(elementReference(c, true));
        refs.push_back(reference(kHasTypeDefinition, true,
                                 NodeId::numericId(0, variable ? kBaseDataVariableType : kFolderType),
                                 QualifiedName{0, variable ? "BaseDataVariableType" : "FolderType"},
                                 variable ? 16u : 8u, 0));
      }
      if (inverse) {
        const ElementPtr parent = element->getParent();
        if (parent && parent->addressSpace() != nullptr && !parent->getName().empty()) {
          refs.push_back(elementReference(parent, false));
        } else {
          refs.push_back(reference(kOrganizes, false, NodeId::numericId(0, 85), QualifiedName{0, "Objects"}, kObject,
                                   kFolderType));
        }
      }
    }
    std::erase_if(refs, [&](const ReferenceDescription& ref) {
      return !referenceMatches(ref.referenceTypeId.numeric, b.referenceTypeId, b.includeSubtypes) ||
             (b.nodeClassMask != 0 && (ref.nodeClass & b.nodeClassMask) == 0);
    });
    for (auto& ref : refs) mask(ref, b.resultMask);
    if (refs.size() > max) {
      std::lock_guard lock(mutex_);
      if (session->continuations.size() >= limits_.maxContinuationPoints) {
        out.status = kBadNoContinuationPoints;
        continue;
      }
      const std::string point = randomBytes(8);
      session->continuations[point] = std::vector<ReferenceDescription>(refs.begin() + max, refs.end());
      refs.resize(max);
      out.continuationPoint = point;
    }
    out.references = std::move(refs);
  }
  std::vector<std::uint8_t> body;
  Encoder e(body);
  beginMessage(e, id::BrowseResponse);
  encodeResponseHeader(e, handle, kGood);
  e.arrayLength(static_cast<std::int32_t>(results.size()));
  for (const auto& res : results) encodeBrowseResult(e, res);
  e.arrayLength(0);
  respond(std::move(body));
}

void UaServer::browseNext(Decoder& d, Respond& respond) {
  const BrowseNextRequest r = decodeBrowseNextRequest(d);
  const std::uint32_t handle = r.header.requestHandle;
  if (!d.ok()) return respond(encodeServiceFault(handle, kBadDecodingError));
  StatusCode status = kGood;
  const auto session = sessionFor(r.header, status);
  if (status != kGood) return respond(encodeServiceFault(handle, status));
  if (r.continuationPoints.empty()) return respond(encodeServiceFault(handle, kBadNothingToDo));
  std::vector<BrowseResult> results(r.continuationPoints.size());
  {
    std::lock_guard lock(mutex_);
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
  respond(std::move(body));
}

}  // namespace OpcToolbox::ua
