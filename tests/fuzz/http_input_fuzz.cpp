// What a client or an administrator hands the HTTP endpoint, over any bytes: the settings
// file is taken whole (never beyond loopback without HTTPS and a sign-in) or refused with
// the settings left as they were, and an Authorization header gives a user and password
// that came from it, or nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/basic_auth.h"
#include "http/http_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexahv::http;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  HttpSettings s;
  s.port = 1234;
  const std::string refused = parseHttpSettings(text, s, "/root");
  if (!refused.empty() && (s.port != 1234 || s.enabled || s.users || s.tls())) std::abort();
  if (refused.empty() && !s.host.starts_with("127.") && (!s.tls() || (!s.users && s.clientCertificates.empty()))) {
    std::abort();
  }
  if (const auto credentials = parseBasicAuthorization(text)) {
    if (credentials->first.empty() || credentials->first.find(':') != std::string::npos) std::abort();
    if (credentials->first.size() + credentials->second.size() + 1 > size) std::abort();
  }
  return 0;
}
