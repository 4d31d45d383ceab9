#pragma once
// HTTPS in front of the HTTP endpoint, with OpenSSL: it takes TLS connections on the
// outside address and passes each one's bytes, decrypted, to the endpoint on loopback and
// its answer back. It reads no HTTP; the endpoint does. Bounded: a few connections at once
// (one more is closed at once), each with 10 s from its handshake to its last byte, and
// TLS 1.2 or later. With client certificates asked for, a connection without one signed by
// them ends in its handshake.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/socket.h"

struct ssl_ctx_st;

namespace vexahv::http {

struct TlsFrontSettings {
  std::filesystem::path certificate;         // PEM: the server's certificate and its chain
  std::filesystem::path privateKey;          // PEM
  std::filesystem::path clientCertificates;  // PEM: the issuers a client must be signed by (empty: none asked)
};

class TlsFront {
 public:
  TlsFront();
  ~TlsFront();
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  // Empty when the certificate, its key and the client certificates' issuers load;
  // otherwise which did not, and why.
  std::string load(const TlsFrontSettings& settings);
  // Empty when it serves what it loaded; otherwise why not (an address taken).
  std::string start(const platform::Ipv4Endpoint& outside, const platform::Ipv4Endpoint& inside);
  std::uint16_t port() const noexcept { return port_; }
  // Ends every connection and joins its threads.
  void stop() noexcept;
  // The outside address ("a.b.c.d") of the client whose bytes reach the endpoint from
  // this loopback port, while its connection lasts; empty for a port not the front's.
  std::string peerOf(std::uint16_t loopbackPort) const;

  struct State;
  struct Peers;

 private:
  const std::unique_ptr<Peers> peers_;  // outlives the relaying threads, joined in stop()
  std::unique_ptr<State> state_;
  ssl_ctx_st* loaded_ = nullptr;  // what load() made, until start() takes it
  std::uint16_t port_ = 0;
};

}  // namespace vexahv::http
