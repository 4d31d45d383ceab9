#pragma once
// The requests of the Subscription and MonitoredItem service sets (OPC UA Part 4, 5.12 and
// 5.13) decoded from their binary encoding after the type id (Part 6). operations() is
// what the request asks to be done one by one: the service table bounds it.

#include <cstdint>
#include <utility>
#include <vector>

#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {

struct CreateSubscriptionRequest {
  RequestHeader header;
  double publishingInterval = 0;
  std::uint32_t lifetimeCount = 0;
  std::uint32_t maxKeepAliveCount = 0;
  std::uint32_t maxNotificationsPerPublish = 0;
  bool publishingEnabled = false;
  std::uint8_t priority = 0;
};
CreateSubscriptionRequest decodeCreateSubscriptionRequest(Decoder& d);

struct ModifySubscriptionRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  double publishingInterval = 0;
  std::uint32_t lifetimeCount = 0;
  std::uint32_t maxKeepAliveCount = 0;
  std::uint32_t maxNotificationsPerPublish = 0;
  std::uint8_t priority = 0;  // kept and shown; every subscription is served alike
};
ModifySubscriptionRequest decodeModifySubscriptionRequest(Decoder& d);

// SetPublishingMode, DeleteSubscriptions and TransferSubscriptions: a list of
// subscription ids and what to do with them.
struct SubscriptionsRequest {
  RequestHeader header;
  std::vector<std::uint32_t> subscriptionIds;
  bool flag = false;  // publishingEnabled, or sendInitialValues
  std::size_t operations() const { return subscriptionIds.size(); }
};
SubscriptionsRequest decodeSetPublishingModeRequest(Decoder& d);
SubscriptionsRequest decodeDeleteSubscriptionsRequest(Decoder& d);
SubscriptionsRequest decodeTransferSubscriptionsRequest(Decoder& d);

// MonitoringParameters, as create and modify requests carry them.
struct MonitoringParameters {
  std::uint32_t clientHandle = 0;
  double sampling = 0;
  ExtensionObject filter;
  std::uint32_t queueSize = 1;
  bool discardOldest = true;
};

struct CreateMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  std::uint32_t timestampsToReturn = 0;
  // The node ids stay in the request's bytes: a call may name ten thousand items.
  struct Create : MonitoringParameters {
    NodeIdRef nodeId;
    std::uint32_t attributeId = 13;
    std::uint32_t mode = 2;
  };
  std::vector<Create> items;
  std::size_t operations() const { return items.size(); }
};
// The request refers to d's bytes: use it while they live.
CreateMonitoredItemsRequest decodeCreateMonitoredItemsRequest(Decoder& d);

struct ModifyMonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  std::uint32_t timestampsToReturn = 0;
  struct Modify : MonitoringParameters {
    std::uint32_t id = 0;
  };
  std::vector<Modify> items;
  std::size_t operations() const { return items.size(); }
};
ModifyMonitoredItemsRequest decodeModifyMonitoredItemsRequest(Decoder& d);

// DeleteMonitoredItems and SetMonitoringMode.
struct MonitoredItemsRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  std::uint32_t monitoringMode = 0;  // SetMonitoringMode's
  std::vector<std::uint32_t> itemIds;
  std::size_t operations() const { return itemIds.size(); }
};
MonitoredItemsRequest decodeDeleteMonitoredItemsRequest(Decoder& d);

struct SetTriggeringRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  std::uint32_t triggeringItemId = 0;
  std::vector<std::uint32_t> linksToAdd, linksToRemove;
  std::size_t operations() const { return linksToAdd.size() + linksToRemove.size(); }
};
SetTriggeringRequest decodeSetTriggeringRequest(Decoder& d);
MonitoredItemsRequest decodeSetMonitoringModeRequest(Decoder& d);

struct PublishRequest {
  RequestHeader header;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> acknowledgements;  // subscription, sequence number
};
PublishRequest decodePublishRequest(Decoder& d);

struct RepublishRequest {
  RequestHeader header;
  std::uint32_t subscriptionId = 0;
  std::uint32_t sequenceNumber = 0;
};
RepublishRequest decodeRepublishRequest(Decoder& d);

}  // namespace OpcToolbox::ua
