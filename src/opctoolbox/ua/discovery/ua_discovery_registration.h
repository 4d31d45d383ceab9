#pragma once
// The server's registration with a Local Discovery Server (OPC UA Part 12, 4.3; Part 4,
// 5.5.6 RegisterServer2): at start, again every period, and once more at stop as offline,
// so that the discovery server lists this server while it runs and only then. The
// discovery server is asked for its endpoints over None, and registration goes over the
// strongest secure endpoint it offers whose certificate this server trusts (the same
// trust list as for clients: an unknown one lands in pki/rejected/certs). A discovery
// server that cannot be reached is logged once and tried again every retry period; no
// attempt ever holds the start or the stop for longer than its time-out.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "opctoolbox/ua/channel/ua_channel_security.h"
#include "opctoolbox/ua/encoding/ua_client_messages.h"
#include "opctoolbox/ua/security/ua_security.h"
#include "platform/worker_thread.h"

namespace OpcToolbox::ua {

class UaClientChannel;

struct DiscoveryRegistrationOptions {
  std::string discoveryUrl;  // the discovery server's opc.tcp URL
  std::chrono::milliseconds period{600000}, retry{30000}, timeout{5000};
  ServerRegistration server;  // what is registered (isOnline is set per call)
  std::shared_ptr<const ServerCredentials> credentials;  // null: no secure channel can be had
  std::shared_ptr<CertificateVerifier> verifier;         // null: every certificate trusted
  enum class Level { Informational, Notice, Warning };
  std::function<void(Level, const std::string&)> log;
};

class DiscoveryRegistration {
 public:
  explicit DiscoveryRegistration(DiscoveryRegistrationOptions options);
  ~DiscoveryRegistration();
  DiscoveryRegistration(const DiscoveryRegistration&) = delete;
  DiscoveryRegistration& operator=(const DiscoveryRegistration&) = delete;

  void start();
  // Ends the thread, then tells the discovery server this server is offline when it was
  // registered.
  void stop();
  // One registration, online or offline: Good, or the status with why.
  StatusCode registerOnce(bool online, std::stop_token stop, std::string& why);

 private:
  void run(std::stop_token stop);
  // The endpoint to register over: the discovery server's strongest secure one.
  StatusCode chooseEndpoint(std::stop_token stop, EndpointOffer& out, const SecurityPolicy*& policy, std::string& why);
  // Runs one step on a channel that a stop aborts.
  StatusCode withChannel(std::stop_token stop, const std::function<StatusCode(UaClientChannel&)>& step);

  const DiscoveryRegistrationOptions options_;
  std::mutex mutex_;
  bool registered_ = false;  // guarded by mutex_
  std::uint32_t requestHandle_ = 0;  // the thread's, then stop()'s
  vexahv::platform::WorkerThread thread_;
};

}  // namespace OpcToolbox::ua
