// The endpoint and security settings parsers over any text: no crash, and either the
// whole text is taken with every limit inside its range (and some endpoint able to carry
// a session), or it is refused with a reason and the settings are left exactly as they were.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "opctoolbox/ua/settings/ua_endpoint_settings.h"
#include "opctoolbox/ua/settings/ua_security_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  EndpointOptions o;
  SecurityFileSettings security;
  const std::string refused = parseSecuritySettings(text, security);
  if (refused.empty() ? security.policies.empty() && !security.noneForSessions
                      : security.policies.size() != 3 || security.noneForSessions || security.trustAllClients)
    std::abort();
  const std::string said = parseEndpointSettings(text, o);
  const EndpointOptions d;
  if (!said.empty()) {
    if (o.maxConnections != d.maxConnections || o.server.maxSessions != d.server.maxSessions ||
        o.host != d.host || o.server.maxQueueSize != d.server.maxQueueSize)
      std::abort();
    return 0;
  }
  if (o.maxConnections == 0 || o.server.maxSessions == 0 || o.server.maxQueueSize == 0 ||
      o.server.minSessionTimeoutMs > o.server.maxSessionTimeoutMs ||
      o.server.minSamplingIntervalMs > o.server.maxSamplingIntervalMs || o.timeouts.hello.count() < 100)
    std::abort();
  return 0;
}
