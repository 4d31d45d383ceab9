#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

std::vector<std::string> stringArray(Decoder& d) {
  std::vector<std::string> out;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) out.push_back(d.string().value_or(""));
  return out;
}

void skipApplicationDescription(Decoder& d, std::string* name, std::string* uri = nullptr,
                                std::string* productUri = nullptr, std::uint32_t* type = nullptr) {
  const UaString applicationUri = d.string();
  if (uri != nullptr) *uri = applicationUri.value_or("");
  const UaString product = d.string();
  if (productUri != nullptr) *productUri = product.value_or("");
  const LocalizedText text = d.localizedText();
  if (name != nullptr) *name = text.text.value_or("");
  const std::uint32_t applicationType = d.uint32();
  if (type != nullptr) *type = applicationType;
  d.string();  // gateway server uri
  d.string();  // discovery profile uri
  stringArray(d);
}

SignatureData signatureData(Decoder& d) {
  SignatureData s;
  s.algorithm = d.string().value_or("");
  const std::string bytes = d.byteString().value_or("");
  s.signature.assign(bytes.begin(), bytes.end());
  return s;
}

}  // namespace

ReferenceDescription referenceTo(std::uint32_t type, bool forward, NodeId target, QualifiedName name,
                                 std::uint32_t nodeClass, std::uint32_t typeDefinition) {
  ReferenceDescription r;
  r.referenceTypeId = NodeId::numericId(0, type);
  r.isForward = forward;
  r.nodeId = std::move(target);
  r.displayName = LocalizedText{std::nullopt, name.name};
  r.browseName = std::move(name);
  r.nodeClass = nodeClass;
  r.typeDefinition = NodeId::numericId(0, typeDefinition);
  return r;
}

RequestHeader decodeRequestHeader(Decoder& d) {
  RequestHeader h;
  h.authenticationToken = d.nodeId();
  h.timestamp = d.dateTime();
  h.requestHandle = d.uint32();
  d.uint32();  // return diagnostics
  d.string();  // audit entry id
  h.timeoutHint = d.uint32();
  d.extensionObject();  // additional header
  return h;
}

void encodeResponseHeader(Encoder& e, std::uint32_t requestHandle, StatusCode result) {
  e.dateTime(nowTicks());
  e.uint32(requestHandle);
  e.statusCode(result);
  e.byte(0);          // no diagnostic info
  e.arrayLength(0);   // string table
  e.nodeId(NodeId{}); // no additional header
  e.byte(0);
}

void beginMessage(Encoder& e, std::uint32_t typeId) { e.nodeId(NodeId::numericId(0, typeId)); }

std::vector<std::uint8_t> encodeServiceFault(std::uint32_t requestHandle, StatusCode result) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::ServiceFault);
  encodeResponseHeader(e, requestHandle, result);
  return out;
}

std::vector<std::uint8_t> encodeStatusResults(std::uint32_t typeId, std::uint32_t requestHandle,
                                              const std::vector<StatusCode>& results) {
  return encodeResults(typeId, requestHandle, results, [](Encoder& e, StatusCode code) { e.statusCode(code); });
}

OpenSecureChannelRequest decodeOpenSecureChannelRequest(Decoder& d) {
  OpenSecureChannelRequest r;
  r.header = decodeRequestHeader(d);
  d.uint32();  // client protocol version
  r.requestType = d.uint32();
  r.securityMode = d.uint32();
  r.clientNonce = d.byteString();
  r.requestedLifetime = d.uint32();
  return r;
}

std::vector<std::uint8_t> encodeOpenSecureChannelResponse(std::uint32_t requestHandle, std::uint32_t channelId,
                                                          std::uint32_t tokenId, std::int64_t createdAt,
                                                          std::uint32_t lifetime, const UaString& serverNonce) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::OpenSecureChannelResponse);
  encodeResponseHeader(e, requestHandle, kGood);
  e.uint32(0);  // server protocol version
  e.uint32(channelId);
  e.uint32(tokenId);
  e.dateTime(createdAt);
  e.uint32(lifetime);
  e.byteString(serverNonce);
  return out;
}

GetEndpointsRequest decodeGetEndpointsRequest(Decoder& d) {
  GetEndpointsRequest r;
  r.header = decodeRequestHeader(d);
  r.endpointUrl = d.string().value_or("");
  stringArray(d);  // locale ids
  stringArray(d);  // profile uris
  return r;
}

CreateSessionRequest decodeCreateSessionRequest(Decoder& d) {
  CreateSessionRequest r;
  r.header = decodeRequestHeader(d);
  skipApplicationDescription(d, &r.clientName, &r.clientApplicationUri, &r.clientProductUri, &r.clientApplicationType);
  d.string();  // server uri
  r.endpointUrl = d.string().value_or("");
  r.sessionName = d.string().value_or("");
  r.clientNonce = d.byteString().value_or("");
  r.clientCertificate = d.byteString().value_or("");
  r.requestedTimeout = d.float64();
  r.maxResponseMessageSize = d.uint32();
  return r;
}

ActivateSessionRequest decodeActivateSessionRequest(Decoder& d) {
  ActivateSessionRequest r;
  r.header = decodeRequestHeader(d);
  r.clientSignature = signatureData(d);
  const std::size_t certs = d.arrayLength();
  for (std::size_t i = 0; i < certs && d.ok(); ++i) {
    d.byteString();
    d.byteString();
  }
  r.localeIds = stringArray(d);
  r.identityToken = d.extensionObject();
  r.identityTokenType = r.identityToken.typeId;
  r.userTokenSignature = signatureData(d);
  return r;
}

ReadRequest decodeReadRequest(Decoder& d) {
  ReadRequest r;
  r.header = decodeRequestHeader(d);
  r.maxAge = d.float64();
  r.timestampsToReturn = d.uint32();
  const std::size_t n = d.arrayLength();
  r.nodes.reserve(n);
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    ReadValueIdRef& v = r.nodes.emplace_back();
    v.nodeId = d.nodeIdRef();
    v.attributeId = d.uint32();
    v.hasIndexRange = d.stringView().value_or(std::string_view{}).size() > 0;
    d.uint16();  // data encoding: namespace, name
    v.hasDataEncoding = d.stringView().value_or(std::string_view{}).size() > 0;
  }
  return r;
}

BrowseRequest decodeBrowseRequest(Decoder& d) {
  BrowseRequest r;
  r.header = decodeRequestHeader(d);
  d.nodeId();    // view id
  d.dateTime();  // view timestamp
  d.uint32();    // view version
  r.maxReferencesPerNode = d.uint32();
  const std::size_t n = d.arrayLength();
  r.nodes.reserve(n);
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    BrowseDescription b;
    b.nodeId = d.nodeId();
    b.direction = d.uint32();
    b.referenceTypeId = d.nodeId();
    b.includeSubtypes = d.boolean();
    b.nodeClassMask = d.uint32();
    b.resultMask = d.uint32();
    r.nodes.push_back(std::move(b));
  }
  return r;
}

BrowseNextRequest decodeBrowseNextRequest(Decoder& d) {
  BrowseNextRequest r;
  r.header = decodeRequestHeader(d);
  r.releaseContinuationPoints = d.boolean();
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) r.continuationPoints.push_back(d.byteString().value_or(""));
  return r;
}

void encodeReferenceDescription(Encoder& e, const ReferenceDescription& r) {
  // Target and type definition are local ExpandedNodeIds (no namespace URI, server 0),
  // whose encoding is that of the NodeId; encoding them so spares a copy of each id.
  e.nodeId(r.referenceTypeId);
  e.boolean(r.isForward);
  e.nodeId(r.nodeId);
  e.qualifiedName(r.browseName);
  e.localizedText(r.displayName);
  e.uint32(r.nodeClass);
  e.nodeId(r.typeDefinition);
}

void encodeBrowseResult(Encoder& e, const BrowseResult& r) {
  e.statusCode(r.status);
  e.byteString(r.continuationPoint);
  e.arrayLength(static_cast<std::int32_t>(r.references.size()));
  for (const auto& ref : r.references) encodeReferenceDescription(e, ref);
}

WriteRequest decodeWriteRequest(Decoder& d) {
  WriteRequest r;
  r.header = decodeRequestHeader(d);
  const std::size_t n = d.arrayLength();
  r.nodes.reserve(n);
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    WriteValue w;
    w.nodeId = d.nodeId();
    w.attributeId = d.uint32();
    w.indexRange = d.string();
    w.value = d.dataValue();
    r.nodes.push_back(std::move(w));
  }
  return r;
}

CloseSessionRequest decodeCloseSessionRequest(Decoder& d) {
  CloseSessionRequest r;
  r.header = decodeRequestHeader(d);
  r.deleteSubscriptions = d.boolean();
  return r;
}

CancelRequest decodeCancelRequest(Decoder& d) {
  CancelRequest r;
  r.header = decodeRequestHeader(d);
  r.requestHandle = d.uint32();
  return r;
}

FindServersRequest decodeFindServersRequest(Decoder& d) {
  FindServersRequest r;
  r.header = decodeRequestHeader(d);
  r.endpointUrl = d.string();
  stringArray(d);  // locale ids
  r.serverUris = stringArray(d);
  return r;
}

TranslateBrowsePathsRequest decodeTranslateBrowsePathsRequest(Decoder& d) {
  TranslateBrowsePathsRequest r;
  r.header = decodeRequestHeader(d);
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    BrowsePath& p = r.paths.emplace_back();
    p.start = d.nodeId();
    const std::size_t m = d.arrayLength();
    for (std::size_t k = 0; k < m && d.ok(); ++k) {
      RelativePathElement& e = p.elements.emplace_back();
      e.referenceType = d.nodeId();
      e.inverse = d.boolean();
      e.subtypes = d.boolean();
      e.target = d.qualifiedName();
    }
  }
  return r;
}

RegisterNodesRequest decodeRegisterNodesRequest(Decoder& d) {
  RegisterNodesRequest r;
  r.header = decodeRequestHeader(d);
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) r.nodes.push_back(d.nodeId());
  return r;
}

CallRequest decodeCallRequest(Decoder& d) {
  CallRequest r;
  r.header = decodeRequestHeader(d);
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    CallMethodRequest& m = r.calls.emplace_back();
    m.object = d.nodeId();
    m.method = d.nodeId();
    const std::size_t k = d.arrayLength();
    for (std::size_t j = 0; j < k && d.ok(); ++j) m.inputs.push_back(d.variant());
  }
  return r;
}

}  // namespace OpcToolbox::ua
