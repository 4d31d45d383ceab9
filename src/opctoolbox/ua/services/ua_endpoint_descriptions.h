#pragma once
// The EndpointDescriptions and ApplicationDescription that GetEndpoints, FindServers and
// CreateSession answer with (OPC UA Part 4, 7.10 and 7.1).

#include <string>

#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/security/ua_security.h"

namespace OpcToolbox::ua {

// The array of every endpoint that may carry a session.
void encodeEndpointDescriptions(Encoder& e, const std::string& url, const ServerIdentity& id,
                                const SecurityConfiguration& security);
void encodeApplicationDescription(Encoder& e, const std::string& url, const ServerIdentity& id);

}  // namespace OpcToolbox::ua
