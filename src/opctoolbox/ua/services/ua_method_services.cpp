// The Method service set: Call, for the Server object's GetMonitoredItems and ResendData,
// and the methods of Alarms & Conditions (ua_alarm_services.cpp).

#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

void UaServer::call(Call& c, CallRequest& request) {
  const std::vector<CallMethodRequest>& calls = request.calls;
  const std::shared_ptr<Session>& session = c.session;
  using Result = MethodResult;
  std::vector<Result> results(calls.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const CallMethodRequest& m = calls[i];
    Result& r = results[i];
    if (auto alarm = callAlarmMethod(c, m)) {
      r = std::move(*alarm);
      continue;
    }
    const bool getItems = m.method == NodeId::numericId(0, ns0::GetMonitoredItems);
    const bool resend = m.method == NodeId::numericId(0, ns0::ResendData);
    if (!(m.object == NodeId::numericId(0, ns0::Server))) {
      r.status = (getItems || resend) ? kBadMethodInvalid : kBadNodeIdUnknown;
      continue;
    }
    if (!getItems && !resend) {
      r.status = kBadMethodInvalid;
      continue;
    }
    if (m.inputs.empty()) {
      r.status = kBadArgumentsMissing;
      continue;
    }
    if (m.inputs.size() > 1) {
      r.status = kBadTooManyArguments;
      continue;
    }
    const ua::Variant& arg = m.inputs.front();
    if (arg.type != BuiltinType::UInt32 || arg.isArray || arg.values.empty()) {
      r.status = 0x80AB0000u;  // BadInvalidArgument
      r.inputResults = {kBadTypeMismatch};
      continue;
    }
    const std::uint32_t sid = std::get<std::uint32_t>(arg.values.front());
    std::lock_guard lock(session->mutex);
    auto it = session->subscriptions.find(sid);
    if (it == session->subscriptions.end()) {
      r.status = kBadSubscriptionIdInvalid;
      continue;
    }
    if (getItems) {
      ua::Variant server{BuiltinType::UInt32, true, {}}, client{BuiltinType::UInt32, true, {}};
      for (const auto& [iid, item] : it->second->items) {
        server.values.emplace_back(item->id);
        client.values.emplace_back(item->clientHandle);
      }
      r.outputs = {std::move(server), std::move(client)};
    } else {
      for (const auto& [iid, item] : it->second->items) item->resend();
    }
  }
  c.respond(encodeResults(id::CallResponse, c.requestHandle, results, [](Encoder& e, const Result& r) {
    e.statusCode(r.status);
    e.arrayLength(static_cast<std::int32_t>(r.inputResults.size()));
    for (StatusCode code : r.inputResults) e.statusCode(code);
    e.arrayLength(0);
    e.arrayLength(static_cast<std::int32_t>(r.outputs.size()));
    for (const auto& v : r.outputs) e.variant(v);
  }));
}

}  // namespace OpcToolbox::ua
