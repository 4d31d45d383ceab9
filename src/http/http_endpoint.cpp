#include "http/http_endpoint.h"

#include <civetweb.h>

#include <cstring>
#include <mutex>

#include "http/basic_auth.h"
#include "http/metrics_text.h"
#include "http/status_json.h"
#include "http/status_page.h"
#include "logging/logging.h"
#include "platform/process_identity.h"

namespace vexahv::http {

struct HttpEndpoint::State {
  FiguresSource figures;
  std::string version;
  std::unique_ptr<BasicAuth> users;  // null: no sign-in asked
  const TlsFront* tls = nullptr;     // HTTPS: who the front relays
  mg_context* context = nullptr;
};

namespace {

void answer(mg_connection* conn, bool head, int status, const char* reason, const char* type, const std::string& body) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n",
            status, reason, type, body.size());
  if (!head) mg_write(conn, body.data(), body.size());
}

// Every path comes here: the three pages by their exact names, anything else is 404.
int route(mg_connection* conn, void* data) {
  const auto* state = static_cast<const HttpEndpoint::State*>(data);
  const mg_request_info* request = mg_get_request_info(conn);
  const bool head = std::strcmp(request->request_method, "HEAD") == 0;
  const std::string uri = request->local_uri != nullptr ? request->local_uri : "";
  const bool known = uri == "/" || uri == "/metrics" || uri == "/api/status";
  if (state->users) {
    // Behind the TLS front every request comes from loopback: the client is the front's.
    std::string peer = state->tls ? state->tls->peerOf(static_cast<std::uint16_t>(request->remote_port)) : "";
    if (peer.empty()) peer = request->remote_addr;
    if (!state->users->signIn(mg_get_header(conn, "Authorization"), peer)) {
      static constexpr char kBody[] = "sign in as one of the server's users\n";
      mg_printf(conn,
                "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"vexahv\", charset=\"UTF-8\"\r\n"
                "Content-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n%s",
                sizeof kBody - 1, head ? "" : kBody);
      return 401;
    }
  }
  if (!known) {
    answer(conn, head, 404, "Not Found", "text/plain; charset=utf-8", "no such page: /, /metrics and /api/status are served\n");
    return 404;
  }
  if (!head && std::strcmp(request->request_method, "GET") != 0) {
    mg_printf(conn, "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return 405;
  }
  if (uri == "/") {
    answer(conn, head, 200, "OK", "text/html; charset=utf-8", statusPage());
    return 200;
  }
  ProcessFigures process;
  platform::processUsage(process.cpuSeconds, process.residentBytes);
  const ServerFigures figures = state->figures();
  if (uri == "/metrics") {
    answer(conn, head, 200, "OK", "text/plain; version=0.0.4; charset=utf-8",
           prometheusText(figures, process, state->version));
  } else {
    answer(conn, head, 200, "OK", "application/json", statusJson(figures, process, state->version));
  }
  return 200;
}

// civetweb's own complaints (a bad request, a closed connection) are the client's doing.
int logMessage(const mg_connection*, const char* message) {
  logDebug("HTTP endpoint: ", message);
  return 1;
}

std::once_flag libraryStarted;

}  // namespace

HttpEndpoint::HttpEndpoint() = default;
HttpEndpoint::~HttpEndpoint() { stop(); }

std::string HttpEndpoint::start(const HttpSettings& settings, FiguresSource figures, std::string version,
                                PasswordCheck passwords) {
  stop();
  // civetweb's own TLS stays off: Debian's civetweb 1.15 loads OpenSSL 3 without
  // SSL_get_peer_certificate (a macro there) and calls the missing function on every TLS
  // connection. HTTPS is the TLS front's, with civetweb behind it on loopback.
  std::call_once(libraryStarted, [] { mg_init_library(0); });
  auto state = std::make_unique<State>();
  state->figures = std::move(figures);
  state->version = std::move(version);
  if (settings.users) {
    if (!passwords) return "users = true, but the server has no users to sign in as";
    state->users = std::make_unique<BasicAuth>(std::move(passwords));
  }
  if (settings.tls()) {
    // The files first: a certificate that does not load starts nothing.
    tls_ = std::make_unique<TlsFront>();
    if (std::string why = tls_->load({settings.certificate, settings.privateKey, settings.clientCertificates});
        !why.empty()) {
      tls_.reset();
      return why;
    }
    state->tls = tls_.get();
  }
  const std::string listen = settings.tls() ? std::string("127.0.0.1:0") : settings.host + ":" + std::to_string(settings.port);
  // No document_root: nothing of the file system is ever served.
  const char* options[] = {"listening_ports",   listen.c_str(),
                           "num_threads",       "2",
                           "listen_backlog",    "16",
                           "request_timeout_ms", "5000",
                           "max_request_size",  "8192",
                           "enable_keep_alive", "no",
                           "enable_directory_listing", "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = logMessage;
  mg_init_data init{&callbacks, nullptr, options};
  char text[256] = {};
  unsigned code = 0;
  mg_error_data error{&code, text, sizeof text};
  mg_context* context = mg_start2(&init, &error);
  if (context == nullptr) {
    return "cannot listen on " + listen + (text[0] != '\0' ? std::string(": ") + text : std::string());
  }
  state->context = context;
  mg_set_request_handler(context, "**", route, state.get());
  mg_server_port ports[1] = {};
  port_ = mg_get_server_ports(context, 1, ports) == 1 ? static_cast<std::uint16_t>(ports[0].port) : settings.port;
  state_ = std::move(state);
  if (settings.tls()) {
    platform::Ipv4Endpoint outside{0, settings.port}, inside{platform::kLoopback, port_};
    platform::Ipv4Endpoint::parseAddress(settings.host, outside.address);
    if (std::string why = tls_->start(outside, inside); !why.empty()) {
      stop();
      return why;
    }
    port_ = tls_->port();
  }
  return {};
}

void HttpEndpoint::stop() noexcept {
  // The endpoint first: its requests may ask the front who they come from.
  if (state_) mg_stop(state_->context);
  state_.reset();
  if (tls_) tls_->stop();
  tls_.reset();
  port_ = 0;
}

}  // namespace vexahv::http
