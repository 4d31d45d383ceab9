#pragma once
// HistoryRead's request (OPC UA Part 4, 5.10.3; its details of Part 11), decoded from the
// wire; the details stay an ExtensionObject for the service to read by their type.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {

struct HistoryReadRequest {
  RequestHeader header;
  ExtensionObject details;
  std::uint32_t timestampsToReturn = 0;
  bool releaseContinuationPoints = false;
  struct Node {
    NodeIdRef nodeId;
    std::string_view indexRange;
    std::string continuationPoint;
  };
  std::vector<Node> nodes;
  std::size_t operations() const { return nodes.size(); }
};
// The request refers to d's bytes: use it while they live.
HistoryReadRequest decodeHistoryReadRequest(Decoder& d);

struct ReadRawDetails {
  bool isReadModified = false;
  std::int64_t startTime = 0;
  std::int64_t endTime = 0;
  std::uint32_t numValuesPerNode = 0;
  bool returnBounds = false;
};
// The details' body when they are ReadRawModifiedDetails; nullopt for another type, or a
// body that does not decode whole.
std::optional<ReadRawDetails> readRawDetailsOf(const ExtensionObject& details);

struct ReadAtTimeDetails {
  std::vector<std::int64_t> reqTimes;
  bool useSimpleBounds = true;
};
struct ReadProcessedDetails {
  std::int64_t startTime = 0;
  std::int64_t endTime = 0;
  double processingInterval = 0;  // ms
  std::vector<NodeId> aggregateTypes;
  // AggregateConfiguration (OPC UA Part 13): the client's, unless it takes the server's.
  bool useServerCapabilitiesDefaults = true;
  bool treatUncertainAsBad = true;
  std::uint8_t percentDataBad = 100;
  std::uint8_t percentDataGood = 100;
  bool useSlopedExtrapolation = false;
};
std::optional<ReadProcessedDetails> readProcessedDetailsOf(const ExtensionObject& details);

// The same for ReadAtTimeDetails.
std::optional<ReadAtTimeDetails> readAtTimeDetailsOf(const ExtensionObject& details);

}  // namespace OpcToolbox::ua
