#pragma once
// One opc.tcp connection as a state machine over bytes: Hello first, then the secure
// channel (OpenSecureChannel with SecurityPolicy None), then chunked service messages,
// until CloseSecureChannel or an error. Socketless: the endpoint feeds it what it reads
// and sends what it hands out; tests and the fuzz target do the same from bytes.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "opctoolbox/ua/ua_security.h"
#include "opctoolbox/ua/ua_transport.h"

namespace OpcToolbox::ua {

// Answers one complete service request body (type id and fields) of a channel; respond
// may be called later, from any thread, exactly once.
class ServiceHandler {
 public:
  using Respond = std::function<void(std::vector<std::uint8_t> body)>;
  virtual ~ServiceHandler() = default;
  virtual void handle(std::uint32_t channelId, std::span<const std::uint8_t> body, Respond respond) = 0;
  virtual void channelClosed(std::uint32_t /*channelId*/) {}
  // The policies and identities offered; SecurityPolicy None and anonymous users unless
  // the handler says otherwise.
  virtual const SecurityConfiguration& security() const { return SecurityConfiguration::noneAnonymous(); }
};

class UaConnection {
 public:
  using Sink = std::function<void(std::vector<std::uint8_t> bytes)>;

  // sink gets every byte to send; it may be called from the handler's threads.
  UaConnection(ServiceHandler& handler, TransportLimits ours, std::uint32_t channelId, Sink sink);
  ~UaConnection();

  // Feeds received bytes. false: the connection is over (an Error has been sent when one
  // was due); the caller closes it after the last send.
  bool receive(std::span<const std::uint8_t> bytes);
  bool open() const;

 private:
  bool process(std::span<const std::uint8_t> message, const MessageHeader& header);
  bool fail(StatusCode code, std::string_view reason);
  void respond(std::uint32_t requestId, MessageType type, std::vector<std::uint8_t> body);

  ServiceHandler& handler_;
  TransportLimits ours_;
  TransportLimits agreed_;
  const std::uint32_t channelId_;
  Sink sink_;
  std::vector<std::uint8_t> input_;
  enum class State { AwaitHello, AwaitOpen, Open, Closed } state_ = State::AwaitHello;
  std::uint32_t tokenId_ = 0;
  std::uint32_t previousTokenId_ = 0;
  ChunkAssembler assembler_;
  std::mutex sendMutex_;
  // Chosen by each OpenSecureChannel; replaced (renewal) and used for sending under sendMutex_.
  std::unique_ptr<ChannelSecurity> security_;
  std::uint32_t sendSequence_ = 0;
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
