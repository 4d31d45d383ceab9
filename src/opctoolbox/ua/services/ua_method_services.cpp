// The Method service set: Call, for the Server object's GetMonitoredItems and ResendData,
// the methods of Alarms & Conditions (ua_alarm_services.cpp) and the application's folder
// methods (ua_folder_methods.cpp), which answer when their writes have ended.

#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

void UaServer::call(Call& c, CallRequest& request) {
  const std::vector<CallMethodRequest>& calls = request.calls;
  const std::shared_ptr<Session>& session = c.session;
  using Result = MethodResult;
  // The answer goes when the last call has its result: at once, or when its writes end.
  struct Pending {
    std::mutex mutex;
    std::vector<Result> results;
    std::size_t open = 1;  // the loop below holds one until it ends
    Respond respond;
    std::uint32_t handle = 0;
  };
  auto pending = std::make_shared<Pending>();
  pending->results.resize(calls.size());
  pending->respond = std::move(c.respond);
  pending->handle = c.requestHandle;
  auto release = [](const std::shared_ptr<Pending>& p) {
    {
      std::lock_guard lock(p->mutex);
      if (--p->open != 0) return;
    }
    p->respond(encodeResults(id::CallResponse, p->handle, p->results, [](Encoder& e, const Result& r) {
      e.statusCode(r.status);
      e.arrayLength(static_cast<std::int32_t>(r.inputResults.size()));
      for (StatusCode code : r.inputResults) e.statusCode(code);
      e.arrayLength(0);
      e.arrayLength(static_cast<std::int32_t>(r.outputs.size()));
      for (const auto& v : r.outputs) e.variant(v);
    }));
  };
  std::size_t writesLeft = limits_.maxNodesPerWrite;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const CallMethodRequest& m = calls[i];
    Result& r = pending->results[i];
    if (auto alarm = callAlarmMethod(c, m)) {
      r = std::move(*alarm);
      continue;
    }
    {
      std::lock_guard lock(pending->mutex);
      ++pending->open;
    }
    const bool folder = callFolderMethod(c, m, writesLeft, [pending, i, release](Result out) {
      {
        std::lock_guard lock(pending->mutex);
        pending->results[i] = std::move(out);
      }
      release(pending);
    });
    if (folder) continue;
    {
      std::lock_guard lock(pending->mutex);
      --pending->open;
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
      r.status = kBadInvalidArgument;
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
  release(pending);
}

}  // namespace OpcToolbox::ua
