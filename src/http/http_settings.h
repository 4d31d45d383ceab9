#pragma once
// The HTTP endpoint's settings, <platform root>/http.conf ("key = value", '#' comments):
//   enabled = false        off unless asked for
//   host    = 127.0.0.1    an IPv4 address on loopback
//   port    = 4880         0: any free port (the log names it)
//   users   = false        true: every request signs in (HTTP Basic) as a server user
//   certificate =          PEM files of the server's certificate (with its chain) and its
//   private_key =          key: HTTPS (paths relative to the file's folder)
//   client_certificates =  PEM: a client must present a certificate these issued
// Beyond loopback HTTPS is a must, and a sign-in: users = true or client certificates.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vexahv::http {

inline constexpr const char* kHttpSettingsFile = "http.conf";

struct HttpSettings {
  bool enabled = false;
  std::string host = "127.0.0.1";
  std::uint16_t port = 4880;
  bool users = false;
  std::filesystem::path certificate;  // empty: plain HTTP
  std::filesystem::path privateKey;
  std::filesystem::path clientCertificates;
  bool tls() const { return !certificate.empty(); }
};

// Empty when the text holds good settings (unknown keys and bad values are refused with
// "line N: ..."); out keeps the defaults of what the text does not set.
// folder: where relative paths start.
std::string parseHttpSettings(std::string_view text, HttpSettings& out, const std::filesystem::path& folder = {});
// The file's settings; a missing file is no error (the endpoint stays off).
std::string readHttpSettings(const std::filesystem::path& file, HttpSettings& out);

}  // namespace vexahv::http
