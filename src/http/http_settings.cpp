#include "http/http_settings.h"

#include <arpa/inet.h>

#include <charconv>

#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace vexahv::http {

std::string parseHttpSettings(std::string_view text, HttpSettings& out) {
  HttpSettings parsed;
  const std::string error = OpcToolbox::ua::forEachSetting(text, [&](std::string_view key, std::string_view value) {
    const std::string shown = "[" + OpcToolbox::ua::shownSetting(value) + "]";
    if (key == "enabled") {
      if (value != "true" && value != "false") return "enabled " + shown + " is neither true nor false";
      parsed.enabled = value == "true";
    } else if (key == "host") {
      in_addr ip{};
      if (::inet_pton(AF_INET, std::string(value).c_str(), &ip) != 1) return "host " + shown + " is not an IPv4 address";
      // Plain HTTP: beyond loopback the figures and any password would travel in clear text.
      if ((ntohl(ip.s_addr) >> 24) != 127) {
        return "host " + shown +
               " is not on loopback (127.0.0.0/8): the endpoint speaks plain HTTP; serve it beyond through an HTTPS proxy";
      }
      parsed.host = std::string(value);
    } else if (key == "users") {
      if (value != "true" && value != "false") return "users " + shown + " is neither true nor false";
      parsed.users = value == "true";

    } else if (key == "port") {
      unsigned port = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (ec != std::errc() || end != value.data() + value.size() || port > 65535) {
        return "port " + shown + " is not a port number from 0 to 65535";
      }
      parsed.port = static_cast<std::uint16_t>(port);
    } else {
      return "no setting is named [" + OpcToolbox::ua::shownSetting(key) +
             "] (there are enabled, host, port, users)";
    }
    return std::string();
  });
  if (error.empty()) out = parsed;
  return error;
}

std::string readHttpSettings(const std::filesystem::path& file, HttpSettings& out) {
  return OpcToolbox::ua::readSettingsFile(file, [&](std::string_view text) { return parseHttpSettings(text, out); });
}

}  // namespace vexahv::http
