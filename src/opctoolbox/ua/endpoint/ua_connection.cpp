#include "opctoolbox/ua/endpoint/ua_connection.h"

#include <algorithm>
#include <chrono>

#include "opctoolbox/ua/channel/ua_chunk_writer.h"
#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint32_t kMinLifetime = 10000;
constexpr std::uint32_t kMaxLifetime = 3600000;

}  // namespace

UaConnection::UaConnection(ServiceHandler& handler, TransportLimits ours, std::uint32_t channelId, Sink sink)
    : handler_(handler), ours_(ours), agreed_(ours), channelId_(channelId), sink_(std::move(sink)), assembler_(ours) {}

UaConnection::~UaConnection() {
  {
    std::lock_guard lock(liveness_->mutex);
    liveness_->alive = false;
  }
  if (handlerKnowsChannel_) handler_.channelClosed(channelId_);
}

bool UaConnection::open() const { return state_ != State::Closed; }

void UaConnection::setTimeouts(ConnectionTimeouts t) {
  timeouts_ = t;
  if (state_ == State::AwaitHello) deadline_ = accepted_ + t.hello;
  else if (state_ == State::AwaitOpen) deadline_ = accepted_ + t.open;
}

bool UaConnection::fail(StatusCode code, std::string_view reason) {
  if (state_ != State::Closed) sink_(encodeError(code, reason));
  state_ = State::Closed;
  return false;
}

bool UaConnection::receive(std::span<const std::uint8_t> bytes) {
  if (state_ == State::Closed) return false;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  std::size_t used = 0;
  while (input_.size() - used >= kHeaderSize && !(mayProcess_ && !mayProcess_())) {
    MessageHeader header;
    const std::uint32_t limit = state_ == State::AwaitHello ? 65536 : agreed_.receiveBufferSize;
    const std::span<std::uint8_t> rest(input_.data() + used, input_.size() - used);
    if (StatusCode rc = parseHeader(rest, limit, header); rc != kGood) return fail(rc, "bad message header");
    if (rest.size() < header.size) break;
    if (!process(rest.first(header.size), header)) return false;
    used += header.size;
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
  return true;
}

bool UaConnection::process(std::span<std::uint8_t> message, const MessageHeader& header) {
  if (state_ == State::AwaitHello) {
    if (header.type != MessageType::Hello) return fail(kBadTcpMessageTypeInvalid, "Hello expected");
    Hello hello;
    if (StatusCode rc = decodeHello(message.subspan(kHeaderSize), hello); rc != kGood) return fail(rc, "bad Hello");
    if (StatusCode rc = negotiate(ours_, hello, agreed_); rc != kGood) return fail(rc, "buffers too small");
    assembler_ = ChunkAssembler(agreed_);
    sink_(encodeAcknowledge(agreed_));
    state_ = State::AwaitOpen;
    deadline_ = accepted_ + timeouts_.open;
    return true;
  }
  if (header.type == MessageType::Hello) return fail(kBadTcpMessageTypeInvalid, "second Hello");
  if (header.type != MessageType::Open && header.type != MessageType::Message && header.type != MessageType::Close) {
    return fail(kBadTcpMessageTypeInvalid, "unexpected message type");
  }
  Chunk chunk;
  if (StatusCode rc = parseChunk(message, header, chunk); rc != kGood) return fail(rc, "bad chunk");

  if (header.type == MessageType::Open) return openChannel(message, chunk);
  if (state_ != State::Open) return fail(kBadTcpMessageTypeInvalid, "secure channel not open");
  if (chunk.secureChannelId != channelId_) return fail(kBadSecureChannelIdInvalid, "unknown secure channel");
  // After a renewal the old token stays good until its lifetime ends.
  if (previousTokenId_ != tokenId_ && Clock::now() >= previousTokenEnds_) {
    std::lock_guard lock(sendMutex_);
    previousTokenId_ = tokenId_;
    sendTokenId_ = tokenId_;
    security_->retireTokensBefore(tokenId_);
  }
  if (chunk.tokenId != tokenId_ && chunk.tokenId != previousTokenId_) {
    return fail(kBadSecureChannelTokenUnknown, "unknown security token");
  }
  if (StatusCode rc = security_->unprotect(message, chunk); rc != kGood) return fail(rc, "chunk failed its security check");
  if (chunk.tokenId == tokenId_ && sendTokenId_ != tokenId_) {
    // The client has the new token: answers go with it from now on.
    std::lock_guard lock(sendMutex_);
    sendTokenId_ = tokenId_;
  }
  if (header.type == MessageType::Close) {
    if (StatusCode rc = assembler_.checkSequence(chunk.sequence.sequenceNumber); rc != kGood) {
      return fail(rc, "bad sequence number");
    }
    state_ = State::Closed;
    return false;
  }
  ChunkAssembler::Result result;
  if (StatusCode rc = assembler_.add(chunk, result); rc != kGood) return fail(rc, "bad message chunks");
  if (result != ChunkAssembler::Result::Complete) return true;
  const std::uint32_t requestId = assembler_.requestId();
  if (!handlerKnowsChannel_) {
    handlerKnowsChannel_ = true;
    handler_.channelOpened(channelId_, peer_, security_);
  }
  handler_.handle(channelId_, assembler_.message(),
                  [this, live = liveness_, requestId](std::vector<std::uint8_t> body) {
                    std::lock_guard lock(live->mutex);
                    if (live->alive) respond(requestId, MessageType::Message, std::move(body));
                  });
  return true;
}

bool UaConnection::openChannel(std::span<std::uint8_t> message, Chunk& chunk) {
  if (state_ == State::Open && chunk.secureChannelId != channelId_) {
    return fail(kBadSecureChannelIdInvalid, "unknown secure channel");
  }
  std::unique_ptr<ChannelSecurity> fresh;
  ChannelSecurity* security = security_.get();
  if (state_ == State::AwaitOpen) {
    StatusCode why = kGood;
    fresh = handler_.security().openChannel(chunk.asymmetric, why);
    if (!fresh) {
      handler_.channelRefused(peer_, why, "security policy or client certificate");
      return fail(why, "security policy or client certificate refused: " + statusName(why));
    }
    security = fresh.get();
  } else {
    const std::string& sender = chunk.asymmetric.senderCertificate.value_or("");
    if (chunk.asymmetric.policyUri.value_or("") != security->policyUri() ||
        !security->sameClient(std::span(reinterpret_cast<const std::uint8_t*>(sender.data()), sender.size()))) {
      return fail(kBadSecurityChecksFailed, "renewal with another policy or certificate");
    }
  }
  if (StatusCode rc = security->unprotect(message, chunk); rc != kGood) {
    handler_.channelRefused(peer_, rc, "OpenSecureChannel signature or encryption");
    return fail(rc, "OpenSecureChannel failed its security check");
  }
  if (StatusCode rc = assembler_.checkSequence(chunk.sequence.sequenceNumber); rc != kGood) {
    return fail(rc, "bad sequence number");
  }
  Decoder d(chunk.body);
  const NodeId type = d.nodeId();
  if (!(type == NodeId::numericId(0, id::OpenSecureChannelRequest))) return fail(kBadDecodingError, "not an OpenSecureChannel");
  const OpenSecureChannelRequest request = decodeOpenSecureChannelRequest(d);
  if (!d.ok()) return fail(d.status(), "bad OpenSecureChannel");
  if ((request.requestType == 0) != (state_ == State::AwaitOpen)) {
    return fail(kBadTcpMessageTypeInvalid, "issue once, then renew");
  }
  const std::string& clientNonce = request.clientNonce.value_or("");
  UaString nonce;
  {
    std::lock_guard lock(sendMutex_);
    if (StatusCode rc = security->startToken(
            tokenId_ + 1, request.securityMode,
            std::span(reinterpret_cast<const std::uint8_t*>(clientNonce.data()), clientNonce.size()), nonce);
        rc != kGood) {
      handler_.channelRefused(peer_, rc, "security mode or nonce");
      return fail(rc, "security mode or nonce refused: " + statusName(rc));
    }
    if (fresh) security_ = std::move(fresh);
    // Answers go with a token the channel still holds keys for: at most the one before.
    if (state_ == State::Open && sendTokenId_ != tokenId_) sendTokenId_ = tokenId_;
  }
  const std::uint32_t lifetime = std::clamp(request.requestedLifetime, kMinLifetime, kMaxLifetime);
  previousTokenId_ = tokenId_;
  previousTokenEnds_ = tokenEnds_;
  ++tokenId_;
  tokenEnds_ = Clock::now() + std::chrono::milliseconds(lifetime);
  if (state_ == State::AwaitOpen) {
    channelOpenedAt_ = Clock::now();
    previousTokenId_ = tokenId_;
    std::lock_guard lock(sendMutex_);
    sendTokenId_ = tokenId_;
  }
  // A client renews at 75 % of the lifetime; a quarter more is the grace for a late one.
  deadline_ = Clock::now() + std::chrono::milliseconds(lifetime) + std::chrono::milliseconds(lifetime / 4);
  state_ = State::Open;
  respond(chunk.sequence.requestId, MessageType::Open,
          encodeOpenSecureChannelResponse(request.header.requestHandle, channelId_, tokenId_, nowTicks(), lifetime,
                                          nonce));
  return true;
}

void UaConnection::respond(std::uint32_t requestId, MessageType type, std::vector<std::uint8_t> body) {
  std::vector<std::uint8_t> out;
  std::lock_guard lock(sendMutex_);
  ChunkWriter w{type, channelId_, sendTokenId_, &sendSequence_, requestId, agreed_, security_.get()};
  if (writeChunks(w, body, out) != kGood) {
    // Too large for the client: it gets a fault instead of the answer.
    Decoder d(body);
    d.nodeId();
    const std::uint32_t handle = [&] {
      d.dateTime();
      return d.uint32();
    }();
    out.clear();
    writeChunks(w, encodeServiceFault(handle, kBadResponseTooLarge), out);
  }
  if (!out.empty()) sink_(std::move(out));
}

}  // namespace OpcToolbox::ua
