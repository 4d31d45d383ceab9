// The HistoryRead service (OPC UA Part 4, 5.10.3) for raw values, values at given times
// and aggregates over intervals (Part 11, ReadRawModifiedDetails, ReadAtTimeDetails and
// ReadProcessedDetails): items the server keeps history of answer from it, on a thread
// of the server's own so that no read of the database holds the network thread; a read
// that does not end in one call (more values, times or intervals than its share of the
// call's) leaves a continuation point in its session.

#include <algorithm>

#include "history/history_service.h"
#include "opctoolbox/application.h"
#include "opctoolbox/ua/encoding/ua_history_messages.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {
namespace {

constexpr StatusCode kBadHistoryOperationInvalid = 0x80710000u;
constexpr StatusCode kBadHistoryOperationUnsupported = 0x80720000u;
// Values one call gives in all (about 1 MB encoded), shared out between its nodes, what a
// node leaves going to the nodes after it: a minute of a crate's channels comes in one
// answer, a day of many channels by continuation points, not as one answer of millions.
constexpr std::size_t kValuesPerCall = 50000;

constexpr std::uint32_t kReadEventDetails = 646;
constexpr StatusCode kBadAggregateListMismatch = 0x80D40000u, kBadAggregateNotSupported = 0x80D50000u;
// Raw values one processed read may go through for one node (about half a second).
constexpr std::size_t kRawRowsPerProcessedRead = 1'000'000;

std::optional<vexahv::history::Aggregate> aggregateOf(const NodeId& type) {
  using A = vexahv::history::Aggregate;
  if (type.ns != 0 || type.kind != NodeId::Kind::Numeric) return std::nullopt;
  switch (type.numeric) {
    case 2341: return A::Interpolative;
    case 2342: return A::Average;
    case 2346: return A::Minimum;
    case 2347: return A::Maximum;
    case 2352: return A::Count;
    default: return std::nullopt;
  }
}

// One node of the request, its ids copied out of the request's bytes.
struct NodeRead {
  StatusCode status = kGood;  // not Good: answered so, without reading
  ElementPtr element;
  std::string continuationPoint;
  vexahv::history::Aggregate aggregate{};  // of a processed read
};

enum class Mode { Raw, AtTime, Processed };

// A kept value as the node's DataType: integers stay integers, never through a double.
ua::Variant variantOf(const vexahv::history::Value& v, std::uint16_t datatype) {
  OpcToolbox::Variant t;
  if (const auto* n = std::get_if<std::int64_t>(&v)) {
    switch (datatype) {
      case VT_BOOL: t.setBOOL(*n != 0); break;
      case VT_UI1: case VT_UI2: case VT_UI4: case VT_UINT: t.setUI4(static_cast<std::uint32_t>(*n)); break;
      case VT_R4: case VT_R8: t.setR8(static_cast<double>(*n)); break;
      case VT_BSTR: t.setBSTR(std::to_string(*n)); break;
      default: t.setI4(static_cast<std::int32_t>(*n));
    }
  } else if (const auto* d = std::get_if<double>(&v)) {
    t.setR8(*d);
  } else if (const auto* s = std::get_if<std::string>(&v)) {
    t.setBSTR(*s);
  }
  return toUaAs(t, datatype);
}

void encodeHistoryResult(Encoder& e, StatusCode status, const std::string& point,
                         const std::vector<vexahv::history::Sample>* values, std::uint16_t datatype,
                         std::uint32_t timestamps) {
  e.statusCode(status);
  e.byteString(point.empty() ? UaString{} : UaString(point));
  if (values == nullptr) {
    e.extensionObject(ExtensionObject{});
    return;
  }
  // HistoryData, encoded in place: the type, the body's length (patched), the values.
  e.nodeId(NodeId::numericId(0, id::HistoryData));
  e.byte(1);
  const std::size_t lengthAt = e.size();
  e.int32(0);
  e.arrayLength(static_cast<std::int32_t>(values->size()));
  for (const auto& s : *values) {
    DataValue v = s.status == vexahv::history::kBadBoundNotFound || std::holds_alternative<std::monostate>(s.value)
                      ? statusOnly(s.status)
                      : valueOf(variantOf(s.value, datatype));
    v.status = s.status;
    if (timestamps == 0 || timestamps == 2) v.sourceTimestamp = s.time;
    if (timestamps == 1 || timestamps == 2) v.serverTimestamp = s.time;
    e.dataValue(v);
  }
  e.patchUInt32(lengthAt, static_cast<std::uint32_t>(e.size() - lengthAt - 4));
}

}  // namespace

void UaServer::historyRead(Call& c, HistoryReadRequest& r) {
  if (r.timestampsToReturn > 2) return c.fault(kBadTimestampsToReturnInvalid);
  const std::optional<ReadRawDetails> raw = readRawDetailsOf(r.details);
  std::optional<ReadAtTimeDetails> atTime;
  std::optional<ReadProcessedDetails> processed;
  if (!raw) atTime = readAtTimeDetailsOf(r.details);
  if (!raw && !atTime) processed = readProcessedDetailsOf(r.details);
  if (!raw && !atTime && !processed) {
    const bool events = r.details.typeId.ns == 0 && r.details.typeId.kind == NodeId::Kind::Numeric &&
                        r.details.typeId.numeric == kReadEventDetails;
    if (events) return historyReadEvents(c, r);
    return c.fault(kBadHistoryOperationInvalid);
  }
  // Modified values are never kept: history here is what was read, not what was edited.
  if (raw && raw->isReadModified) return c.fault(kBadHistoryOperationUnsupported);
  vexahv::history::ProcessedRequest intervals;
  vexahv::history::AggregateConfiguration configuration;
  // Both shares 0 is the structure as a client leaves it unset (node-opcua's default),
  // never a configuration anyone means: the server's.
  if (processed && !processed->useServerCapabilitiesDefaults &&
      (processed->percentDataBad != 0 || processed->percentDataGood != 0)) {
    configuration = {processed->treatUncertainAsBad, processed->percentDataBad, processed->percentDataGood,
                     processed->useSlopedExtrapolation};
  }
  const vexahv::history::AtTimeOptions atTimeOptions{atTime ? atTime->useSimpleBounds : true, false};
  if (processed) {
    if (processed->aggregateTypes.size() != r.nodes.size()) return c.fault(kBadAggregateListMismatch);
    const double ticks = processed->processingInterval * 10000.0;  // ms to 100 ns
    intervals = {processed->startTime, processed->endTime,
                 ticks >= 0 && ticks < 9e18 ? static_cast<std::int64_t>(ticks) : -1};
  }
  const Mode mode = raw ? Mode::Raw : atTime ? Mode::AtTime : Mode::Processed;

  const std::vector<ElementPtr> elements = elementsFor(app_.getDaAddressSpaceRoot(), r.nodes.size(),
                                                       [&](std::size_t i) -> const NodeIdRef& { return r.nodes[i].nodeId; });
  std::vector<NodeRead> nodes(r.nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].continuationPoint = std::move(r.nodes[i].continuationPoint);
    if (!elements[i]) nodes[i].status = kBadNodeIdUnknown;
    else if (elements[i]->getHasChildren()) nodes[i].status = kBadHistoryOperationUnsupported;
    else if (!r.nodes[i].indexRange.empty()) nodes[i].status = 0x80360000u;  // BadIndexRangeInvalid: scalars
    else nodes[i].element = elements[i];
    if (mode == Mode::Processed && nodes[i].status == kGood) {
      if (const auto a = aggregateOf(processed->aggregateTypes[i])) nodes[i].aggregate = *a;
      else nodes[i].status = kBadAggregateNotSupported;
    }
  }
  auto job = [this, session = c.session, respond = c.respond, handle = c.requestHandle, details = raw.value_or(ReadRawDetails{}),
              times = atTime ? std::move(atTime->reqTimes) : std::vector<std::int64_t>{}, mode, intervals, configuration,
              atTimeOptions,
              timestamps = r.timestampsToReturn, release = r.releaseContinuationPoints,
              nodes = std::move(nodes)]() mutable {
    vexahv::history::HistoryService* history = app_.history();
    std::vector<std::uint8_t> body;
    Encoder e(body);
    beginMessage(e, id::HistoryReadResponse);
    encodeResponseHeader(e, handle, kGood);
    e.arrayLength(static_cast<std::int32_t>(nodes.size()));
    std::size_t budget = kValuesPerCall, nodesLeft = nodes.size();
    const vexahv::history::RawRequest request{details.startTime, details.endTime, details.numValuesPerNode,
                                              details.returnBounds};
    for (NodeRead& node : nodes) {
      const std::size_t share = std::max<std::size_t>(1, budget / std::max<std::size_t>(nodesLeft--, 1));
      std::optional<Session::HistoryContinuation> resume;
      if (!node.continuationPoint.empty()) {
        resume = session->takeHistoryContinuation(node.continuationPoint);
        // Only a point of this kind of read continues it.
        if (resume && (resume->events || resume->mode != static_cast<int>(mode))) resume.reset();
        if (!resume && node.status == kGood) node.status = kBadContinuationPointInvalid;
      }
      if (release) {
        // Released: the point goes, nothing is read.
        encodeHistoryResult(e, node.status, {}, nullptr, 0, timestamps);
        continue;
      }
      if (node.status == kGood && (history == nullptr || !history->historizing(node.element->getItemId()))) {
        node.status = kBadHistoryOperationUnsupported;
      }
      if (node.status == kGood && resume && resume->itemId != node.element->getItemId()) {
        node.status = kBadContinuationPointInvalid;  // a point of another node
      }
      if (node.status != kGood) {
        encodeHistoryResult(e, node.status, {}, nullptr, 0, timestamps);
        continue;
      }
      const std::string itemId = node.element->getItemId();
      if (mode != Mode::Raw) {
        // This call's share of the times or intervals, from where the last call stopped.
        const std::size_t total = mode == Mode::AtTime ? times.size() : vexahv::history::intervalCount(intervals);
        const std::size_t first = resume ? resume->next : 0;
        const std::size_t count = std::min(share, total > first ? total - first : 0);
        StatusCode status = kGood;
        std::vector<vexahv::history::Sample> values;
        if (mode == Mode::AtTime) {
          values = history->readAtTime(itemId, std::span(times).subspan(std::min(first, times.size()), count), status,
                                       atTimeOptions);
        } else {
          values = history->readProcessed(itemId, vexahv::history::intervalsFrom(intervals, first, count), node.aggregate,
                                          kRawRowsPerProcessedRead, status, configuration);
        }
        budget -= std::min(budget, values.size());
        std::string point;
        if (status == kGood && first + count < total) {
          Session::HistoryContinuation kept;
          kept.itemId = itemId;
          kept.mode = static_cast<int>(mode);
          kept.next = first + count;
          point = session->keepHistoryContinuation(std::move(kept), limits_.maxContinuationPoints);
          if (point.empty()) status = kBadNoContinuationPoints;
        }
        // A count is an Int32 and an average a Double, whatever the item's DataType (Part 13).
        using A = vexahv::history::Aggregate;
        std::uint16_t type = node.element->getDatatype();
        if (mode == Mode::Processed && node.aggregate == A::Count) type = VT_I4;
        if (mode == Mode::Processed && node.aggregate == A::Average) type = VT_R8;
        encodeHistoryResult(e, status, point, status == kGood ? &values : nullptr, type, timestamps);
        continue;
      }
      vexahv::history::RawAnswer answer =
          history->readRaw(itemId, resume ? resume->cursor.request : request, share, resume ? &resume->cursor : nullptr);
      budget -= std::min(budget, answer.values.size());
      std::string point;
      StatusCode status = answer.status;
      if (answer.more) {
        Session::HistoryContinuation kept;
        kept.itemId = itemId;
        kept.cursor = std::move(*answer.more);
        point = session->keepHistoryContinuation(std::move(kept), limits_.maxContinuationPoints);
        if (point.empty()) status = kBadNoContinuationPoints;
      }
      if (status == kBadNoContinuationPoints || status == kBadHistoryOperationUnsupported) {
        encodeHistoryResult(e, status, {}, nullptr, 0, timestamps);
        continue;
      }
      encodeHistoryResult(e, status, point, &answer.values, node.element->getDatatype(), timestamps);
    }
    e.arrayLength(0);
    respond(std::move(body));
  };
  if (!historyJobs_.post(std::move(job))) c.fault(kBadTooManyOperations);
}

}  // namespace OpcToolbox::ua
