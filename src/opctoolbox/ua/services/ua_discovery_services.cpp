// The Discovery service set: GetEndpoints and FindServers. Both answer without a session.

#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

void UaServer::getEndpoints(Decoder& d, Respond& respond) {
  const GetEndpointsRequest r = decodeGetEndpointsRequest(d);
  if (!d.ok()) return respond(encodeServiceFault(r.header.requestHandle, kBadDecodingError));
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::GetEndpointsResponse);
  encodeResponseHeader(e, r.header.requestHandle, kGood);
  // The URL the client dialled, so that it reconnects the way it came.
  encodeEndpointDescriptions(e, r.endpointUrl.empty() ? endpointUrl_ : r.endpointUrl, identity(), security());
  respond(std::move(out));
}

void UaServer::findServers(Decoder& d, Respond& respond) {
  const RequestHeader h = decodeRequestHeader(d);
  const UaString url = d.string();
  const std::size_t locales = d.arrayLength();
  for (std::size_t i = 0; i < locales && d.ok(); ++i) d.string();
  // A list of server URIs asks for those servers only: this one, or none.
  const ServerIdentity self = identity();
  const std::size_t uris = d.arrayLength();
  bool wanted = uris == 0;
  for (std::size_t i = 0; i < uris && d.ok(); ++i) wanted = d.string() == self.applicationUri || wanted;
  if (!d.ok()) return respond(encodeServiceFault(h.requestHandle, kBadDecodingError));
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::FindServersResponse);
  encodeResponseHeader(e, h.requestHandle, kGood);
  e.arrayLength(wanted ? 1 : 0);
  if (wanted) encodeApplicationDescription(e, url && !url->empty() ? *url : endpointUrl_, self);
  respond(std::move(out));
}

}  // namespace OpcToolbox::ua
