// What a discovery server answers the server's registration with, over any bytes: the
// first byte picks the decoder (Acknowledge, Error, OpenSecureChannel, GetEndpoints,
// RegisterServer2, RegisterServer, or the discovery URL of the settings), the rest is its
// input. Nothing crashes, no count read from the bytes is trusted for memory, and what is
// accepted holds together.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "opctoolbox/ua/channel/ua_transport.h"
#include "opctoolbox/ua/discovery/ua_client_channel.h"
#include "opctoolbox/ua/encoding/ua_client_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  if (size == 0) return 0;
  const std::span<const std::uint8_t> body(data + 1, size - 1);
  StatusCode service = kGood;
  switch (data[0] % 7) {
    case 0: {
      TransportLimits l;
      if (decodeAcknowledge(body, l) == kGood && (l.receiveBufferSize < kMinBufferSize || body.size() != 20)) std::abort();
      break;
    }
    case 1: {
      StatusCode error = kGood;
      std::string reason;
      if (decodeError(body, error, reason) == kGood && reason.size() > body.size()) std::abort();
      break;
    }
    case 2: {
      OpenSecureChannelResult r;
      if (decodeOpenSecureChannelResponse(body, r, service) == kGood && r.serverNonce && r.serverNonce->size() > body.size())
        std::abort();
      break;
    }
    case 3: {
      std::vector<EndpointOffer> offers;
      if (decodeGetEndpointsResponse(body, offers, service) == kGood && offers.size() > body.size()) std::abort();
      break;
    }
    case 4: {
      std::vector<StatusCode> results;
      if (decodeRegisterServer2Response(body, results, service) == kGood && results.size() * 4 > body.size()) std::abort();
      break;
    }
    case 5:
      // A response that decodes good is at least its header.
      if (decodeRegisterServerResponse(body, service) == kGood && service == kGood && body.size() < 20) std::abort();
      break;
    default: {
      vexahv::platform::Ipv4Endpoint ep;
      const std::string_view url(reinterpret_cast<const char*>(body.data()), body.size());
      if (parseOpcTcpUrl(url, ep).empty() && ep.port == 0) std::abort();
      break;
    }
  }
  return 0;
}
