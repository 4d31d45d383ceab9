#include "http/http_settings.h"

#include <arpa/inet.h>

#include <charconv>

#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace vexahv::http {

std::string parseHttpSettings(std::string_view text, HttpSettings& out, const std::filesystem::path& folder) {
  HttpSettings parsed;
  const std::string error = OpcToolbox::ua::forEachSetting(text, [&](std::string_view key, std::string_view value) {
    const std::string shown = "[" + OpcToolbox::ua::shownSetting(value) + "]";
    if (key == "enabled") {
      if (value != "true" && value != "false") return "enabled " + shown + " is neither true nor false";
      parsed.enabled = value == "true";
    } else if (key == "host") {
      in_addr ip{};
      if (::inet_pton(AF_INET, std::string(value).c_str(), &ip) != 1) return "host " + shown + " is not an IPv4 address";
      parsed.host = std::string(value);
    } else if (key == "users") {
      if (value != "true" && value != "false") return "users " + shown + " is neither true nor false";
      parsed.users = value == "true";
    } else if (key == "certificate" || key == "private_key" || key == "client_certificates") {
      if (value.empty()) return std::string(key) + " is empty";
      const std::filesystem::path file(value);
      (key == "certificate" ? parsed.certificate : key == "private_key" ? parsed.privateKey : parsed.clientCertificates) =
          file.is_absolute() || folder.empty() ? file : folder / file;

    } else if (key == "port") {
      unsigned port = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port > 65535) {
        return "port " + shown + " is not a port number from 0 to 65535";
      }
      parsed.port = static_cast<std::uint16_t>(port);
    } else {
      return "no setting is named [" + OpcToolbox::ua::shownSetting(key) +
             "] (there are enabled, host, port, users, certificate, private_key, client_certificates)";
    }
    return std::string();
  });
  if (!error.empty()) return error;
  if (parsed.certificate.empty() != parsed.privateKey.empty()) {
    return std::string("certificate and private_key go together: HTTPS needs both");
  }
  if (!parsed.clientCertificates.empty() && !parsed.tls()) {
    return std::string("client_certificates need HTTPS: a certificate and its private_key");
  }
  in_addr ip{};
  ::inet_pton(AF_INET, parsed.host.c_str(), &ip);
  // Beyond loopback nothing travels in clear text, and nobody reads unnamed.
  if ((ntohl(ip.s_addr) >> 24) != 127 && (!parsed.tls() || (!parsed.users && parsed.clientCertificates.empty()))) {
    return "host [" + parsed.host +
           "] is beyond loopback (127.0.0.0/8): that needs HTTPS (certificate, private_key) and a sign-in "
           "(users = true or client_certificates)";
  }
  out = parsed;
  return {};
}

std::string readHttpSettings(const std::filesystem::path& file, HttpSettings& out) {
  return OpcToolbox::ua::readSettingsFile(
      file, [&](std::string_view text) { return parseHttpSettings(text, out, file.parent_path()); });
}

}  // namespace vexahv::http
