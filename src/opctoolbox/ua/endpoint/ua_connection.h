#pragma once
// One opc.tcp connection as a state machine over bytes: Hello first, then the secure
// channel (OpenSecureChannel under the policy the client chose), then chunked service messages,
// until CloseSecureChannel or an error. Socketless: the endpoint feeds it what it reads
// and sends what it hands out; tests and the fuzz target do the same from bytes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "opctoolbox/ua/services/ua_service_handler.h"
#include "opctoolbox/ua/channel/ua_transport.h"

namespace OpcToolbox::ua {

// How long a connection may take over each step before it has earned its place.
struct ConnectionTimeouts {
  std::chrono::milliseconds hello{5000};   // from accept to a complete Hello
  std::chrono::milliseconds open{10000};   // from accept to the first OpenSecureChannel
};

class UaConnection {
 public:
  using Sink = std::function<void(std::vector<std::uint8_t> bytes)>;
  using Clock = std::chrono::steady_clock;

  // sink gets every byte to send; it may be called from the handler's threads.
  UaConnection(ServiceHandler& handler, TransportLimits ours, std::uint32_t channelId, Sink sink);
  ~UaConnection();

  // Feeds received bytes. false: the connection is over (an Error has been sent when one
  // was due); the caller closes it after the last send.
  // Messages already received but not yet processed stay buffered while mayProcess()
  // says no (the answers waiting to be sent are over their bound); receive({}) goes on
  // with them later.
  bool receive(std::span<const std::uint8_t> bytes);
  bool open() const;
  void setReadGate(std::function<bool()> mayProcess) { mayProcess_ = std::move(mayProcess); }
  void setTimeouts(ConnectionTimeouts t);
  void setPeer(std::string address) { peer_ = std::move(address); }

  // The moment by which the connection must have taken its next step: Hello, then
  // OpenSecureChannel, then a renewal before its token's lifetime (and a quarter of it
  // for grace) is over. Past it the owner closes the connection.
  Clock::time_point deadline() const { return deadline_; }
  // Since when the secure channel is open (the epoch before).
  Clock::time_point channelOpenedAt() const { return channelOpenedAt_; }
  bool channelOpen() const { return state_ == State::Open; }
  std::uint32_t channelId() const { return channelId_; }

 private:
  // message is the chunk's own bytes: a secure policy decrypts it in place.
  bool process(std::span<std::uint8_t> message, const MessageHeader& header);
  bool openChannel(std::span<std::uint8_t> message, Chunk& chunk);
  bool fail(StatusCode code, std::string_view reason);
  void respond(std::uint32_t requestId, MessageType type, std::vector<std::uint8_t> body);

  ServiceHandler& handler_;
  TransportLimits ours_;
  TransportLimits agreed_;
  const std::uint32_t channelId_;
  Sink sink_;
  std::vector<std::uint8_t> input_;
  std::function<bool()> mayProcess_;
  std::string peer_;
  const Clock::time_point accepted_ = Clock::now();
  ConnectionTimeouts timeouts_;
  Clock::time_point deadline_ = accepted_ + timeouts_.hello;
  Clock::time_point channelOpenedAt_{};
  enum class State { AwaitHello, AwaitOpen, Open, Closed } state_ = State::AwaitHello;
  std::uint32_t tokenId_ = 0;
  std::uint32_t previousTokenId_ = 0;
  Clock::time_point tokenEnds_{}, previousTokenEnds_{};  // when each token's lifetime is over
  ChunkAssembler assembler_;
  std::mutex sendMutex_;
  // Chosen by each OpenSecureChannel; replaced (renewal) and used for sending under sendMutex_.
  std::shared_ptr<ChannelSecurity> security_;
  std::uint32_t sendSequence_ = 0;
  std::uint32_t sendTokenId_ = 0;  // the token answers go with (under sendMutex_)
  bool handlerKnowsChannel_ = false;
  // Shared with pending answers: one that arrives after the connection is gone is dropped,
  // and the connection is not destroyed while one is being sent.
  struct Liveness {
    std::mutex mutex;
    bool alive = true;
  };
  std::shared_ptr<Liveness> liveness_ = std::make_shared<Liveness>();
};

}  // namespace OpcToolbox::ua
