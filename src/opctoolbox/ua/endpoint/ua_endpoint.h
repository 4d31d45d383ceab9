#pragma once
// The opc.tcp endpoint: one network thread accepts and serves every connection, and it
// alone touches their sockets. Its own answers (those served from memory) are sent at
// once; other threads' answers (device reads, publishing, password checks) are queued and
// handed to it. stop() closes the listener and every connection and joins the thread; the
// application's stop() calls it too. Stop the endpoint before releasing the application.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "opctoolbox/ua/endpoint/ua_connection.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "platform/event_loop.h"
#include "platform/socket.h"
#include "platform/unique_fd.h"
#include "platform/worker_thread.h"

namespace OpcToolbox::ua {

struct EndpointOptions {
  std::string host = "0.0.0.0";
  std::uint16_t port = 4840;  // 0: any free port
  // At the limit, the oldest connection without an activated session makes room.
  std::size_t maxConnections = 200;
  ConnectionTimeouts timeouts;                   // Hello and OpenSecureChannel
  std::chrono::milliseconds sessionSetup{30000};  // from the channel's opening to an activated session
  // Answers waiting to be sent on one connection: past this its requests wait unread
  // until half of it has drained; one that does not drain within drainTimeout is closed.
  std::size_t maxQueuedBytes = 16u << 20;
  std::chrono::milliseconds drainTimeout{60000};
  TransportLimits limits;
  ServerLimits server;
  // Endpoints, certificates and identities; null: SecurityPolicy None with anonymous users.
  std::shared_ptr<const SecurityConfiguration> security;
  AuditLog audit;  // the audit lines (sessions, refusals, writes)
  // The Local Discovery Server this server registers with (empty: none), how often it
  // registers again, and how soon after a failed attempt.
  std::string discoveryServerUrl;
  std::chrono::milliseconds discoveryRegisterInterval{600000};
  std::chrono::milliseconds discoveryRetryInterval{30000};
  // VEXAHV_OPCUA_PORT and VEXAHV_OPCUA_HOST over the defaults: empty, or what is wrong
  // with a bad value (naming the variable and the value).
  static std::string fromEnvironment(EndpointOptions& out);
};

class UaEndpoint {
 public:
  UaEndpoint(Application& app, EndpointOptions options);
  ~UaEndpoint();

  // listening: a socket already bound and listening (handed over by the service
  // manager); without it the endpoint binds host:port itself.
  std::error_code start(vexahv::platform::UniqueFd listening = {});
  void stop();
  std::uint16_t port() const { return port_; }
  // "opc.tcp://host:port"
  std::string url() const;
  UaServer& server() { return *server_; }
  // The server's diagnostics with the bytes waiting to be sent on every connection and the
  // alarms waiting for an acknowledgement.
  EndpointDiagnostics diagnostics() const;

 private:
  struct Connection;
  void loop(std::stop_token stop);
  void accept();
  void readFrom(const std::shared_ptr<Connection>& c);
  void enqueue(const std::shared_ptr<Connection>& c, std::vector<std::uint8_t> bytes);
  void flush(const std::shared_ptr<Connection>& c);
  void closeConnection(int fd);
  // Sends an Error when nothing else is waiting, then closes.
  void closeWithError(const std::shared_ptr<Connection>& c, StatusCode code, std::string_view reason);
  // Closes what overstayed: a step not taken in time, a session never activated, answers never drained.
  void sweep();
  // Makes room for one more connection at the limit; false when every connection has a session.
  bool evictOneWithoutSession();
  void updateInterest(Connection& c);
  void pauseReading(Connection& c);
  // Hands received bytes (none: what is buffered) to the connection. false when it was
  // closed or its reading paused: read no more now.
  bool feed(const std::shared_ptr<Connection>& c, std::span<const std::uint8_t> bytes);
  void wake();

  Application& app_;
  EndpointOptions options_;
  std::uint16_t port_ = 0;
  std::unique_ptr<UaServer> server_;
  vexahv::platform::Socket listener_;
  vexahv::platform::EventLoop events_;  // the network thread's
  std::map<int, std::shared_ptr<Connection>> connections_;  // network thread only
  std::mutex pendingMutex_;
  std::vector<std::weak_ptr<Connection>> pending_;  // connections with answers handed over
  std::uint32_t nextChannel_ = 1;
  const std::shared_ptr<std::atomic<std::size_t>> queuedBytes_ = std::make_shared<std::atomic<std::size_t>>(0);
  std::uint64_t stopHandler_ = 0;
  vexahv::platform::WorkerThread thread_;
};

}  // namespace OpcToolbox::ua
