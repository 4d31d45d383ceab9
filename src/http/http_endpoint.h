#pragma once
// The server's HTTP endpoint on a loopback address, over civetweb: GET /metrics (Prometheus
// text), /api/status (JSON) and / (the status page that shows it), to signed-in users when
// asked. Bounded: two worker threads, a request must arrive whole within 5 s and
// hold at most 8 KiB of header, one request per connection; every other path is 404, every
// other method 405. It reads the figures the process hands it and changes nothing.

#include <cstdint>
#include <memory>
#include <string>

#include "http/basic_auth.h"
#include "http/http_settings.h"
#include "http/server_figures.h"

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
  std::uint16_t port_ = 0;
};

}  // namespace vexahv::http
