#pragma once
// The server's HTTP endpoint over civetweb: GET /metrics (Prometheus text), /api/status
// (JSON) and / (the status page that shows it), to signed-in users when asked, over HTTPS
// (the TLS front, civetweb behind it on loopback) when the settings have a certificate. Bounded: two worker threads, a request must arrive whole within 5 s and
// hold at most 8 KiB of header, one request per connection; every other path is 404, every
// other method 405. It reads the figures the process hands it and changes nothing.

#include <cstdint>
#include <memory>
#include <string>

#include "http/basic_auth.h"
#include "http/http_settings.h"
#include "http/server_figures.h"
#include "http/tls_front.h"

namespace vexahv::http {

class HttpEndpoint {
 public:
  HttpEndpoint();
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  // Empty when it serves; otherwise why not. figures and passwords (for users = true) are
  // called on the endpoint's threads.
  std::string start(const HttpSettings& settings, FiguresSource figures, std::string version,
                    PasswordCheck passwords = {});
  // The port it listens on (after start), 0 when it does not.
  std::uint16_t port() const noexcept { return port_; }
  // Waits for the requests in progress, then frees everything; safe to call twice.
  void stop() noexcept;

  struct State;  // what the request handlers see; defined beside them

 private:
  std::unique_ptr<State> state_;
  std::unique_ptr<TlsFront> tls_;  // HTTPS, when the settings ask for it
  std::uint16_t port_ = 0;
};

}  // namespace vexahv::http
