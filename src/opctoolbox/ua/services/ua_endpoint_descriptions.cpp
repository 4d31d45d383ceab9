#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"

namespace OpcToolbox::ua {

void encodeApplicationDescription(Encoder& e, const std::string& url, const ServerIdentity& id) {
  e.string(std::string_view(id.applicationUri));
  e.string(std::string_view(id.productUri));
  e.localizedText(LocalizedText{std::nullopt, id.applicationName});
  e.uint32(0);  // server
  e.string(UaString{});
  e.string(UaString{});
  e.arrayLength(1);
  e.string(std::string_view(url));
}

void encodeEndpointDescriptions(Encoder& e, const std::string& url, const ServerIdentity& id,
                                const SecurityConfiguration& security) {
  const auto endpoints = security.endpoints();
  const UaString certificate = security.serverCertificate();
  e.arrayLength(static_cast<std::int32_t>(endpoints.size()));
  for (const SecurityConfiguration::Endpoint& endpoint : endpoints) {
    e.string(std::string_view(url));
    encodeApplicationDescription(e, url, id);
    e.byteString(certificate);
    e.uint32(endpoint.mode);
    e.string(endpoint.policyUri());
    const auto tokens = security.userTokenPolicies(endpoint);
    e.arrayLength(static_cast<std::int32_t>(tokens.size()));
    for (const UserTokenPolicy& t : tokens) {
      e.string(std::string_view(t.policyId));
      e.uint32(t.tokenType);
      e.string(UaString{});  // issued token type
      e.string(UaString{});  // issuer endpoint
      e.string(t.securityPolicyUri.empty() ? UaString{} : UaString{t.securityPolicyUri});
    }
    e.string(std::string_view("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary"));
    e.byte(endpoint.securityLevel());
  }
}

}  // namespace OpcToolbox::ua
