// The Discovery service set: GetEndpoints and FindServers. Both answer without a session.

#include <algorithm>

#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "opctoolbox/ua/services/ua_server.h"

namespace OpcToolbox::ua {

void UaServer::getEndpoints(Call& c, GetEndpointsRequest& r) {
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::GetEndpointsResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  // The URL the client dialled, so that it reconnects the way it came.
  encodeEndpointDescriptions(e, r.endpointUrl.empty() ? endpointUrl_ : r.endpointUrl, identity(), security());
  c.respond(std::move(out));
}

void UaServer::findServers(Call& c, FindServersRequest& r) {
  // A list of server URIs asks for those servers only: this one, or none.
  const ServerIdentity self = identity();
  const bool wanted = r.serverUris.empty() ||
                      std::find(r.serverUris.begin(), r.serverUris.end(), self.applicationUri) != r.serverUris.end();
  const UaString& url = r.endpointUrl;
  std::vector<std::uint8_t> out;
  Encoder e(out);
  beginMessage(e, id::FindServersResponse);
  encodeResponseHeader(e, c.requestHandle, kGood);
  e.arrayLength(wanted ? 1 : 0);
  if (wanted) encodeApplicationDescription(e, url && !url->empty() ? *url : endpointUrl_, self);
  c.respond(std::move(out));
}

}  // namespace OpcToolbox::ua
