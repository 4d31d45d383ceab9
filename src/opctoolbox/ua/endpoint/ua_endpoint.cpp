#include "opctoolbox/ua/endpoint/ua_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <optional>
#include <set>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace OpcToolbox::ua {
namespace {

constexpr std::size_t kReadChunk = 65536;

}  // namespace

using Clock = std::chrono::steady_clock;

struct UaEndpoint::Connection {
  vexahv::platform::UniqueFd fd;
  std::unique_ptr<UaConnection> ua;
  const Clock::time_point accepted = Clock::now();
  std::mutex outMutex;
  std::deque<std::vector<std::uint8_t>> out;
  std::size_t offset = 0;
  std::atomic<std::size_t> queued{0};  // bytes in out not sent yet; written under outMutex
  bool closeAfterFlush = false;
  bool writable = true;  // false while waiting for EPOLLOUT
  bool watchingOut = false;  // registered for EPOLLOUT
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
    in_addr a{};
    if (::inet_pton(AF_INET, h, &a) != 1)
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
  auto err = [] { return std::error_code(errno, std::generic_category()); };
  vexahv::platform::UniqueFd listener = std::move(listening);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (listener) {
    // Handed over already listening (socket activation): its own address is the endpoint's.
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return err();
    if (sa.sin_family != AF_INET) return std::make_error_code(std::errc::address_family_not_supported);
    const int flags = ::fcntl(listener.get(), F_GETFL);
    if (flags < 0 || ::fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK) != 0) return err();
    char host[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
    options_.host = host;
  } else {
    listener = vexahv::platform::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) return err();
    const int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.host.c_str(), &sa.sin_addr) != 1) return std::make_error_code(std::errc::invalid_argument);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return err();
    if (::listen(listener.get(), SOMAXCONN) != 0) return err();
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sa), &len);
  }
  port_ = ntohs(sa.sin_port);
  epoll_ = vexahv::platform::UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
  wakeFd_ = vexahv::platform::UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll_ || !wakeFd_) return err();
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener.get(), &ev);
  ev.data.fd = wakeFd_.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeFd_.get(), &ev);
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
  listener_.reset();
  // The publishing thread too: the application may be released right after this.
  if (server_) server_->stop();
}

void UaEndpoint::wake() {
  if (!wakeFd_) return;
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_.get(), &one, sizeof one);
}

void UaEndpoint::loop(std::stop_token stop) {
  epoll_event events[64];
  auto nextSweep = Clock::now();
  while (!stop.stop_requested()) {
    const int n = ::epoll_wait(epoll_.get(), events, 64, 500);
    if (const auto now = Clock::now(); now >= nextSweep) {
      sweep();
      nextSweep = now + std::chrono::milliseconds(500);
    }
    for (int i = 0; i < n && !stop.stop_requested(); ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener_.get()) {
        accept();
      } else if (fd == wakeFd_.get()) {
        std::uint64_t count = 0;
        (void)!::read(wakeFd_.get(), &count, sizeof count);
      } else if (auto it = connections_.find(fd); it != connections_.end()) {
        auto c = it->second;
        if (events[i].events & EPOLLOUT) {
          {
            std::lock_guard lock(c->outMutex);
            c->writable = true;
          }
          flush(c);
        }
        if (c->readPaused && !(events[i].events & (EPOLLHUP | EPOLLERR))) continue;
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(c);
      }
    }
    std::vector<std::weak_ptr<Connection>> pending;
    {
      std::lock_guard lock(pendingMutex_);
      pending.swap(pending_);
    }
    for (auto& w : pending) {
      if (auto c = w.lock()) flush(c);
    }
  }
}

void UaEndpoint::accept() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &peerLength,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    vexahv::platform::UniqueFd owned(fd);
    if (connections_.size() >= options_.maxConnections && !evictOneWithoutSession()) continue;  // closed as it goes
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_shared<Connection>();
    c->fd = std::move(owned);
    std::weak_ptr<Connection> weak = c;
    c->ua = std::make_unique<UaConnection>(*server_, options_.limits, nextChannel_++,
                                           [this, weak](std::vector<std::uint8_t> bytes) {
                                             if (auto conn = weak.lock()) enqueue(conn, std::move(bytes));
                                           });
    c->ua->setTimeouts(options_.timeouts);
    char address[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address) != nullptr) c->ua->setPeer(address);
    Connection* raw = c.get();  // the gate is the connection's own: it never outlives it
    c->ua->setReadGate([raw, max = options_.maxQueuedBytes] { return raw->queued.load() < max; });
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) continue;
    connections_.emplace(fd, std::move(c));
  }
}

void UaEndpoint::enqueue(const std::shared_ptr<Connection>& c, std::vector<std::uint8_t> bytes) {
  {
    std::lock_guard lock(c->outMutex);
    std::size_t sent = 0;
    if (c->writable && c->out.empty()) {
      // Nothing queued: send from this thread at once and spare the network thread a wake-up.
      // The socket never blocks; what it does not take now is queued for EPOLLOUT.
      while (sent < bytes.size()) {
        const ssize_t n = ::send(c->fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // full or failed: the network thread sees which and acts
        }
      }
      if (sent == bytes.size()) return;
    }
    if (c->out.empty()) c->offset = sent;
    c->queued += bytes.size() - sent;
    c->out.push_back(std::move(bytes));
  }
  {
    std::lock_guard lock(pendingMutex_);
    pending_.push_back(c);
  }
  wake();
}

void UaEndpoint::readFrom(const std::shared_ptr<Connection>& c) {
  // Closed earlier in this round of events (a send to a peer that reset failed), while
  // requests it sent before the reset may still be waiting to be read: they go unread.
  if (!c->ua) return;
  std::uint8_t buffer[kReadChunk];
  for (;;) {
    const ssize_t n = ::recv(c->fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      if (!feed(c, {buffer, static_cast<std::size_t>(n)})) return;
      // A short read drained the socket; epoll reports anything that arrives later.
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    closeConnection(c->fd.get());  // end of stream or an error
    return;
  }
}

void UaEndpoint::flush(const std::shared_ptr<Connection>& c) {
  bool close = false;
  {
    std::lock_guard lock(c->outMutex);
    while (c->writable && !c->out.empty()) {
      const auto& front = c->out.front();
      const ssize_t n = ::send(c->fd.get(), front.data() + c->offset, front.size() - c->offset, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN) {
          c->writable = false;
          c->watchingOut = true;
          updateInterest(*c);
          break;
        }
        if (errno == EINTR) continue;
        close = true;
        break;
      }
      c->offset += static_cast<std::size_t>(n);
      c->queued -= static_cast<std::size_t>(n);
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
    closeConnection(c->fd.get());
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
  epoll_event ev{};
  ev.events = (c.readPaused ? 0u : std::uint32_t{EPOLLIN}) | (c.watchingOut ? std::uint32_t{EPOLLOUT} : 0u);
  ev.data.fd = c.fd.get();
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
}

void UaEndpoint::closeWithError(const std::shared_ptr<Connection>& c, StatusCode code, std::string_view reason) {
  {
    std::lock_guard lock(c->outMutex);
    if (c->out.empty()) {
      const std::vector<std::uint8_t> error = encodeError(code, reason);
      (void)!::send(c->fd.get(), error.data(), error.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  closeConnection(c->fd.get());
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
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  c->ua.reset();  // pending answers for it are dropped from here on
}

}  // namespace OpcToolbox::ua
