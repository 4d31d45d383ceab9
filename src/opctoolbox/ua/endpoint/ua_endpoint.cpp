#include "opctoolbox/ua/endpoint/ua_endpoint.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <set>

#include "platform/socket_io.h"

namespace OpcToolbox::ua {
namespace {

using vexahv::platform::EventLoop;
using vexahv::platform::Ipv4Endpoint;
using vexahv::platform::Socket;

constexpr std::size_t kReadChunk = 65536;

// The endpoint whose network thread this is: its own answers are sent at once, everyone
// else's are handed to it.
thread_local const UaEndpoint* tNetworkThreadOf = nullptr;

bool wouldBlock(const std::error_code& ec) { return ec == std::errc::operation_would_block; }

}  // namespace

using Clock = std::chrono::steady_clock;

struct UaEndpoint::Connection {
  Socket socket;
  std::unique_ptr<UaConnection> ua;
  const Clock::time_point accepted = Clock::now();
  std::mutex outMutex;
  std::deque<std::vector<std::uint8_t>> out;
  std::size_t offset = 0;
  std::atomic<std::size_t> queued{0};  // bytes in out not sent yet; written under outMutex
  // The endpoint's total of them: what a connection still holds leaves it with the connection.
  std::shared_ptr<std::atomic<std::size_t>> allQueued;
  void addQueued(std::size_t n) {
    queued += n;
    *allQueued += n;
  }
  void sentQueued(std::size_t n) {
    queued -= n;
    *allQueued -= n;
  }
  ~Connection() {
    if (allQueued) *allQueued -= queued.load();
  }
  bool closeAfterFlush = false;
  bool writable = true;  // false while waiting for the socket to take more
  bool watchingOut = false;  // registered for writability
  bool flushDue = false;  // in pending_ (under outMutex)
  // Network thread only: requests left unread while too many answers wait.
  bool readPaused = false;
  Clock::time_point pausedSince{};
};

std::string EndpointOptions::fromEnvironment(EndpointOptions& out) {
  if (const char* p = std::getenv("VEXAHV_OPCUA_PORT"); p != nullptr && *p != '\0') {
    unsigned v = 0;
    auto [end, ec] = std::from_chars(p, p + std::strlen(p), v);
    if (ec != std::errc() || *end != '\0' || v > 65535)
      return std::string("VEXAHV_OPCUA_PORT [") + p + "] is not a port number from 0 to 65535";
    out.port = static_cast<std::uint16_t>(v);
  }
  if (const char* h = std::getenv("VEXAHV_OPCUA_HOST"); h != nullptr && *h != '\0') {
    std::uint32_t a = 0;
    if (!Ipv4Endpoint::parseAddress(h, a))
      return std::string("VEXAHV_OPCUA_HOST [") + h + "] is not an IPv4 address";
    out.host = h;
  }
  return {};
}

UaEndpoint::UaEndpoint(Application& app, EndpointOptions options) : app_(app), options_(std::move(options)) {}

UaEndpoint::~UaEndpoint() { stop(); }

std::string UaEndpoint::url() const {
  const std::string host = options_.host == "0.0.0.0" ? "127.0.0.1" : options_.host;
  return "opc.tcp://" + host + ":" + std::to_string(port_);
}

std::error_code UaEndpoint::start(vexahv::platform::UniqueFd listening) {
  Socket listener;
  Ipv4Endpoint local;
  if (listening) {
    // Handed over already listening (socket activation): its own address is the endpoint's.
    listener = Socket::adopt(std::move(listening));
    if (auto ec = listener.localEndpoint(local)) return ec;
    options_.host = local.addressText();
  } else {
    if (!Ipv4Endpoint::parseAddress(options_.host, local.address)) return std::make_error_code(std::errc::invalid_argument);
    local.port = options_.port;
    if (auto ec = Socket::open(Socket::Kind::Tcp, listener)) return ec;
    listener.setReuseAddress(true);
    if (auto ec = listener.bind(local)) return ec;
    if (auto ec = listener.listen(vexahv::platform::kLongestBacklog)) return ec;
    if (auto ec = listener.localEndpoint(local)) return ec;
  }
  if (auto ec = listener.setNonBlocking(true)) return ec;
  port_ = local.port;
  if (auto ec = events_.open()) return ec;
  if (auto ec = events_.add(listener.fd(), EventLoop::kReadable)) return ec;
  listener_ = std::move(listener);
  server_ = std::make_unique<UaServer>(app_, url(), options_.server, options_.security, options_.audit);
  thread_ = vexahv::platform::WorkerThread("ua-network", [this](std::stop_token st) { loop(st); });
  // Application::stop closes the endpoint with it.
  if (stopHandler_ == 0) stopHandler_ = app_.addStopHandler([this] { stop(); });
  return {};
}

void UaEndpoint::stop() {
  if (!thread_.running()) return;
  if (stopHandler_ != 0) {
    app_.removeStopHandler(stopHandler_);
    stopHandler_ = 0;
  }
  thread_.requestStop();
  wake();
  thread_.join();
  // The thread is gone: only here are connections touched now.
  for (auto& [fd, c] : connections_) c->ua.reset();
  connections_.clear();
  listener_.close();
  // The publishing thread too: the application may be released right after this.
  if (server_) server_->stop();
}

void UaEndpoint::wake() { events_.wake(); }

void UaEndpoint::loop(std::stop_token stop) {
  tNetworkThreadOf = this;
  auto nextSweep = Clock::now();
  while (!stop.stop_requested()) {
    const auto ready = events_.wait(std::chrono::milliseconds(500));
    if (const auto now = Clock::now(); now >= nextSweep) {
      sweep();
      nextSweep = now + std::chrono::milliseconds(500);
    }
    for (const EventLoop::Event& e : ready) {
      if (stop.stop_requested()) break;
      if (e.fd == listener_.fd()) {
        accept();
      } else if (auto it = connections_.find(e.fd); it != connections_.end()) {
        auto c = it->second;
        if (e.writable) {
          {
            std::lock_guard lock(c->outMutex);
            c->writable = true;
          }
          flush(c);
        }
        if (c->readPaused && !e.hangup) continue;
        if (e.readable || e.hangup) readFrom(c);
      }
    }
    std::vector<std::weak_ptr<Connection>> pending;
    {
      std::lock_guard lock(pendingMutex_);
      pending.swap(pending_);
    }
    for (auto& w : pending) {
      auto c = w.lock();
      if (!c) continue;
      {
        std::lock_guard lock(c->outMutex);
        c->flushDue = false;
      }
      flush(c);
    }
  }
  tNetworkThreadOf = nullptr;
}

void UaEndpoint::accept() {
  for (;;) {
    Socket peer;
    Ipv4Endpoint from;
    if (listener_.accept(peer, &from)) return;  // none waiting, or a failure the next one may not have
    if (connections_.size() >= options_.maxConnections && !evictOneWithoutSession()) continue;  // closed as it goes
    peer.setNoDelay(true);
    const int fd = peer.fd();
    auto c = std::make_shared<Connection>();
    c->allQueued = queuedBytes_;
    c->socket = std::move(peer);
    std::weak_ptr<Connection> weak = c;
    c->ua = std::make_unique<UaConnection>(*server_, options_.limits, nextChannel_++,
                                           [this, weak](std::vector<std::uint8_t> bytes) {
                                             if (auto conn = weak.lock()) enqueue(conn, std::move(bytes));
                                           });
    c->ua->setTimeouts(options_.timeouts);
    c->ua->setPeer(from.addressText());
    Connection* raw = c.get();  // the gate is the connection's own: it never outlives it
    c->ua->setReadGate([raw, max = options_.maxQueuedBytes] { return raw->queued.load() < max; });
    if (events_.add(fd, EventLoop::kReadable)) continue;
    connections_.emplace(fd, std::move(c));
  }
}

void UaEndpoint::enqueue(const std::shared_ptr<Connection>& c, std::vector<std::uint8_t> bytes) {
  // Only the network thread touches a socket: an answer from another thread (a device
  // read's worker, the publishing thread, the login guard) is queued and the network
  // thread woken once for all that wait.
  const bool networkThread = tNetworkThreadOf == this;
  {
    std::lock_guard lock(c->outMutex);
    std::size_t sent = 0;
    if (networkThread && c->writable && c->out.empty()) {
      // The network thread's own answer, nothing queued ahead: sent at once. What the
      // socket does not take now waits for it to drain.
      while (sent < bytes.size()) {
        std::size_t n = 0;
        if (vexahv::platform::sendSome(c->socket.fd(), bytes.data() + sent, bytes.size() - sent, n) || n == 0) break;
        sent += n;
      }
      if (sent == bytes.size()) return;
    }
    if (c->out.empty()) c->offset = sent;
    c->addQueued(bytes.size() - sent);
    c->out.push_back(std::move(bytes));
    if (c->flushDue) return;  // already handed over
    c->flushDue = true;
  }
  bool first = false;
  {
    std::lock_guard lock(pendingMutex_);
    first = pending_.empty();
    pending_.push_back(c);
  }
  if (first && !networkThread) wake();
}

void UaEndpoint::readFrom(const std::shared_ptr<Connection>& c) {
  // Closed earlier in this round of events (a send to a peer that reset failed), while
  // requests it sent before the reset may still be waiting to be read: they go unread.
  if (!c->ua) return;
  std::uint8_t buffer[kReadChunk];
  for (;;) {
    std::size_t n = 0;
    const std::error_code ec = vexahv::platform::receiveSome(c->socket.fd(), buffer, sizeof buffer, n);
    if (wouldBlock(ec)) return;
    if (!ec && n > 0) {
      if (!feed(c, {buffer, n})) return;
      // A short read drained the socket; the event loop reports anything that arrives later.
      if (n < sizeof buffer) return;
      continue;
    }
    closeConnection(c->socket.fd());  // end of stream or an error
    return;
  }
}

void UaEndpoint::flush(const std::shared_ptr<Connection>& c) {
  bool close = false;
  {
    std::lock_guard lock(c->outMutex);
    while (c->writable && !c->out.empty()) {
      const auto& front = c->out.front();
      std::size_t n = 0;
      const std::error_code ec =
          vexahv::platform::sendSome(c->socket.fd(), front.data() + c->offset, front.size() - c->offset, n);
      if (wouldBlock(ec)) {
        c->writable = false;
        c->watchingOut = true;
        updateInterest(*c);
        break;
      }
      if (ec) {
        close = true;
        break;
      }
      c->offset += n;
      c->sentQueued(n);
      if (c->offset == front.size()) {
        c->out.pop_front();
        c->offset = 0;
      }
    }
    if (c->writable && c->out.empty()) {
      if (c->watchingOut) {
        c->watchingOut = false;
        updateInterest(*c);
      }
      if (c->closeAfterFlush) close = true;
    }
  }
  if (close) {
    closeConnection(c->socket.fd());
    return;
  }
  if (c->readPaused && c->ua && c->queued.load() <= options_.maxQueuedBytes / 2) {
    // Drained enough: the requests already received go first, then the socket again.
    c->readPaused = false;
    if (feed(c, {})) updateInterest(*c);
  }
}

bool UaEndpoint::feed(const std::shared_ptr<Connection>& c, std::span<const std::uint8_t> bytes) {
  bool open = false;
  try {
    open = c->ua->receive(bytes);
  } catch (const std::exception&) {
    // A fault while serving this connection ends it, never the network thread.
    enqueue(c, encodeError(kBadInternalError, "internal error"));
  }
  if (!open) {
    {
      std::lock_guard lock(c->outMutex);
      c->closeAfterFlush = true;
    }
    flush(c);
    return false;
  }
  if (c->queued.load() >= options_.maxQueuedBytes) {
    pauseReading(*c);
    return false;
  }
  return true;
}

void UaEndpoint::pauseReading(Connection& c) {
  // The client does not read its answers: read no more of its requests for now.
  c.readPaused = true;
  c.pausedSince = Clock::now();
  updateInterest(c);
}

void UaEndpoint::updateInterest(Connection& c) {
  events_.change(c.socket.fd(), (c.readPaused ? 0u : std::uint32_t{EventLoop::kReadable}) |
                                    (c.watchingOut ? std::uint32_t{EventLoop::kWritable} : 0u));
}

void UaEndpoint::closeWithError(const std::shared_ptr<Connection>& c, StatusCode code, std::string_view reason) {
  {
    std::lock_guard lock(c->outMutex);
    if (c->out.empty()) {
      const std::vector<std::uint8_t> error = encodeError(code, reason);
      std::size_t sent = 0;
      (void)vexahv::platform::sendSome(c->socket.fd(), error.data(), error.size(), sent);
    }
  }
  closeConnection(c->socket.fd());
}

void UaEndpoint::sweep() {
  const auto now = Clock::now();
  std::optional<std::set<std::uint32_t>> withSessions;  // asked for only when needed
  std::vector<std::pair<std::shared_ptr<Connection>, const char*>> overdue;
  for (const auto& [fd, c] : connections_) {
    if (!c->ua) continue;
    if (now >= c->ua->deadline()) {
      overdue.emplace_back(c, c->ua->channelOpen() ? "security token expired" : "connection not opened in time");
    } else if (c->readPaused && now - c->pausedSince >= options_.drainTimeout) {
      overdue.emplace_back(c, "answers not read");
    } else if (c->ua->channelOpen() && now - c->ua->channelOpenedAt() >= options_.sessionSetup) {
      if (!withSessions) withSessions = server_->channelsWithSessions();
      if (!withSessions->count(c->ua->channelId())) overdue.emplace_back(c, "no session activated in time");
    }
  }
  for (const auto& [c, why] : overdue) closeWithError(c, kBadTimeout, why);
}

bool UaEndpoint::evictOneWithoutSession() {
  const std::set<std::uint32_t> withSessions = server_->channelsWithSessions();
  std::shared_ptr<Connection> oldest;
  for (const auto& [fd, c] : connections_) {
    const bool hasSession = c->ua && c->ua->channelOpen() && withSessions.count(c->ua->channelId());
    if (!hasSession && (!oldest || c->accepted < oldest->accepted)) oldest = c;
  }
  if (!oldest) return false;
  closeWithError(oldest, kBadTcpInternalError, "connection limit reached");
  return true;
}

void UaEndpoint::closeConnection(int fd) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  auto c = it->second;
  connections_.erase(it);
  events_.remove(fd);
  c->ua.reset();  // pending answers for it are dropped from here on
}

EndpointDiagnostics UaEndpoint::diagnostics() const {
  EndpointDiagnostics d = server_ ? server_->diagnostics() : EndpointDiagnostics{};
  if (server_) d.unacknowledgedAlarms = server_->unacknowledgedAlarms();
  d.bytesQueued = queuedBytes_->load();
  return d;
}

}  // namespace OpcToolbox::ua
