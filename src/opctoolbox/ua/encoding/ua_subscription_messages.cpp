#include "opctoolbox/ua/encoding/ua_subscription_messages.h"

#include <algorithm>

namespace OpcToolbox::ua {
namespace {

std::vector<std::uint32_t> uint32Array(Decoder& d) {
  std::vector<std::uint32_t> out;
  const std::size_t n = d.arrayLength();
  out.reserve(std::min(n, d.remaining() / 4));
  for (std::size_t i = 0; i < n && d.ok(); ++i) out.push_back(d.uint32());
  return out;
}

MonitoringParameters monitoringParameters(Decoder& d) {
  MonitoringParameters p;
  p.clientHandle = d.uint32();
  p.sampling = d.float64();
  p.filter = d.extensionObject();
  p.queueSize = d.uint32();
  p.discardOldest = d.boolean();
  return p;
}

}  // namespace

CreateSubscriptionRequest decodeCreateSubscriptionRequest(Decoder& d) {
  CreateSubscriptionRequest r;
  r.header = decodeRequestHeader(d);
  r.publishingInterval = d.float64();
  r.lifetimeCount = d.uint32();
  r.maxKeepAliveCount = d.uint32();
  r.maxNotificationsPerPublish = d.uint32();
  r.publishingEnabled = d.boolean();
  r.priority = d.byte();
  return r;
}

ModifySubscriptionRequest decodeModifySubscriptionRequest(Decoder& d) {
  ModifySubscriptionRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.publishingInterval = d.float64();
  r.lifetimeCount = d.uint32();
  r.maxKeepAliveCount = d.uint32();
  r.maxNotificationsPerPublish = d.uint32();
  r.priority = d.byte();
  return r;
}

SubscriptionsRequest decodeSetPublishingModeRequest(Decoder& d) {
  SubscriptionsRequest r;
  r.header = decodeRequestHeader(d);
  r.flag = d.boolean();
  r.subscriptionIds = uint32Array(d);
  return r;
}

SubscriptionsRequest decodeDeleteSubscriptionsRequest(Decoder& d) {
  SubscriptionsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionIds = uint32Array(d);
  return r;
}

SubscriptionsRequest decodeTransferSubscriptionsRequest(Decoder& d) {
  SubscriptionsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionIds = uint32Array(d);
  r.flag = d.boolean();
  return r;
}

CreateMonitoredItemsRequest decodeCreateMonitoredItemsRequest(Decoder& d) {
  CreateMonitoredItemsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.timestampsToReturn = d.uint32();
  const std::size_t n = d.arrayLength();
  // Reserved only for as many as the bytes left can hold (40 bytes the least encoding).
  r.items.reserve(std::min(n, d.remaining() / 40));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    auto& c = r.items.emplace_back();
    c.nodeId = d.nodeIdRef();
    c.attributeId = d.uint32();
    d.stringView();  // index range: items are scalars
    d.uint16();      // data encoding: namespace, name
    d.stringView();
    c.mode = d.uint32();
    static_cast<MonitoringParameters&>(c) = monitoringParameters(d);
  }
  return r;
}

ModifyMonitoredItemsRequest decodeModifyMonitoredItemsRequest(Decoder& d) {
  ModifyMonitoredItemsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.timestampsToReturn = d.uint32();
  const std::size_t n = d.arrayLength();
  r.items.reserve(std::min(n, d.remaining() / 30));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    auto& m = r.items.emplace_back();
    m.id = d.uint32();
    static_cast<MonitoringParameters&>(m) = monitoringParameters(d);
  }
  return r;
}

MonitoredItemsRequest decodeDeleteMonitoredItemsRequest(Decoder& d) {
  MonitoredItemsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.itemIds = uint32Array(d);
  return r;
}

SetTriggeringRequest decodeSetTriggeringRequest(Decoder& d) {
  SetTriggeringRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.triggeringItemId = d.uint32();
  r.linksToAdd = uint32Array(d);
  r.linksToRemove = uint32Array(d);
  return r;
}

MonitoredItemsRequest decodeSetMonitoringModeRequest(Decoder& d) {
  MonitoredItemsRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.monitoringMode = d.uint32();
  r.itemIds = uint32Array(d);
  return r;
}

PublishRequest decodePublishRequest(Decoder& d) {
  PublishRequest r;
  r.header = decodeRequestHeader(d);
  const std::size_t n = d.arrayLength();
  r.acknowledgements.reserve(std::min(n, d.remaining() / 8));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    const std::uint32_t sid = d.uint32();
    r.acknowledgements.emplace_back(sid, d.uint32());
  }
  return r;
}

RepublishRequest decodeRepublishRequest(Decoder& d) {
  RepublishRequest r;
  r.header = decodeRequestHeader(d);
  r.subscriptionId = d.uint32();
  r.sequenceNumber = d.uint32();
  return r;
}

}  // namespace OpcToolbox::ua
