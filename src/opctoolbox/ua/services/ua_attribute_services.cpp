// The Attribute service set: Read and Write.

#include <algorithm>
#include <memory>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/model/ua_item_model.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kServerStateRunning = 0, kServerStateSuspended = 3, kServerStateShutdown = 4;

std::int32_t serverState(AppState s) {
  switch (s) {
    case AppState::Ready: return kServerStateRunning;
    case AppState::Started: return kServerStateSuspended;
    default: return kServerStateShutdown;
  }
}

constexpr auto stamp = stampTimestamps;

// serverNow: one clock reading serves every value of an answer.
DataValue fromCache(const ValueQT& q, std::uint16_t datatype, std::uint32_t which, std::int64_t serverNow) {
  DataValue v{toUaAs(q.getData(), datatype), statusOf(q.getQuality()), std::nullopt, std::nullopt};
  stamp(v, which, q.getTimeStamp().ticks(), serverNow);
  return v;
}

// A Read's answer while the device part is outstanding.
struct ReadAnswer {
  static constexpr std::uint32_t kFromDevice = 0xFFFFFFFFu;
  std::uint32_t handle = 0;
  std::uint32_t timestamps = 0;
  std::vector<std::uint32_t> slots;  // per position: index into now, or kFromDevice
  std::vector<DataValue> now;

  // device: the transaction's answers in order; null when it could not be run (shutdown).
  std::vector<std::uint8_t> encode(const ReadAnswers* device) const {
    // Cancelled while it waited for a worker: the whole request was (OPC UA Part 4, 5.6.5).
    if (device && device->size() > 0 && device->request(0) == nullptr && device->result(0) == E_CANCELLED_BY_CLIENT) {
      return encodeServiceFault(handle, kBadRequestCancelledByClient);
    }
    std::vector<std::uint8_t> out;
    out.reserve(64 + slots.size() * 24);  // a scalar number with both timestamps
    Encoder e(out);
    beginMessage(e, id::ReadResponse);
    encodeResponseHeader(e, handle, kGood);
    e.arrayLength(static_cast<std::int32_t>(slots.size()));
    const std::int64_t serverNow = nowTicks();
    std::size_t k = 0;
    for (const std::uint32_t slot : slots) {
      if (slot != kFromDevice) {
        e.dataValue(now[slot]);
        continue;
      }
      const DaRequest* request = device && k < device->size() ? device->request(k) : nullptr;
      if (request == nullptr) {
        // Not answered by the device: cancelled at stop, or the transaction failed.
        e.dataValue(statusOnly(device && device->result(k) == E_UNEXPECTED ? kBadInternalError : kBadShutdown));
      } else if (device->result(k) != S_OK) {
        e.dataValue(statusOnly(resultStatusOf(device->result(k))));
      } else {
        e.dataValue(fromCache(device->value(k), request->element()->getDatatype(), timestamps, serverNow));
      }
      ++k;
    }
    e.arrayLength(0);
    return out;
  }
};

}  // namespace

DataValue UaServer::readNamespaceZero(std::uint32_t id, std::uint32_t attribute, std::uint32_t timestamps, Role role) {
  const NamespaceZeroNode* node = findNamespaceZero(id);
  if (node == nullptr) return statusOnly(kBadNodeIdUnknown);
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  const bool isType = node->nodeClass == 8 || node->nodeClass == 16 || node->nodeClass == 32 || node->nodeClass == 64;
  switch (attribute) {
    case kNodeId: return scalar(BuiltinType::NodeId, NodeId::numericId(0, id));
    case kNodeClass: return scalar(BuiltinType::Int32, static_cast<std::int32_t>(node->nodeClass));
    case kBrowseName: return scalar(BuiltinType::QualifiedName, QualifiedName{0, node->name});
    case kDisplayName: return scalar(BuiltinType::LocalizedText, LocalizedText{std::nullopt, node->name});
    case kDescription: return scalar(BuiltinType::LocalizedText, LocalizedText{});
    case kWriteMask: case kUserWriteMask: return scalar(BuiltinType::UInt32, std::uint32_t{0});
    default: break;
  }
  if (isType && attribute == kIsAbstract) return scalar(BuiltinType::Boolean, node->isAbstract);
  if (node->nodeClass == 32 && attribute == kSymmetric) return scalar(BuiltinType::Boolean, false);
  // The Server object is where every event comes from (SubscribeToEvents), and where
  // kept events are read back (HistoryRead).
  if (node->nodeClass == 1 && attribute == kEventNotifier) {
    return scalar(BuiltinType::Byte, static_cast<std::uint8_t>(id == ns0::Server ? (app_.history() ? 5 : 1) : 0));
  }
  if (node->nodeClass == 4 && (attribute == 21 || attribute == 22)) return scalar(BuiltinType::Boolean, true);
  if (node->nodeClass != 2 && !(node->nodeClass == 16 && (attribute == kDataType || attribute == kValueRank))) {
    return statusOnly(kBadAttributeIdInvalid);
  }
  switch (attribute) {
    case kDataType: return scalar(BuiltinType::NodeId, node->dataType);
    case kValueRank: return scalar(BuiltinType::Int32, node->valueRank);
    case kArrayDimensions: return valueOf(ua::Variant{BuiltinType::UInt32, true, {}});
    case kAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    case kUserAccessLevel:
      return scalar(BuiltinType::Byte, static_cast<std::uint8_t>(mayReadNamespaceZero(id, role) ? 1 : 0));
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, 1000.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    case kValue: break;
    default: return statusOnly(kBadAttributeIdInvalid);
  }
  if (!mayReadNamespaceZero(id, role)) return statusOnly(kBadUserAccessDenied);
  const ServerIdentity who = identity();
  const std::string version = std::to_string(app_.getMajorVersion()) + "." + std::to_string(app_.getMinorVersion());
  const std::string build = std::to_string(app_.getBuildNumber());
  auto buildInfoBody = [&](Encoder& b) {
    b.string(std::string_view(who.productUri));
    b.string(app_.getVendorInfo());
    b.string(app_.getDescription());
    b.string(std::string_view(version));
    b.string(std::string_view(build));
    b.dateTime(startTime_);
  };
  DataValue out;
  switch (id) {
    case ns0::ServerArray: out = valueOf(stringArray({who.applicationUri})); break;
    case ns0::NamespaceArray: out = valueOf(stringArray({"http://opcfoundation.org/UA/", who.applicationUri})); break;
    case ns0::StartTime: out = scalar(BuiltinType::DateTime, DateTimeValue{startTime_}); break;
    case ns0::CurrentTime: out = scalar(BuiltinType::DateTime, DateTimeValue{nowTicks()}); break;
    case ns0::State: out = scalar(BuiltinType::Int32, serverState(app_.getState())); break;
    case ns0::ProductName: out = scalar(BuiltinType::String, UaString{app_.getDescription()}); break;
    case ns0::ProductUri: out = scalar(BuiltinType::String, UaString{who.productUri}); break;
    case ns0::ManufacturerName: out = scalar(BuiltinType::String, UaString{app_.getVendorInfo()}); break;
    case ns0::SoftwareVersion: out = scalar(BuiltinType::String, UaString{version}); break;
    case ns0::BuildNumber: out = scalar(BuiltinType::String, UaString{build}); break;
    case ns0::BuildDate: out = scalar(BuiltinType::DateTime, DateTimeValue{startTime_}); break;
    case ns0::ServerProfileArray:
      // Standard 2017 (OPC UA Part 7): Embedded 2017 (the secure policies, triggering,
      // deadbands, GetMonitoredItems, ResendData) with the enhanced subscription limits,
      // X.509 user tokens, diagnostics, RegisterServer and RegisterServer2, Cancel and 50
      // sessions. Embedded 2017 is named too, for clients that look for it alone.
      out = valueOf(stringArray({"http://opcfoundation.org/UA-Profile/Server/StandardUA2017",
                                 "http://opcfoundation.org/UA-Profile/Server/EmbeddedUA2017"}));
      break;
    case ns0::LocaleIdArray: out = valueOf(stringArray({"en"})); break;
    case ns0::MinSupportedSampleRate:
      out = scalar(BuiltinType::Double, limits_.minSamplingIntervalMs);
      break;
    case ns0::MaxBrowseContinuationPoints:
      out = scalar(BuiltinType::UInt16, static_cast<std::uint16_t>(limits_.maxContinuationPoints));
      break;
    case ns0::MaxNodesPerRead: out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxNodesPerRead)); break;
    case ns0::MaxNodesPerWrite: out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxNodesPerWrite)); break;
    case ns0::MaxNodesPerBrowse: case ns0::MaxNodesPerRegisterNodes: case ns0::MaxNodesPerTranslate:
      out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxNodesPerBrowse));
      break;
    case ns0::MaxMonitoredItemsPerCall:
      out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxMonitoredItemsPerCall));
      break;
    case ns0::MaxSessions: out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxSessions)); break;
    case ns0::MaxMonitoredItems:
      out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxMonitoredItems));
      break;
    case ns0::MaxSubscriptionsPerSession:
      out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxSubscriptionsPerSession));
      break;
    case ns0::MaxMonitoredItemsPerSubscription:
      out = scalar(BuiltinType::UInt32, static_cast<std::uint32_t>(limits_.maxMonitoredItemsPerSubscription));
      break;
    case ns0::MaxMonitoredItemsQueueSize: out = scalar(BuiltinType::UInt32, limits_.maxQueueSize); break;
    // The input arguments of the methods of Alarms & Conditions (OPC UA Part 9).
    case 9112: case 9114: case 9030: {
      const bool comment = id == 9030;
      out = valueOf(ua::Variant{BuiltinType::ExtensionObject, true,
                                {Boxed<ExtensionObject>(argumentObject("EventId", 15, -1, comment
                                     ? "The identifier for the event to comment."
                                     : "The identifier for the event to " + std::string(id == 9112 ? "acknowledge." : "confirm."))),
                                 Boxed<ExtensionObject>(argumentObject("Comment", 21, -1, "The comment to add to the condition."))}});
      break;
    }
    case 2991:
      out = valueOf(ua::Variant{BuiltinType::ExtensionObject, true,
                                {Boxed<ExtensionObject>(argumentObject("ShelvingTime", 290, -1,
                                     "If not 0, this parameter specifies a fixed time for which the Alarm is to be shelved."))}});
      break;
    case 3876: case 12913: {
      ua::Variant v{BuiltinType::ExtensionObject, true,
                    {Boxed<ExtensionObject>(argumentObject("SubscriptionId", 288, -1, "The identifier for the subscription to refresh."))}};
      if (id == 12913) {
        v.values.emplace_back(Boxed<ExtensionObject>(
            argumentObject("MonitoredItemId", 288, -1, "The identifier for the monitored item to refresh.")));
      }
      out = valueOf(std::move(v));
      break;
    }
    case ns0::BuildInfo: {
      std::vector<std::uint8_t> body;
      Encoder b(body);
      buildInfoBody(b);
      out = scalar(BuiltinType::ExtensionObject,
                   ExtensionObject{NodeId::numericId(0, 340), 1, std::string(body.begin(), body.end())});
      break;
    }
    case ns0::ServerStatus: {
      // ServerStatusDataType: start and current time, state, build info, seconds till
      // shutdown, shutdown reason.
      std::vector<std::uint8_t> body;
      Encoder b(body);
      b.dateTime(startTime_);
      b.dateTime(nowTicks());
      b.int32(serverState(app_.getState()));
      buildInfoBody(b);
      b.uint32(0);
      b.localizedText(LocalizedText{});
      out = scalar(BuiltinType::ExtensionObject,
                   ExtensionObject{NodeId::numericId(0, 864), 1, std::string(body.begin(), body.end())});
      break;
    }
    default: {
      std::optional<ua::Variant> diagnostics = readDiagnosticsValue(id);
      if (!diagnostics) return statusOnly(kBadAttributeIdInvalid);
      out = valueOf(std::move(*diagnostics));
      break;
    }
  }
  const std::int64_t now = nowTicks();
  stamp(out, timestamps, now, now);
  return out;
}

DataValue UaServer::readCondition(const ConditionNode& node, const NodeIdRef& id, std::uint32_t attribute,
                                  std::uint32_t timestamps) {
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  const ConditionMember* m = node.member;
  const bool object = m == nullptr || m->nodeClass == kObject;
  const QualifiedName name = m == nullptr ? QualifiedName{kNs, node.kind->name} : QualifiedName{0, m->browseName};
  if (auto common = commonAttribute(id.toNodeId(), object ? kObject : kVariable, name, attribute)) return *common;
  if (object) {
    // Its events come through the Server and the branches above its source.
    if (attribute == kEventNotifier) return scalar(BuiltinType::Byte, std::uint8_t{0});
    return statusOnly(kBadAttributeIdInvalid);
  }
  if (auto variable = madeVariableAttribute(m->dataType, attribute)) return *variable;
  if (attribute != kValue) return statusOnly(kBadAttributeIdInvalid);
  DataValue v = valueOf(conditionValue(node));
  const std::int64_t now = nowTicks();
  stamp(v, timestamps, now, now);
  return v;
}

DataValue UaServer::readProperty(const NodeIdRef& id, std::uint32_t attribute, std::uint32_t timestamps, Role role) {
  const auto node = propertyNode(id);
  if (!node) {
    if (const auto condition = conditionNode(id)) return readCondition(*condition, id, attribute, timestamps);
    if (const auto method = methodNode(id)) {
      DataValue v = readMethodNode(*method, id, attribute, role);
      const std::int64_t now = nowTicks();
      if (attribute == kValue && v.value) stamp(v, timestamps, now, now);
      return v;
    }
    if (const auto config = historyConfigurationNode(id)) return readHistoryConfiguration(*config, id, attribute, timestamps);
    return statusOnly(kBadNodeIdUnknown);
  }
  const UaProperty p = node->property;
  const ItemModel& model = node->model;
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  switch (attribute) {
    case kNodeId: return scalar(BuiltinType::NodeId, id.toNodeId());
    case kNodeClass: return scalar(BuiltinType::Int32, static_cast<std::int32_t>(kVariable));
    case kBrowseName: return scalar(BuiltinType::QualifiedName, QualifiedName{0, propertyBrowseName(p)});
    case kDisplayName: return scalar(BuiltinType::LocalizedText, LocalizedText{std::nullopt, propertyBrowseName(p)});
    case kDescription: return scalar(BuiltinType::LocalizedText, LocalizedText{});
    case kWriteMask: case kUserWriteMask: return scalar(BuiltinType::UInt32, std::uint32_t{0});
    case kDataType: return scalar(BuiltinType::NodeId, NodeId::numericId(0, propertyDataType(p)));
    case kValueRank: return scalar(BuiltinType::Int32, std::int32_t{-1});
    case kArrayDimensions: return valueOf(ua::Variant{BuiltinType::UInt32, true, {}});
    case kAccessLevel: case kUserAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    // Read once when the item was made: it never changes.
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, -1.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    case kValue: {
      DataValue v = propertyValue(p, model);
      const std::int64_t now = nowTicks();
      if ((timestamps == 1 || timestamps == 2) && v.value) v.serverTimestamp = now;
      return v;
    }
    default: return statusOnly(kBadAttributeIdInvalid);
  }
}

void UaServer::read(Call& c, ReadRequest& r) {
  const std::uint32_t handle = c.requestHandle;
  const std::shared_ptr<Session>& session = c.session;
  if (!(r.maxAge >= 0)) return c.fault(kBadMaxAgeInvalid);
  if (r.timestampsToReturn > 3) return c.fault(kBadTimestampsToReturnInvalid);
  const Role role = c.role;

  // Each position is answered now (an index into `now`) or by the device (kFromDevice):
  // a Read of thousands of device values holds no DataValue per value until it is encoded.
  auto answer = std::make_shared<ReadAnswer>();
  answer->handle = handle;
  answer->timestamps = r.timestampsToReturn;
  answer->slots.reserve(r.nodes.size());
  std::vector<ItemRef> deviceItems;
  if (r.maxAge == 0) deviceItems.reserve(r.nodes.size());
  auto now = [&](DataValue v) {
    answer->slots.push_back(static_cast<std::uint32_t>(answer->now.size()));
    answer->now.push_back(std::move(v));
  };
  // Every item id of the Read is looked up in one pass first.
  std::vector<ElementPtr> elements = elementsFor(app_.getDaAddressSpaceRoot(), r.nodes.size(), [&](std::size_t i) -> const NodeIdRef& { return r.nodes[i].nodeId; });
  std::size_t position = 0;
  for (const ReadValueIdRef& rv : r.nodes) {
    ElementPtr element = std::move(elements[position++]);
    if (rv.hasIndexRange) {
      now(statusOnly(kBadIndexRangeInvalid));
      continue;
    }
    if (rv.hasDataEncoding) {
      now(statusOnly(kBadDataEncodingInvalid));
      continue;
    }
    if (rv.nodeId.ns == 0 && rv.nodeId.kind == NodeId::Kind::Numeric) {
      now(readNamespaceZero(rv.nodeId.numeric, rv.attributeId, r.timestampsToReturn, role));
      continue;
    }
    if (rv.nodeId.ns == kNs && rv.nodeId.kind == NodeId::Kind::Numeric) {
      now(readSessionNode(rv.nodeId.numeric, rv.attributeId, r.timestampsToReturn, role));
      continue;
    }
    if (!element) {
      now(readProperty(rv.nodeId, rv.attributeId, r.timestampsToReturn, role));
      continue;
    }
    const bool variable = !element->getHasChildren();
    switch (rv.attributeId) {
      case kNodeId: now(valueOf(ua::Variant::scalar(BuiltinType::NodeId, rv.nodeId.toNodeId()))); break;
      case kNodeClass:
        now(valueOf(ua::Variant::scalar(BuiltinType::Int32, static_cast<std::int32_t>(variable ? kVariable : kObject))));
        break;
      case kBrowseName: now(valueOf(ua::Variant::scalar(BuiltinType::QualifiedName, QualifiedName{kNs, element->getName()}))); break;
      case kDisplayName:
        now(valueOf(ua::Variant::scalar(BuiltinType::LocalizedText, LocalizedText{std::nullopt, element->getName()})));
        break;
      case kDescription: now(valueOf(ua::Variant::scalar(BuiltinType::LocalizedText, LocalizedText{}))); break;
      case kWriteMask: case kUserWriteMask: now(valueOf(ua::Variant::scalar(BuiltinType::UInt32, std::uint32_t{0}))); break;
      case kEventNotifier:
        // Every branch is an event notifier: the alarms of what is under it, kept too.
        if (variable) now(statusOnly(kBadAttributeIdInvalid));
        else now(valueOf(ua::Variant::scalar(BuiltinType::Byte, static_cast<std::uint8_t>(app_.history() ? 5 : 1))));
        break;
      case kValue: {
        if (!variable) {
          now(statusOnly(kBadAttributeIdInvalid));
          break;
        }
        if ((element->getAccessRights() & kReadable) == 0) {
          now(statusOnly(kBadNotReadable));  // a command or write-only item
          break;
        }
        if (r.maxAge > 0) {
          ValueQT cached;
          element->getCacheValue(cached);
          const double ageMs = static_cast<double>(nowTicks() - cached.getTimeStamp().ticks()) / 10000.0;
          if (cached.getTimeStamp().isSet() && ageMs <= r.maxAge) {
            now(fromCache(cached, element->getDatatype(), r.timestampsToReturn, nowTicks()));
            break;
          }
        }
        answer->slots.push_back(ReadAnswer::kFromDevice);
        deviceItems.push_back(ItemRef{std::move(element), 0});
        break;
      }
      default:
        if (!variable) {
          now(statusOnly(kBadAttributeIdInvalid));
          break;
        }
        switch (rv.attributeId) {
          case kDataType: now(valueOf(ua::Variant::scalar(BuiltinType::NodeId, dataTypeOf(element->getDatatype())))); break;
          case kValueRank: now(valueOf(ua::Variant::scalar(BuiltinType::Int32, std::int32_t{-1}))); break;
          case kArrayDimensions: now(valueOf(ua::Variant{BuiltinType::UInt32, true, {}})); break;
          case kAccessLevel:
            now(valueOf(ua::Variant::scalar(
                BuiltinType::Byte, static_cast<std::uint8_t>((element->getAccessRights() & 3) | historyBit(app_.history(), *element)))));
            break;
          case kUserAccessLevel: {
            // What this session's user may do: writing only from the item's role up; reading
            // its history whoever may read it.
            const std::uint32_t mask = mayWrite(role, element->getWriteRole()) ? 3 : 1;
            now(valueOf(ua::Variant::scalar(
                BuiltinType::Byte, static_cast<std::uint8_t>((element->getAccessRights() & mask) | historyBit(app_.history(), *element)))));
            break;
          }
          case kMinimumSamplingInterval:
            now(valueOf(ua::Variant::scalar(BuiltinType::Double, fastestSampling(element.get()))));
            break;
          case kHistorizing: now(valueOf(ua::Variant::scalar(BuiltinType::Boolean, historyBit(app_.history(), *element) != 0))); break;
          default: now(statusOnly(kBadAttributeIdInvalid));
        }
    }
  }
  if (deviceItems.empty()) return c.respond(answer->encode(nullptr));
  ClientAccess* clients = app_.clients();
  const long rc = clients == nullptr
                      ? E_UNEXPECTED
                      : clients->readFromDevice(session->toolboxSession, std::move(deviceItems),
                                                [answer, respond = c.respond](const ReadAnswers& read) { respond(answer->encode(&read)); },
                                                c.requestHandle);
  if (rc != S_OK) c.respond(answer->encode(nullptr));
}

void UaServer::write(Call& c, WriteRequest& r) {
  const std::uint32_t handle = c.requestHandle;
  const std::shared_ptr<Session>& session = c.session;
  const Role role = c.role;
  std::string user;
  {
    std::lock_guard lock(sessionsMutex_);
    user = session->user;
  }

  auto results = std::make_shared<std::vector<StatusCode>>(r.nodes.size(), kBad);
  std::vector<std::size_t> positions;
  std::vector<WriteItem> items;
  const std::vector<ElementPtr> elements =
      elementsFor(app_.getDaAddressSpaceRoot(), r.nodes.size(), [&](std::size_t i) -> const NodeId& { return r.nodes[i].nodeId; });
  for (std::size_t i = 0; i < r.nodes.size(); ++i) {
    const WriteValue& w = r.nodes[i];
    StatusCode& out = (*results)[i];
    const ElementPtr& element = elements[i];
    const bool ns0 = w.nodeId.ns == 0 && w.nodeId.kind == NodeId::Kind::Numeric &&
                     findNamespaceZero(w.nodeId.numeric) != nullptr;
    if (!element && !ns0) {
      // A Data Access property holds what the mainframe said when the item was made.
      out = propertyNode(w.nodeId) ? kBadNotWritable : kBadNodeIdUnknown;
      continue;
    }
    if (ns0 || w.attributeId != kValue || element->getHasChildren() || (element->getAccessRights() & kWriteable) == 0) {
      out = kBadNotWritable;
      continue;
    }
    // Refused before anything reaches the toolbox, the hardware or a settings file.
    if (!mayWrite(role, element->getWriteRole())) {
      out = kBadUserAccessDenied;
      audit(true, [&] { return "write refused: user [" + user + "] item [" + element->getItemId() + "] (BadUserAccessDenied)"; });
      continue;
    }
    if (w.indexRange && !w.indexRange->empty()) {
      out = kBadIndexRangeInvalid;
      continue;
    }
    // Checked before anything reaches the toolbox or the hardware: no conversion on this path.
    if (!w.value.value) {
      out = kBadTypeMismatch;
      continue;
    }
    if (StatusCode rc = writableValue(*w.value.value, element->getDatatype()); rc != kGood) {
      out = rc;
      continue;
    }
    OpcToolbox::Variant value;
    if (!fromUa(*w.value.value, value)) {
      out = kBadTypeMismatch;
      continue;
    }
    const DateTime when = w.value.sourceTimestamp ? DateTime::fromTicks(*w.value.sourceTimestamp) : DateTime::now();
    audit(false, [&] { return "write: user [" + user + "] item [" + element->getItemId() + "] value [" + value.toString() + "]"; });
    positions.push_back(i);
    items.push_back(WriteItem{element, ValueQT(value, kQualityGood, when)});
  }
  auto encode = [handle](const std::vector<StatusCode>& codes) {
    return encodeStatusResults(id::WriteResponse, handle, codes);
  };
  ClientAccess* clients = app_.clients();
  if (items.empty() || clients == nullptr) {
    for (std::size_t p : positions) (*results)[p] = kBadShutdown;
    return c.respond(encode(*results));
  }
  auto answer = std::make_shared<Respond>(std::move(c.respond));
  const long rc = clients->write(session->toolboxSession, std::move(items),
                                 [results, positions, answer, encode](std::vector<long> written) {
                                   for (std::size_t k = 0; k < written.size() && k < positions.size(); ++k) {
                                     const long w = written[k];
                                     (*results)[positions[k]] = resultStatusOf(w);
                                   }
                                   (*answer)(encode(*results));
                                 });
  if (rc != S_OK) {
    for (std::size_t p : positions) (*results)[p] = kBadShutdown;
    (*answer)(encode(*results));
  }
}

}  // namespace OpcToolbox::ua
