#pragma once
// The service messages the endpoint speaks (OPC UA Part 4), with their binary encodings
// (OPC UA Part 6): each request decoded from the body after its type id, each response
// encoded with its type id. Only the fields this server reads or writes are kept; the
// rest are read over and checked for damage all the same. operations() is what a request
// asks to be done one by one: the service table bounds it.

#include <cstdint>
#include <string>
#include <vector>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace OpcToolbox::ua {

// Binary encoding ids of the messages (namespace 0).
namespace id {
inline constexpr std::uint32_t ServiceFault = 397;
inline constexpr std::uint32_t AnonymousIdentityToken = 321;
inline constexpr std::uint32_t FindServersRequest = 422, FindServersResponse = 425;
inline constexpr std::uint32_t GetEndpointsRequest = 428, GetEndpointsResponse = 431;
inline constexpr std::uint32_t OpenSecureChannelRequest = 446, OpenSecureChannelResponse = 449;
inline constexpr std::uint32_t CloseSecureChannelRequest = 452;
inline constexpr std::uint32_t CreateSessionRequest = 461, CreateSessionResponse = 464;
inline constexpr std::uint32_t ActivateSessionRequest = 467, ActivateSessionResponse = 470;
inline constexpr std::uint32_t CloseSessionRequest = 473, CloseSessionResponse = 476;
inline constexpr std::uint32_t CancelRequest = 479, CancelResponse = 482;
inline constexpr std::uint32_t BrowseRequest = 527, BrowseResponse = 530;
inline constexpr std::uint32_t BrowseNextRequest = 533, BrowseNextResponse = 536;
inline constexpr std::uint32_t ReadRequest = 631, ReadResponse = 634;
inline constexpr std::uint32_t WriteRequest = 673, WriteResponse = 676;
inline constexpr std::uint32_t CreateMonitoredItemsRequest = 751, CreateMonitoredItemsResponse = 754;
inline constexpr std::uint32_t SetMonitoringModeRequest = 769, SetMonitoringModeResponse = 772;
inline constexpr std::uint32_t DeleteMonitoredItemsRequest = 781, DeleteMonitoredItemsResponse = 784;
inline constexpr std::uint32_t SetTriggeringRequest = 775, SetTriggeringResponse = 778;
inline constexpr std::uint32_t CreateSubscriptionRequest = 787, CreateSubscriptionResponse = 790;
inline constexpr std::uint32_t ModifySubscriptionRequest = 793, ModifySubscriptionResponse = 796;
inline constexpr std::uint32_t SetPublishingModeRequest = 799, SetPublishingModeResponse = 802;
inline constexpr std::uint32_t PublishRequest = 826, PublishResponse = 829;
inline constexpr std::uint32_t RepublishRequest = 832, RepublishResponse = 835;
inline constexpr std::uint32_t DeleteSubscriptionsRequest = 847, DeleteSubscriptionsResponse = 850;
inline constexpr std::uint32_t DataChangeFilter = 724;
inline constexpr std::uint32_t TranslateBrowsePathsRequest = 554, TranslateBrowsePathsResponse = 557;
inline constexpr std::uint32_t RegisterNodesRequest = 560, RegisterNodesResponse = 563;
inline constexpr std::uint32_t UnregisterNodesRequest = 566, UnregisterNodesResponse = 569;
inline constexpr std::uint32_t CallRequest = 712, CallResponse = 715;
inline constexpr std::uint32_t ModifyMonitoredItemsRequest = 763, ModifyMonitoredItemsResponse = 766;
inline constexpr std::uint32_t TransferSubscriptionsRequest = 841, TransferSubscriptionsResponse = 844;
inline constexpr std::uint32_t HistoryReadRequest = 664, HistoryReadResponse = 667;
inline constexpr std::uint32_t ReadRawModifiedDetails = 649, ReadProcessedDetails = 652, ReadAtTimeDetails = 655;
inline constexpr std::uint32_t HistoryData = 658;
}  // namespace id

inline constexpr StatusCode kBadInternalError = 0x80020000u;
inline constexpr StatusCode kBadRequestCancelledByClient = 0x802C0000u;
inline constexpr StatusCode kBadTimeout = 0x800A0000u;
inline constexpr StatusCode kBadServiceUnsupported = 0x800B0000u;
inline constexpr StatusCode kBadShutdown = 0x800C0000u;
inline constexpr StatusCode kBadNothingToDo = 0x800F0000u;
inline constexpr StatusCode kBadTooManyOperations = 0x80100000u;
inline constexpr StatusCode kBadIdentityTokenInvalid = 0x80200000u;
inline constexpr StatusCode kBadSessionIdInvalid = 0x80250000u;
inline constexpr StatusCode kBadSessionNotActivated = 0x80270000u;
inline constexpr StatusCode kBadTooManySessions = 0x80560000u;
inline constexpr StatusCode kBadTimestampsToReturnInvalid = 0x802B0000u;
inline constexpr StatusCode kBadNodeIdUnknown = 0x80340000u;
inline constexpr StatusCode kBadAttributeIdInvalid = 0x80350000u;
inline constexpr StatusCode kBadIndexRangeInvalid = 0x80360000u;
inline constexpr StatusCode kBadDataEncodingInvalid = 0x80380000u;
inline constexpr StatusCode kBadNotReadable = 0x803A0000u;
inline constexpr StatusCode kBadNotWritable = 0x803B0000u;
inline constexpr StatusCode kBadOutOfRange = 0x803C0000u;
inline constexpr StatusCode kBadContinuationPointInvalid = 0x804A0000u;
inline constexpr StatusCode kBadNoContinuationPoints = 0x804B0000u;
inline constexpr StatusCode kBadBrowseDirectionInvalid = 0x804D0000u;
inline constexpr StatusCode kBadMaxAgeInvalid = 0x80700000u;
inline constexpr StatusCode kBadTypeMismatch = 0x80740000u;
inline constexpr StatusCode kBadTooManyMonitoredItems = 0x80DB0000u;
inline constexpr StatusCode kBadWaitingForInitialData = 0x80320000u;
inline constexpr StatusCode kBadNotConnected = 0x808A0000u;
inline constexpr StatusCode kBadDeviceFailure = 0x808B0000u;
inline constexpr StatusCode kBadSecureChannelClosed = 0x80860000u;
inline constexpr StatusCode kBadWriteNotSupported = 0x80730000u;
inline constexpr StatusCode kBadSessionClosed = 0x80260000u;
inline constexpr StatusCode kBadSubscriptionIdInvalid = 0x80280000u;
inline constexpr StatusCode kBadMonitoredItemIdInvalid = 0x80420000u;
inline constexpr StatusCode kBadMonitoredItemFilterUnsupported = 0x80440000u;
inline constexpr StatusCode kBadFilterNotAllowed = 0x80450000u;
inline constexpr StatusCode kBadMonitoringModeInvalid = 0x80410000u;
inline constexpr StatusCode kBadTooManySubscriptions = 0x80770000u;
inline constexpr StatusCode kBadTooManyPublishRequests = 0x80780000u;
inline constexpr StatusCode kBadNoSubscription = 0x80790000u;
inline constexpr StatusCode kBadSequenceNumberUnknown = 0x807A0000u;
inline constexpr StatusCode kBadMessageNotAvailable = 0x807B0000u;
inline constexpr StatusCode kBadNotSupported = 0x803D0000u;
inline constexpr StatusCode kBadNoMatch = 0x806F0000u;
inline constexpr StatusCode kBadBrowseNameInvalid = 0x80600000u;
inline constexpr StatusCode kBadMethodInvalid = 0x80750000u;
inline constexpr StatusCode kBadArgumentsMissing = 0x80760000u;
inline constexpr StatusCode kBadInvalidArgument = 0x80AB0000u;
inline constexpr StatusCode kBadTooManyArguments = 0x80E50000u;
inline constexpr StatusCode kBadNodeIdInvalid = 0x80330000u;

struct RequestHeader {
  NodeId authenticationToken;
  std::int64_t timestamp = 0;
  std::uint32_t requestHandle = 0;
  std::uint32_t timeoutHint = 0;
};
RequestHeader decodeRequestHeader(Decoder& d);
void encodeResponseHeader(Encoder& e, std::uint32_t requestHandle, StatusCode result);

struct OpenSecureChannelRequest {
  RequestHeader header;
  std::uint32_t requestType = 0;  // 0 issue, 1 renew
  std::uint32_t securityMode = 1;
  std::uint32_t requestedLifetime = 0;
  UaString clientNonce;
};
OpenSecureChannelRequest decodeOpenSecureChannelRequest(Decoder& d);
std::vector<std::uint8_t> encodeOpenSecureChannelResponse(std::uint32_t requestHandle, std::uint32_t channelId,
                                                          std::uint32_t tokenId, std::int64_t createdAt,
                                                          std::uint32_t lifetime, const UaString& serverNonce);

// What a client needs to know of this server and its endpoints.
struct ServerIdentity {
  std::string applicationUri;
  std::string productUri;
  std::string applicationName;
};
struct GetEndpointsRequest {
  RequestHeader header;
  std::string endpointUrl;
};
GetEndpointsRequest decodeGetEndpointsRequest(Decoder& d);

struct CreateSessionRequest {
  RequestHeader header;
  std::string endpointUrl;
  std::string sessionName;
  std::string clientName;  // the client's ApplicationName text
  std::string clientApplicationUri;
  std::string clientProductUri;
  std::uint32_t clientApplicationType = 1;
  std::string clientNonce;
  std::string clientCertificate;  // DER, possibly followed by its issuers
  double requestedTimeout = 0;
  std::uint32_t maxResponseMessageSize = 0;
};
CreateSessionRequest decodeCreateSessionRequest(Decoder& d);

struct ActivateSessionRequest {
  RequestHeader header;
  SignatureData clientSignature;
  std::vector<std::string> localeIds;
  NodeId identityTokenType;  // the ExtensionObject's type
  ExtensionObject identityToken;
  SignatureData userTokenSignature;
};
ActivateSessionRequest decodeActivateSessionRequest(Decoder& d);

struct ReadValueId {
  NodeId nodeId;
  std::uint32_t attributeId = 13;
  UaString indexRange;
  QualifiedName dataEncoding;
};
// A node to read as a Read request names it, its texts left in the request's bytes.
struct ReadValueIdRef {
  NodeIdRef nodeId;
  std::uint32_t attributeId = 13;
  bool hasIndexRange = false;    // a non-empty index range
  bool hasDataEncoding = false;  // a data encoding with a name
};
struct ReadRequest {
  RequestHeader header;
  double maxAge = 0;
  std::uint32_t timestampsToReturn = 0;
  std::vector<ReadValueIdRef> nodes;
  std::size_t operations() const { return nodes.size(); }
};
// The request refers to d's bytes: use it while they live.
ReadRequest decodeReadRequest(Decoder& d);

struct BrowseDescription {
  NodeId nodeId;
  std::uint32_t direction = 0;  // 0 forward, 1 inverse, 2 both
  NodeId referenceTypeId;
  bool includeSubtypes = true;
  std::uint32_t nodeClassMask = 0;
  std::uint32_t resultMask = 0x3F;
};
struct BrowseRequest {
  RequestHeader header;
  std::uint32_t maxReferencesPerNode = 0;
  std::vector<BrowseDescription> nodes;
  std::size_t operations() const { return nodes.size(); }
};
BrowseRequest decodeBrowseRequest(Decoder& d);

struct BrowseNextRequest {
  RequestHeader header;
  bool releaseContinuationPoints = false;
  std::vector<std::string> continuationPoints;
  std::size_t operations() const { return continuationPoints.size(); }
};
BrowseNextRequest decodeBrowseNextRequest(Decoder& d);

struct ReferenceDescription {
  NodeId referenceTypeId;
  bool isForward = true;
  NodeId nodeId;
  QualifiedName browseName;
  LocalizedText displayName;
  std::uint32_t nodeClass = 0;
  NodeId typeDefinition;
};
// A reference of namespace 0's type (HasComponent, ...) to target, its display name its
// browse name's text.
ReferenceDescription referenceTo(std::uint32_t type, bool forward, NodeId target, QualifiedName name,
                                 std::uint32_t nodeClass, std::uint32_t typeDefinition);
struct BrowseResult {
  StatusCode status = kGood;
  UaString continuationPoint;
  std::vector<ReferenceDescription> references;
};
void encodeBrowseResult(Encoder& e, const BrowseResult& r);
void encodeReferenceDescription(Encoder& e, const ReferenceDescription& r);

struct WriteValue {
  NodeId nodeId;
  std::uint32_t attributeId = 13;
  UaString indexRange;
  DataValue value;
};
struct WriteRequest {
  RequestHeader header;
  std::vector<WriteValue> nodes;
  std::size_t operations() const { return nodes.size(); }
};
WriteRequest decodeWriteRequest(Decoder& d);

struct CloseSessionRequest {
  RequestHeader header;
  bool deleteSubscriptions = true;
};
CloseSessionRequest decodeCloseSessionRequest(Decoder& d);

struct CancelRequest {
  RequestHeader header;
  std::uint32_t requestHandle = 0;  // of the requests to cancel
};
CancelRequest decodeCancelRequest(Decoder& d);

struct FindServersRequest {
  RequestHeader header;
  UaString endpointUrl;
  std::vector<std::string> serverUris;  // empty: every server
};
FindServersRequest decodeFindServersRequest(Decoder& d);

struct RelativePathElement {
  NodeId referenceType;
  bool inverse = false;
  bool subtypes = true;
  QualifiedName target;
};
struct BrowsePath {
  NodeId start;
  std::vector<RelativePathElement> elements;
};
struct TranslateBrowsePathsRequest {
  RequestHeader header;
  std::vector<BrowsePath> paths;
  std::size_t operations() const { return paths.size(); }
};
TranslateBrowsePathsRequest decodeTranslateBrowsePathsRequest(Decoder& d);

// RegisterNodes and UnregisterNodes.
struct RegisterNodesRequest {
  RequestHeader header;
  std::vector<NodeId> nodes;
  std::size_t operations() const { return nodes.size(); }
};
RegisterNodesRequest decodeRegisterNodesRequest(Decoder& d);

struct CallMethodRequest {
  NodeId object, method;
  std::vector<Variant> inputs;
};
struct CallRequest {
  RequestHeader header;
  std::vector<CallMethodRequest> calls;
  std::size_t operations() const { return calls.size(); }
};
CallRequest decodeCallRequest(Decoder& d);

// Body of a message: its type id, then the fields.
void beginMessage(Encoder& e, std::uint32_t typeId);
std::vector<std::uint8_t> encodeServiceFault(std::uint32_t requestHandle, StatusCode result);
// A response of one result per operation: the header, each result as one(e, result)
// writes it, and no diagnostics.
template <class Results, class One>
std::vector<std::uint8_t> encodeResults(std::uint32_t typeId, std::uint32_t requestHandle, const Results& results,
                                        One&& one) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, typeId);
  encodeResponseHeader(e, requestHandle, kGood);
  e.arrayLength(static_cast<std::int32_t>(std::size(results)));
  for (const auto& result : results) one(e, result);
  e.arrayLength(0);
  return out;
}
std::vector<std::uint8_t> encodeStatusResults(std::uint32_t typeId, std::uint32_t requestHandle,
                                              const std::vector<StatusCode>& results);

}  // namespace OpcToolbox::ua
