#include "opctoolbox/ua/encoding/ua_history_messages.h"

namespace OpcToolbox::ua {

HistoryReadRequest decodeHistoryReadRequest(Decoder& d) {
  HistoryReadRequest r;
  r.header = decodeRequestHeader(d);
  r.details = d.extensionObject();
  r.timestampsToReturn = d.uint32();
  r.releaseContinuationPoints = d.boolean();
  const std::size_t n = d.arrayLength();
  // Reserved only for as many as the bytes left can hold (7 bytes the least encoding).
  r.nodes.reserve(std::min(n, d.remaining() / 7));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    auto& node = r.nodes.emplace_back();
    node.nodeId = d.nodeIdRef();
    node.indexRange = d.stringView().value_or(std::string_view());
    d.uint16();  // data encoding: namespace, name
    d.stringView();
    node.continuationPoint = d.byteString().value_or("");
  }
  return r;
}

namespace {

bool isDetails(const ExtensionObject& details, std::uint32_t type) {
  return details.encoding == 1 && details.typeId.ns == 0 && details.typeId.kind == NodeId::Kind::Numeric &&
         details.typeId.numeric == type;
}

Decoder bodyOf(const ExtensionObject& details) {
  return Decoder({reinterpret_cast<const std::uint8_t*>(details.body.data()), details.body.size()});
}

}  // namespace

std::optional<ReadAtTimeDetails> readAtTimeDetailsOf(const ExtensionObject& details) {
  if (!isDetails(details, id::ReadAtTimeDetails)) return std::nullopt;
  Decoder d = bodyOf(details);
  ReadAtTimeDetails out;
  const std::size_t n = d.arrayLength();
  if (n > d.remaining() / 8) return std::nullopt;
  out.reqTimes.reserve(n);
  for (std::size_t i = 0; i < n && d.ok(); ++i) out.reqTimes.push_back(d.dateTime());
  out.useSimpleBounds = d.boolean();
  if (!d.ok() || d.remaining() != 0) return std::nullopt;
  return out;
}

std::optional<ReadProcessedDetails> readProcessedDetailsOf(const ExtensionObject& details) {
  if (!isDetails(details, id::ReadProcessedDetails)) return std::nullopt;
  Decoder d = bodyOf(details);
  ReadProcessedDetails out;
  out.startTime = d.dateTime();
  out.endTime = d.dateTime();
  out.processingInterval = d.float64();
  const std::size_t n = d.arrayLength();
  if (n > d.remaining() / 2) return std::nullopt;
  for (std::size_t i = 0; i < n && d.ok(); ++i) out.aggregateTypes.push_back(d.nodeId());
  out.useServerCapabilitiesDefaults = d.boolean();
  out.treatUncertainAsBad = d.boolean();
  out.percentDataBad = d.byte();
  out.percentDataGood = d.byte();
  out.useSlopedExtrapolation = d.boolean();
  if (!d.ok() || d.remaining() != 0) return std::nullopt;
  return out;
}

std::optional<ReadRawDetails> readRawDetailsOf(const ExtensionObject& details) {
  if (!isDetails(details, id::ReadRawModifiedDetails)) return std::nullopt;
  Decoder d = bodyOf(details);
  ReadRawDetails out;
  out.isReadModified = d.boolean();
  out.startTime = d.dateTime();
  out.endTime = d.dateTime();
  out.numValuesPerNode = d.uint32();
  out.returnBounds = d.boolean();
  if (!d.ok() || d.remaining() != 0) return std::nullopt;
  return out;
}

}  // namespace OpcToolbox::ua
