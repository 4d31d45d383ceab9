#include "http/tls_front.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/worker_thread.h"

namespace vexahv::http {

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kWorkers = 4;   // connections relayed at once
constexpr std::size_t kWaiting = 8;   // accepted and waiting for a worker; one more is closed
constexpr auto kConnectionTime = std::chrono::seconds(10);
constexpr auto kSlice = std::chrono::milliseconds(200);  // how soon a stop is seen

struct CtxFree {
  void operator()(SSL_CTX* c) const noexcept { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const noexcept { SSL_free(s); }
};

std::string openSslError() {
  const unsigned long e = ERR_get_error();
  char text[256] = "unknown error";
  if (e != 0) ERR_error_string_n(e, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

// Which client each connection to the endpoint relays, by its loopback port: the endpoint
// sees only the front, and its sign-in lock-out counts failures by the client's address.
struct TlsFront::Peers {
  mutable std::mutex mutex;
  std::map<std::uint16_t, std::string> byPort;
};

struct TlsFront::State {
  Peers* peers = nullptr;  // the front's
  std::unique_ptr<SSL_CTX, CtxFree> context;
  platform::Ipv4Endpoint inside;
  platform::Socket listener;
  std::mutex mutex;
  std::condition_variable_any ready;
  std::deque<std::pair<platform::Socket, platform::Ipv4Endpoint>> waiting;  // under mutex
  std::vector<platform::WorkerThread> workers;
  platform::WorkerThread acceptor;

  void accept(std::stop_token stop);
  void work(std::stop_token stop);
  void relay(platform::Socket client, const platform::Ipv4Endpoint& from, const std::stop_token& stop);
};

void TlsFront::State::accept(std::stop_token stop) {
  while (!stop.stop_requested()) {
    platform::Readiness r{listener.fd(), true, false};
    if (!platform::waitReady(&r, 1, kSlice)) continue;
    platform::Socket client;
    platform::Ipv4Endpoint from;
    if (listener.accept(client, &from)) continue;
    std::lock_guard lock(mutex);
    if (waiting.size() >= kWaiting) continue;  // closed as it goes out of scope
    waiting.emplace_back(std::move(client), from);
    ready.notify_one();
  }
}

void TlsFront::State::work(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::pair<platform::Socket, platform::Ipv4Endpoint> next;
    {
      std::unique_lock lock(mutex);
      if (!ready.wait(lock, stop, [&] { return !waiting.empty(); })) return;
      next = std::move(waiting.front());
      waiting.pop_front();
    }
    relay(std::move(next.first), next.second, stop);
  }
}

void TlsFront::State::relay(platform::Socket client, const platform::Ipv4Endpoint& from, const std::stop_token& stop) {
  const auto deadline = Clock::now() + kConnectionTime;
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
  if (!ssl || SSL_set_fd(ssl.get(), client.fd()) != 1) return;
  // Waits for what OpenSSL asked for after a call returned r; false when the connection is over.
  auto waitFor = [&](int r) {
    const int e = SSL_get_error(ssl.get(), r);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
    while (!stop.stop_requested() && Clock::now() < deadline) {
      platform::Readiness ready{client.fd(), e == SSL_ERROR_WANT_READ, e == SSL_ERROR_WANT_WRITE};
      if (platform::waitReady(&ready, 1, kSlice)) return true;
    }
    return false;
  };
  for (int r; (r = SSL_accept(ssl.get())) != 1;) {
    if (!waitFor(r)) {
      ERR_clear_error();
      return;
    }
  }
  platform::Socket endpoint;
  if (platform::Socket::open(platform::Socket::Kind::Tcp, endpoint) ||
      endpoint.connect(inside, std::chrono::milliseconds(1000)) || endpoint.setSendTimeout(std::chrono::seconds(5))) {
    return;
  }
  // Known before the endpoint sees a byte, forgotten when the relay ends.
  platform::Ipv4Endpoint local;
  if (endpoint.localEndpoint(local)) return;
  struct Entry {
    Peers& peers;
    std::uint16_t port;
    Entry(Peers& p, std::uint16_t at, std::string address) : peers(p), port(at) {
      std::lock_guard lock(peers.mutex);
      peers.byPort[port] = std::move(address);
    }
    ~Entry() {
      std::lock_guard lock(peers.mutex);
      peers.byPort.erase(port);
    }
  } entry(*peers, local.port, from.addressText());
  // Bytes on their way, one direction at a time: the endpoint answers once it has the
  // request, and closes when it has answered. Its socket blocks: it is read only when
  // ready, and a send waits 5 s at most.
  std::vector<std::uint8_t> buffer(16384);
  bool clientOpen = true;
  while (!stop.stop_requested() && Clock::now() < deadline) {
    platform::Readiness fds[2] = {{client.fd(), clientOpen, false}, {endpoint.fd(), true, false}};
    if (SSL_pending(ssl.get()) == 0 && !platform::waitReady(fds, 2, kSlice)) continue;
    if (clientOpen && (fds[0].readable || SSL_pending(ssl.get()) > 0)) {
      const int n = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()));
      if (n > 0) {
        if (endpoint.sendAll(buffer.data(), static_cast<std::size_t>(n))) break;
      } else {
        const int e = SSL_get_error(ssl.get(), n);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) clientOpen = false;  // the request is whole
      }
    }
    if (fds[1].readable) {
      std::size_t got = 0;
      if (endpoint.receive(buffer.data(), buffer.size(), got) || got == 0) {
        SSL_shutdown(ssl.get());  // our close_notify, if the socket takes it; the client's is not waited for
        break;
      }
      for (std::size_t done = 0; done < got;) {
        const int r = SSL_write(ssl.get(), buffer.data() + done, static_cast<int>(got - done));
        if (r > 0) done += static_cast<std::size_t>(r);
        else if (!waitFor(r)) return;
      }
    }
  }
  ERR_clear_error();
}

TlsFront::TlsFront() : peers_(std::make_unique<Peers>()) {}

std::string TlsFront::peerOf(std::uint16_t loopbackPort) const {
  std::lock_guard lock(peers_->mutex);
  const auto it = peers_->byPort.find(loopbackPort);
  return it != peers_->byPort.end() ? it->second : std::string();
}
TlsFront::~TlsFront() {
  stop();
  SSL_CTX_free(loaded_);
}

std::string TlsFront::load(const TlsFrontSettings& settings) {
  stop();
  auto state = std::make_unique<State>();
  state->context.reset(SSL_CTX_new(TLS_server_method()));
  SSL_CTX* ctx = state->context.get();
  if (ctx == nullptr) return "TLS: " + openSslError();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Verified clients need a session context of ours, even with resumption off.
  static constexpr unsigned char kContext[] = "vexahv-http";
  SSL_CTX_set_session_id_context(ctx, kContext, sizeof kContext - 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx, settings.certificate.c_str()) != 1) {
    return "certificate [" + settings.certificate.string() + "] does not load: " + openSslError();
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, settings.privateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
    return "private key [" + settings.privateKey.string() + "] does not load: " + openSslError();
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return "private key [" + settings.privateKey.string() + "] is not the certificate's: " + openSslError();
  }
  if (!settings.clientCertificates.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, settings.clientCertificates.c_str(), nullptr) != 1) {
      return "client certificates [" + settings.clientCertificates.string() + "] do not load: " + openSslError();
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  SSL_CTX_free(loaded_);
  loaded_ = state->context.release();
  return {};
}

std::string TlsFront::start(const platform::Ipv4Endpoint& outside, const platform::Ipv4Endpoint& inside) {
  if (!loaded_) return "TLS: nothing loaded";
  auto state = std::make_unique<State>();
  state->peers = peers_.get();
  state->inside = inside;
  state->context.reset(std::exchange(loaded_, nullptr));
  platform::Socket& l = state->listener;
  if (const std::error_code ec = platform::Socket::open(platform::Socket::Kind::Tcp, l); ec) return "TLS: " + ec.message();
  l.setReuseAddress(true);
  if (const std::error_code ec = l.bind(outside); ec) return "cannot listen on " + outside.toString() + ": " + ec.message();
  if (const std::error_code ec = l.listen(16); ec) return "cannot listen on " + outside.toString() + ": " + ec.message();
  l.setNonBlocking(true);
  platform::Ipv4Endpoint bound;
  port_ = l.localEndpoint(bound) ? outside.port : bound.port;
  State* s = state.get();
  for (std::size_t i = 0; i < kWorkers; ++i) {
    s->workers.emplace_back("http-tls", [s](std::stop_token stop) { s->work(stop); });
  }
  s->acceptor = platform::WorkerThread("http-tls-accept", [s](std::stop_token stop) { s->accept(stop); });
  state_ = std::move(state);
  return {};
}

void TlsFront::stop() noexcept {
  if (!state_) return;
  state_->acceptor.stopAndJoin();
  for (auto& w : state_->workers) w.stopAndJoin();
  state_.reset();
  port_ = 0;
}

}  // namespace vexahv::http
