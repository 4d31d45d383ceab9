// The service table: for each request type its decoder, the session it needs, the limit of
// its operations and its service. The prologue that every request goes through is here,
// once: decode, session, operation count.

#include <algorithm>
#include <array>

#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

struct UaServer::Service {
  std::uint32_t requestType;
  void (*run)(UaServer& server, Call& call, Decoder& d);
  CountedService counted = CountedService::None;  // where its session's diagnostics count it
};

void UaServer::Call::fault(StatusCode status) {
  if (counters != nullptr) counters->requestRefused(status);
  if (session) session->counters.failed(counted, status);
  respond(encodeServiceFault(requestHandle, status));
}

template <class Request, Request (*Decode)(Decoder&), UaServer::SessionNeed Need,
          std::size_t ServerLimits::*Limit, void (UaServer::*Serve)(UaServer::Call&, Request&)>
void UaServer::serve(UaServer& server, Call& call, Decoder& d) {
  Request r = Decode(d);
  call.requestHandle = r.header.requestHandle;
  if (!d.ok()) return call.fault(kBadDecodingError);
  if constexpr (Need != SessionNeed::None) {
    StatusCode status = kGood;
    call.session = server.sessionFor(r.header, call.channelId, status, Need == SessionNeed::Activated, &call.role);
    if (call.session) call.session->counters.request(call.counted);
    // ActivateSession takes a session not yet activated, from any channel.
    if (Need == SessionNeed::Created ? !call.session : status != kGood) return call.fault(status);
  }
  if constexpr (requires { r.operations(); }) {
    const std::size_t n = r.operations();
    if (n == 0) return call.fault(kBadNothingToDo);
    if constexpr (Limit != nullptr) {
      if (n > server.limits_.*Limit) return call.fault(kBadTooManyOperations);
    }
  }
  (server.*Serve)(call, r);
}

const UaServer::Service* UaServer::serviceFor(std::uint32_t requestType) {
  using N = SessionNeed;
  using L = ServerLimits;
  using C = CountedService;
  static constexpr std::size_t ServerLimits::*kNone = nullptr;
  static const auto table = [] {
    std::array<Service, 27> t{{
        {id::GetEndpointsRequest,
         &serve<GetEndpointsRequest, decodeGetEndpointsRequest, N::None, kNone, &UaServer::getEndpoints>},
        {id::FindServersRequest,
         &serve<FindServersRequest, decodeFindServersRequest, N::None, kNone, &UaServer::findServers>},
        {id::CreateSessionRequest,
         &serve<CreateSessionRequest, decodeCreateSessionRequest, N::None, kNone, &UaServer::createSession>},
        {id::ActivateSessionRequest,
         &serve<ActivateSessionRequest, decodeActivateSessionRequest, N::Created, kNone, &UaServer::activateSession>},
        // CloseSession finds its session itself: it takes it out of the table under the lock.
        {id::CancelRequest, &serve<CancelRequest, decodeCancelRequest, N::Activated, kNone, &UaServer::cancel>},
        {id::CloseSessionRequest,
         &serve<CloseSessionRequest, decodeCloseSessionRequest, N::None, kNone, &UaServer::closeSession>},
        {id::ReadRequest, &serve<ReadRequest, decodeReadRequest, N::Activated, &L::maxNodesPerRead, &UaServer::read>, C::Read},
        {id::WriteRequest,
         &serve<WriteRequest, decodeWriteRequest, N::Activated, &L::maxNodesPerWrite, &UaServer::write>, C::Write},
        {id::BrowseRequest,
         &serve<BrowseRequest, decodeBrowseRequest, N::Activated, &L::maxNodesPerBrowse, &UaServer::browse>, C::Browse},
        {id::BrowseNextRequest, &serve<BrowseNextRequest, decodeBrowseNextRequest, N::Activated,
                                       &L::maxNodesPerBrowse, &UaServer::browseNext>, C::BrowseNext},
        {id::TranslateBrowsePathsRequest,
         &serve<TranslateBrowsePathsRequest, decodeTranslateBrowsePathsRequest, N::Activated, &L::maxNodesPerBrowse,
                &UaServer::translateBrowsePaths>, C::TranslateBrowsePathsToNodeIds},
        {id::RegisterNodesRequest, &serve<RegisterNodesRequest, decodeRegisterNodesRequest, N::Activated,
                                          &L::maxNodesPerBrowse, &UaServer::registerNodes>, C::RegisterNodes},
        {id::UnregisterNodesRequest, &serve<RegisterNodesRequest, decodeRegisterNodesRequest, N::Activated,
                                            &L::maxNodesPerBrowse, &UaServer::unregisterNodes>, C::UnregisterNodes},
        {id::CallRequest, &serve<CallRequest, decodeCallRequest, N::Activated, &L::maxNodesPerBrowse, &UaServer::call>, C::Call},
        {id::HistoryReadRequest, &serve<HistoryReadRequest, decodeHistoryReadRequest, N::Activated,
                                        &L::maxNodesPerHistoryReadData, &UaServer::historyRead>, C::HistoryRead},
        {id::CreateSubscriptionRequest, &serve<CreateSubscriptionRequest, decodeCreateSubscriptionRequest,
                                               N::Activated, kNone, &UaServer::createSubscription>, C::CreateSubscription},
        {id::ModifySubscriptionRequest, &serve<ModifySubscriptionRequest, decodeModifySubscriptionRequest,
                                               N::Activated, kNone, &UaServer::modifySubscription>, C::ModifySubscription},
        {id::SetPublishingModeRequest, &serve<SubscriptionsRequest, decodeSetPublishingModeRequest, N::Activated,
                                              &L::maxSubscriptionIdsPerCall, &UaServer::setPublishingMode>, C::SetPublishingMode},
        {id::DeleteSubscriptionsRequest, &serve<SubscriptionsRequest, decodeDeleteSubscriptionsRequest, N::Activated,
                                                &L::maxSubscriptionIdsPerCall, &UaServer::deleteSubscriptions>, C::DeleteSubscriptions},
        {id::TransferSubscriptionsRequest,
         &serve<SubscriptionsRequest, decodeTransferSubscriptionsRequest, N::Activated, &L::maxSubscriptionIdsPerCall,
                &UaServer::transferSubscriptions>, C::TransferSubscriptions},
        {id::CreateMonitoredItemsRequest,
         &serve<CreateMonitoredItemsRequest, decodeCreateMonitoredItemsRequest, N::Activated,
                &L::maxMonitoredItemsPerCall, &UaServer::createMonitoredItems>, C::CreateMonitoredItems},
        {id::ModifyMonitoredItemsRequest,
         &serve<ModifyMonitoredItemsRequest, decodeModifyMonitoredItemsRequest, N::Activated,
                &L::maxMonitoredItemsPerCall, &UaServer::modifyMonitoredItems>, C::ModifyMonitoredItems},
        {id::DeleteMonitoredItemsRequest,
         &serve<MonitoredItemsRequest, decodeDeleteMonitoredItemsRequest, N::Activated, &L::maxMonitoredItemsPerCall,
                &UaServer::deleteMonitoredItems>, C::DeleteMonitoredItems},
        {id::SetMonitoringModeRequest, &serve<MonitoredItemsRequest, decodeSetMonitoringModeRequest, N::Activated,
                                              &L::maxMonitoredItemsPerCall, &UaServer::setMonitoringMode>, C::SetMonitoringMode},
        {id::SetTriggeringRequest, &serve<SetTriggeringRequest, decodeSetTriggeringRequest, N::Activated,
                                          &L::maxMonitoredItemsPerCall, &UaServer::setTriggering>, C::SetTriggering},
        {id::PublishRequest, &serve<PublishRequest, decodePublishRequest, N::Activated, kNone, &UaServer::publish>, C::Publish},
        {id::RepublishRequest,
         &serve<RepublishRequest, decodeRepublishRequest, N::Activated, kNone, &UaServer::republish>, C::Republish},
    }};
    std::sort(t.begin(), t.end(), [](const Service& a, const Service& b) { return a.requestType < b.requestType; });
    return t;
  }();
  const auto it = std::lower_bound(table.begin(), table.end(), requestType,
                                   [](const Service& s, std::uint32_t type) { return s.requestType < type; });
  return it != table.end() && it->requestType == requestType ? &*it : nullptr;
}

void UaServer::handle(std::uint32_t channelId, std::span<const std::uint8_t> body, Respond respond) {
  Decoder d(body);
  const NodeId type = d.nodeId();
  Call call{channelId, 0, nullptr, Role::Reader, std::move(respond), &counters_};
  if (!d.ok() || type.ns != 0 || type.kind != NodeId::Kind::Numeric) return call.fault(kBadDecodingError);
  if (const Service* service = serviceFor(type.numeric); service != nullptr) {
    call.counted = service->counted;
    return service->run(*this, call, d);
  }
  const RequestHeader h = decodeRequestHeader(d);
  call.requestHandle = h.requestHandle;
  call.fault(d.ok() ? kBadServiceUnsupported : kBadDecodingError);
}

}  // namespace OpcToolbox::ua
