#pragma once
// The client's side of the messages a server sends to a discovery server (OPC UA Part 4,
// 5.4 and 5.5; Part 6, 6.7.4): the requests it encodes, and the responses it decodes. A
// response is outside input: its decoder takes nothing on trust and refuses damage whole
// with the decoder's status.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

namespace id {
inline constexpr std::uint32_t RegisterServer2Request = 12211, RegisterServer2Response = 12212;
inline constexpr std::uint32_t RegisterServerRequest = 437, RegisterServerResponse = 440;
inline constexpr std::uint32_t MdnsDiscoveryConfiguration = 12901;
}  // namespace id

// A request header without a session: discovery services take none.
void encodeClientRequestHeader(Encoder& e, std::uint32_t requestHandle, std::uint32_t timeoutHintMs);

std::vector<std::uint8_t> encodeOpenSecureChannelRequest(std::uint32_t requestHandle, std::uint32_t securityMode,
                                                         const UaString& clientNonce, std::uint32_t lifetimeMs);
std::vector<std::uint8_t> encodeCloseSecureChannelRequest(std::uint32_t requestHandle);
std::vector<std::uint8_t> encodeGetEndpointsRequest(std::uint32_t requestHandle, const std::string& endpointUrl);

// What a server tells a discovery server about itself (RegisteredServer, Part 4, 7.32).
struct ServerRegistration {
  std::string serverUri, productUri, serverName;
  std::vector<std::string> discoveryUrls;
  std::string mdnsServerName;
  std::vector<std::string> capabilities;  // Part 12's identifiers: "DA", "HD", ...
  bool isOnline = true;
};
std::vector<std::uint8_t> encodeRegisterServer2Request(std::uint32_t requestHandle, const ServerRegistration& server);
// The older service, for a discovery server that has no RegisterServer2: the same
// RegisteredServer without the multicast configuration.
std::vector<std::uint8_t> encodeRegisterServerRequest(std::uint32_t requestHandle, const ServerRegistration& server);

// Every response begins so; a ServiceFault is nothing more.
struct ResponseStart {
  std::uint32_t typeId = 0;
  std::uint32_t requestHandle = 0;
  StatusCode serviceResult = kGood;
};
// Decodes the type id and the response header; the decoder then stands at the body.
ResponseStart decodeResponseStart(Decoder& d);

struct OpenSecureChannelResult {
  std::uint32_t channelId = 0, tokenId = 0, lifetimeMs = 0;
  UaString serverNonce;
};
StatusCode decodeOpenSecureChannelResponse(std::span<const std::uint8_t> body, OpenSecureChannelResult& out,
                                           StatusCode& serviceResult);

struct EndpointOffer {
  std::string endpointUrl, applicationUri, policyUri;
  std::uint32_t securityMode = 0;
  std::uint8_t securityLevel = 0;
  std::string serverCertificate;  // DER
};
StatusCode decodeGetEndpointsResponse(std::span<const std::uint8_t> body, std::vector<EndpointOffer>& out,
                                      StatusCode& serviceResult);

// The service result and the result of each discovery configuration.
StatusCode decodeRegisterServer2Response(std::span<const std::uint8_t> body, std::vector<StatusCode>& configurationResults,
                                         StatusCode& serviceResult);
StatusCode decodeRegisterServerResponse(std::span<const std::uint8_t> body, StatusCode& serviceResult);

}  // namespace OpcToolbox::ua
