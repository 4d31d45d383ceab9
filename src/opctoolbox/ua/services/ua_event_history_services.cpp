// HistoryRead of events (OPC UA Part 11, ReadEventDetails): the events the server raised,
// kept with every field, read back through the same EventFilter a subscription takes, from
// the Server object (every event) or a branch (the events of what is under it). Reads run
// on the history thread; a read that does not end in one call leaves a continuation point.

#include <algorithm>

#include "history/history_service.h"
#include "opctoolbox/application.h"
#include "opctoolbox/ua/encoding/ua_history_messages.h"
#include "opctoolbox/ua/events/ua_event_record.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

constexpr StatusCode kBadHistoryOperationUnsupported = 0x80720000u, kBadHistoryOperationInvalid = 0x80710000u,
                     kBadEventFilterInvalid = 0x80470000u;
constexpr std::uint32_t kHistoryEvent = 661;  // HistoryEvent, its binary encoding
constexpr std::uint32_t kEventFilter = 727;
// Events one call gives in all, shared out between its nodes as values are.
constexpr std::size_t kEventsPerCall = 10000;

struct EventNode {
  StatusCode status = kGood;
  std::string scope;  // a branch's item id; empty: the Server object's, every event
  std::string continuationPoint;
};

// A continuation of an event read is told from a value read of the same node.
std::string continuationKey(const std::string& scope) { return "events:" + scope; }

}  // namespace

void UaServer::historyReadEvents(Call& c, HistoryReadRequest& r) {
  Decoder d({reinterpret_cast<const std::uint8_t*>(r.details.body.data()), r.details.body.size()});
  vexahv::history::EventRequest request;
  request.maxEvents = d.uint32();
  request.start = d.dateTime();
  request.end = d.dateTime();
  if (!d.ok() || r.details.encoding != 1) return c.fault(kBadHistoryOperationInvalid);
  // The EventFilter is the rest of the details, as a subscription's would be wrapped.
  const ExtensionObject filterObject{NodeId::numericId(0, kEventFilter), 1, r.details.body.substr(d.position())};
  auto filter = std::make_shared<EventFilterSpec>();
  EventFilterCheck check;
  const StatusCode filterStatus = parseEventFilter(filterObject, eventTypes_, *filter, check);

  const std::vector<ElementPtr> elements = elementsFor(app_.getDaAddressSpaceRoot(), r.nodes.size(),
                                                       [&](std::size_t i) -> const NodeIdRef& { return r.nodes[i].nodeId; });
  std::vector<EventNode> nodes(r.nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const NodeIdRef& id = r.nodes[i].nodeId;
    nodes[i].continuationPoint = std::move(r.nodes[i].continuationPoint);
    if (id.ns == 0 && id.kind == NodeId::Kind::Numeric && id.numeric == ns0::Server) {
      // every event
    } else if (!elements[i]) {
      nodes[i].status = kBadNodeIdUnknown;
    } else if (!elements[i]->getHasChildren()) {
      nodes[i].status = kBadHistoryOperationUnsupported;  // a variable notifies no events
    } else {
      nodes[i].scope = elements[i]->getItemId();
    }
    if (nodes[i].status == kGood && filterStatus != kGood) nodes[i].status = kBadEventFilterInvalid;
  }
  auto job = [this, session = c.session, respond = c.respond, handle = c.requestHandle, request, filter,
              release = r.releaseContinuationPoints, nodes = std::move(nodes)]() mutable {
    vexahv::history::HistoryService* history = app_.history();
    std::vector<std::uint8_t> body;
    Encoder e(body);
    beginMessage(e, id::HistoryReadResponse);
    encodeResponseHeader(e, handle, kGood);
    e.arrayLength(static_cast<std::int32_t>(nodes.size()));
    std::size_t budget = kEventsPerCall, nodesLeft = nodes.size();
    for (EventNode& node : nodes) {
      const std::size_t share = std::max<std::size_t>(1, budget / std::max<std::size_t>(nodesLeft--, 1));
      std::optional<vexahv::history::EventCursor> resume;
      if (!node.continuationPoint.empty()) {
        auto kept = session->takeHistoryContinuation(node.continuationPoint);
        if (kept && kept->itemId == continuationKey(node.scope) && kept->events) resume = std::move(kept->events);
        if (!resume && node.status == kGood) node.status = kBadContinuationPointInvalid;
      }
      if (node.status == kGood && history == nullptr) node.status = kBadHistoryOperationUnsupported;
      if (release || node.status != kGood) {
        e.statusCode(node.status);
        e.byteString(UaString{});
        e.extensionObject(ExtensionObject{});
        continue;
      }
      vexahv::history::EventRequest q = resume ? resume->request : request;
      q.scope = node.scope;
      std::vector<std::vector<Variant>> fields;
      const vexahv::history::EventAnswer answer = history->readEvents(
          q, share, resume ? &*resume : nullptr, [&](const vexahv::history::EventRecord& record) {
            UaEvent event;
            // A damaged record is no event of the answer's.
            if (!decodeEventRecord(record.body, event) || !eventPasses(*filter, event, eventTypes_)) return false;
            fields.push_back(selectEventFields(*filter, event, eventTypes_));
            return true;
          });
      budget -= std::min(budget, fields.size());
      StatusCode status = answer.status;
      std::string point;
      if (answer.more) {
        Session::HistoryContinuation kept;
        kept.itemId = continuationKey(node.scope);
        kept.events = std::move(*answer.more);
        point = session->keepHistoryContinuation(std::move(kept), limits_.maxContinuationPoints);
        if (point.empty()) status = kBadNoContinuationPoints;
      }
      e.statusCode(status);
      e.byteString(point.empty() ? UaString{} : UaString(point));
      if (status != kGood && status != vexahv::history::kGoodNoData) {
        e.extensionObject(ExtensionObject{});
        continue;
      }
      // HistoryEvent, encoded in place: its events, each the fields its select clauses pick.
      e.nodeId(NodeId::numericId(0, kHistoryEvent));
      e.byte(1);
      const std::size_t lengthAt = e.size();
      e.int32(0);
      e.arrayLength(static_cast<std::int32_t>(fields.size()));
      for (const auto& event : fields) {
        e.arrayLength(static_cast<std::int32_t>(event.size()));
        for (const Variant& v : event) e.variant(v);
      }
      e.patchUInt32(lengthAt, static_cast<std::uint32_t>(e.size() - lengthAt - 4));
    }
    e.arrayLength(0);
    respond(std::move(body));
  };
  if (!historyJobs_.post(std::move(job))) c.fault(kBadTooManyOperations);
}

}  // namespace OpcToolbox::ua
