#pragma once
// The body of a CreateSessionRequest after its request header, as a client encodes it
// (OPC UA Part 4, 5.6.2): a client application description with applicationUri, the
// endpoint URL, the session name, a 32-byte nonce, the client's certificate (DER, or none)
// and the requested time-out.

#include <string>
#include <string_view>

#include "opctoolbox/ua/encoding/ua_binary.h"

inline void encodeCreateSessionBody(OpcToolbox::ua::Encoder& e, std::string_view applicationUri,
                                    std::string_view endpointUrl, std::string_view sessionName,
                                    const std::string& certificate, double timeoutMs) {
  using namespace OpcToolbox::ua;
  e.string(applicationUri.empty() ? UaString{} : UaString{std::string(applicationUri)});
  e.string(UaString{});  // product uri
  e.localizedText(LocalizedText{});
  e.uint32(1);  // client
  e.string(UaString{});  // gateway server uri
  e.string(UaString{});  // discovery profile uri
  e.arrayLength(0);      // discovery urls
  e.string(UaString{});  // server uri
  e.string(endpointUrl);
  e.string(sessionName);
  e.byteString(UaString{std::string(32, 'n')});
  e.byteString(certificate.empty() ? UaString{} : UaString{certificate});
  e.float64(timeoutMs);
  e.uint32(0);  // max response message size
}
