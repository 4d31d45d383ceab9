#include "opctoolbox/ua/encoding/ua_client_messages.h"

#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

// Responses of a discovery server are small: what is larger is damage.
constexpr DecodeLimits kResponseLimits{1u << 16, 1u << 16, 1000};
constexpr int kMaxDiagnosticDepth = 4;

void skipDiagnosticInfo(Decoder& d, int depth) {
  const std::uint8_t mask = d.byte();
  if (mask & 0x01) d.int32();  // symbolic id
  if (mask & 0x02) d.int32();  // namespace uri
  if (mask & 0x08) d.int32();  // locale
  if (mask & 0x04) d.int32();  // localized text
  if (mask & 0x10) d.string();  // additional info
  if (mask & 0x20) d.statusCode();  // inner status code
  if (mask & 0x40) {
    if (depth >= kMaxDiagnosticDepth) return d.fail();
    skipDiagnosticInfo(d, depth + 1);
  }
}

void skipStrings(Decoder& d) {
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) d.string();
}

// The body must hold the expected response and nothing after it.
StatusCode finish(const Decoder& d) {
  if (!d.ok()) return d.status();
  return d.remaining() == 0 ? kGood : kBadDecodingError;
}

StatusCode begin(Decoder& d, std::uint32_t expected, StatusCode& serviceResult) {
  const ResponseStart s = decodeResponseStart(d);
  if (!d.ok()) return d.status();
  serviceResult = s.serviceResult;
  if (s.typeId == id::ServiceFault) {
    // A fault that calls itself good is a contradiction.
    if (s.serviceResult == kGood) serviceResult = kBadInternalError;
    return kGood;
  }
  if (s.typeId != expected) return kBadDecodingError;
  return kGood;
}

}  // namespace

void encodeClientRequestHeader(Encoder& e, std::uint32_t requestHandle, std::uint32_t timeoutHintMs) {
  e.nodeId(NodeId{});  // no session
  e.dateTime(nowTicks());
  e.uint32(requestHandle);
  e.uint32(0);  // no diagnostics
  e.string(UaString{});
  e.uint32(timeoutHintMs);
  e.nodeId(NodeId{});  // no additional header
  e.byte(0);
}

std::vector<std::uint8_t> encodeOpenSecureChannelRequest(std::uint32_t requestHandle, std::uint32_t securityMode,
                                                         const UaString& clientNonce, std::uint32_t lifetimeMs) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::OpenSecureChannelRequest);
  encodeClientRequestHeader(e, requestHandle, 0);
  e.uint32(0);  // protocol version
  e.uint32(0);  // issue
  e.uint32(securityMode);
  e.byteString(clientNonce);
  e.uint32(lifetimeMs);
  return out;
}

std::vector<std::uint8_t> encodeCloseSecureChannelRequest(std::uint32_t requestHandle) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::CloseSecureChannelRequest);
  encodeClientRequestHeader(e, requestHandle, 0);
  return out;
}

std::vector<std::uint8_t> encodeGetEndpointsRequest(std::uint32_t requestHandle, const std::string& endpointUrl) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::GetEndpointsRequest);
  encodeClientRequestHeader(e, requestHandle, 0);
  e.string(endpointUrl);
  e.arrayLength(0);  // locales
  e.arrayLength(0);  // profile uris
  return out;
}

namespace {

// A RegisterServer request, or RegisterServer2's with the server's multicast configuration.
std::vector<std::uint8_t> encodeRegistration(std::uint32_t type, std::uint32_t requestHandle, const ServerRegistration& s) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, type);
  encodeClientRequestHeader(e, requestHandle, 0);
  e.string(s.serverUri);
  e.string(s.productUri);
  e.arrayLength(1);
  e.localizedText(LocalizedText{std::string("en"), s.serverName});
  e.uint32(0);  // ApplicationType Server
  e.string(UaString{});  // gateway server uri
  e.arrayLength(static_cast<std::int32_t>(s.discoveryUrls.size()));
  for (const std::string& url : s.discoveryUrls) e.string(url);
  e.string(UaString{});  // semaphore file path
  e.boolean(s.isOnline);
  if (type != id::RegisterServer2Request) return out;
  std::vector<std::uint8_t> mdns;
  Encoder m(mdns);
  m.string(s.mdnsServerName);
  m.arrayLength(static_cast<std::int32_t>(s.capabilities.size()));
  for (const std::string& c : s.capabilities) m.string(c);
  e.arrayLength(1);
  e.extensionObject(ExtensionObject{NodeId::numericId(0, id::MdnsDiscoveryConfiguration), 1,
                                    std::string(mdns.begin(), mdns.end())});
  return out;
}

}  // namespace

std::vector<std::uint8_t> encodeRegisterServerRequest(std::uint32_t requestHandle, const ServerRegistration& s) {
  return encodeRegistration(id::RegisterServerRequest, requestHandle, s);
}

std::vector<std::uint8_t> encodeRegisterServer2Request(std::uint32_t requestHandle, const ServerRegistration& s) {
  return encodeRegistration(id::RegisterServer2Request, requestHandle, s);
}

ResponseStart decodeResponseStart(Decoder& d) {
  ResponseStart s;
  const NodeId type = d.nodeId();
  if (d.ok() && (type.ns != 0 || type.kind != NodeId::Kind::Numeric)) d.fail();
  s.typeId = type.numeric;
  d.dateTime();
  s.requestHandle = d.uint32();
  s.serviceResult = d.statusCode();
  skipDiagnosticInfo(d, 0);
  skipStrings(d);
  d.extensionObject();
  return s;
}

StatusCode decodeOpenSecureChannelResponse(std::span<const std::uint8_t> body, OpenSecureChannelResult& out,
                                           StatusCode& serviceResult) {
  Decoder d(body, kResponseLimits);
  if (const StatusCode rc = begin(d, id::OpenSecureChannelResponse, serviceResult); rc != kGood) return rc;
  if (serviceResult != kGood) return kGood;
  OpenSecureChannelResult r;
  d.uint32();  // protocol version
  r.channelId = d.uint32();
  r.tokenId = d.uint32();
  d.dateTime();
  r.lifetimeMs = d.uint32();
  r.serverNonce = d.byteString();
  if (const StatusCode rc = finish(d); rc != kGood) return rc;
  out = std::move(r);
  return kGood;
}

StatusCode decodeGetEndpointsResponse(std::span<const std::uint8_t> body, std::vector<EndpointOffer>& out,
                                      StatusCode& serviceResult) {
  Decoder d(body, kResponseLimits);
  if (const StatusCode rc = begin(d, id::GetEndpointsResponse, serviceResult); rc != kGood) return rc;
  if (serviceResult != kGood) return kGood;
  std::vector<EndpointOffer> offers;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    EndpointOffer o;
    o.endpointUrl = d.string().value_or("");
    o.applicationUri = d.string().value_or("");
    d.string();  // product uri
    d.localizedText();
    d.uint32();  // application type
    d.string();  // gateway
    d.string();  // discovery profile
    skipStrings(d);
    o.serverCertificate = d.byteString().value_or("");
    o.securityMode = d.uint32();
    o.policyUri = d.string().value_or("");
    const std::size_t tokens = d.arrayLength();
    for (std::size_t t = 0; t < tokens && d.ok(); ++t) {
      d.string();
      d.uint32();
      d.string();
      d.string();
      d.string();
    }
    d.string();  // transport profile
    o.securityLevel = d.byte();
    offers.push_back(std::move(o));
  }
  if (const StatusCode rc = finish(d); rc != kGood) return rc;
  out = std::move(offers);
  return kGood;
}

StatusCode decodeRegisterServer2Response(std::span<const std::uint8_t> body, std::vector<StatusCode>& results,
                                         StatusCode& serviceResult) {
  Decoder d(body, kResponseLimits);
  if (const StatusCode rc = begin(d, id::RegisterServer2Response, serviceResult); rc != kGood) return rc;
  if (serviceResult != kGood) return kGood;
  std::vector<StatusCode> r;
  const std::size_t n = d.arrayLength();
  for (std::size_t i = 0; i < n && d.ok(); ++i) r.push_back(d.statusCode());
  const std::size_t infos = d.arrayLength();
  for (std::size_t i = 0; i < infos && d.ok(); ++i) skipDiagnosticInfo(d, 0);
  if (const StatusCode rc = finish(d); rc != kGood) return rc;
  results = std::move(r);
  return kGood;
}

StatusCode decodeRegisterServerResponse(std::span<const std::uint8_t> body, StatusCode& serviceResult) {
  Decoder d(body, kResponseLimits);
  if (const StatusCode rc = begin(d, id::RegisterServerResponse, serviceResult); rc != kGood) return rc;
  if (serviceResult != kGood) return kGood;
  return finish(d);
}

}  // namespace OpcToolbox::ua
