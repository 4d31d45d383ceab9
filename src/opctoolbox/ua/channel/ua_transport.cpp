#include "opctoolbox/ua/channel/ua_transport.h"

#include <algorithm>
#include <cstring>

namespace OpcToolbox::ua {
namespace {

const char* typeBytes(MessageType t) {
  switch (t) {
    case MessageType::Hello: return "HEL";
    case MessageType::Acknowledge: return "ACK";
    case MessageType::Error: return "ERR";
    case MessageType::ReverseHello: return "RHE";
    case MessageType::Open: return "OPN";
    case MessageType::Message: return "MSG";
    case MessageType::Close: return "CLO";
  }
  return "ERR";
}

std::vector<std::uint8_t> withHeader(MessageType t, std::vector<std::uint8_t> body) {
  body.insert(body.begin(), kHeaderSize, 0);
  putMessageHeader(body, t, 'F', 0);
  return body;
}

}  // namespace

void putMessageHeader(std::vector<std::uint8_t>& out, MessageType t, char chunk, std::size_t at) {
  std::memcpy(out.data() + at, typeBytes(t), 3);
  out[at + 3] = static_cast<std::uint8_t>(chunk);
  const auto size = static_cast<std::uint32_t>(out.size() - at);
  for (int i = 0; i < 4; ++i) out[at + 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
}

StatusCode parseHeader(std::span<const std::uint8_t> bytes, std::uint32_t maxSize, MessageHeader& out) {
  if (bytes.size() < kHeaderSize) return kBadDecodingError;
  const std::string_view type(reinterpret_cast<const char*>(bytes.data()), 3);
  if (type == "HEL") out.type = MessageType::Hello;
  else if (type == "ACK") out.type = MessageType::Acknowledge;
  else if (type == "ERR") out.type = MessageType::Error;
  else if (type == "RHE") out.type = MessageType::ReverseHello;
  else if (type == "OPN") out.type = MessageType::Open;
  else if (type == "MSG") out.type = MessageType::Message;
  else if (type == "CLO") out.type = MessageType::Close;
  else return kBadTcpMessageTypeInvalid;
  out.chunk = static_cast<char>(bytes[3]);
  const bool chunked = out.type == MessageType::Message;
  if (out.chunk != 'F' && !(chunked && (out.chunk == 'C' || out.chunk == 'A'))) return kBadTcpMessageTypeInvalid;
  Decoder d(bytes.subspan(4, 4));
  out.size = d.uint32();
  if (out.size < kHeaderSize) return kBadDecodingError;
  if (out.size > maxSize) return kBadTcpMessageTooLarge;
  return kGood;
}

StatusCode decodeHello(std::span<const std::uint8_t> body, Hello& out) {
  Decoder d(body, DecodeLimits{4096, 4096, 0});
  out.protocolVersion = d.uint32();
  out.limits.receiveBufferSize = d.uint32();
  out.limits.sendBufferSize = d.uint32();
  out.limits.maxMessageSize = d.uint32();
  out.limits.maxChunkCount = d.uint32();
  const UaString url = d.string();
  if (!d.ok()) return d.status() == kBadEncodingLimitsExceeded ? kBadTcpEndpointUrlInvalid : d.status();
  if (d.remaining() != 0) return kBadDecodingError;
  out.endpointUrl = url.value_or("");
  return kGood;
}

StatusCode negotiate(const TransportLimits& ours, const Hello& hello, TransportLimits& agreed) {
  const TransportLimits& c = hello.limits;
  if (c.receiveBufferSize < kMinBufferSize || c.sendBufferSize < kMinBufferSize) return kBadTcpInternalError;
  // We send at most what the client can receive, and receive at most what it sends.
  agreed.sendBufferSize = std::min(ours.sendBufferSize, c.receiveBufferSize);
  agreed.receiveBufferSize = std::min(ours.receiveBufferSize, c.sendBufferSize);
  // 0 means "no limit" from the client; ours always applies.
  agreed.maxMessageSize = c.maxMessageSize == 0 ? ours.maxMessageSize : std::min(ours.maxMessageSize, c.maxMessageSize);
  agreed.maxChunkCount = c.maxChunkCount == 0 ? ours.maxChunkCount : std::min(ours.maxChunkCount, c.maxChunkCount);
  return kGood;
}

std::vector<std::uint8_t> encodeAcknowledge(const TransportLimits& agreed) {
  std::vector<std::uint8_t> body;
  Encoder e(body);
  e.uint32(0);
  e.uint32(agreed.receiveBufferSize);
  e.uint32(agreed.sendBufferSize);
  e.uint32(agreed.maxMessageSize);
  e.uint32(agreed.maxChunkCount);
  return withHeader(MessageType::Acknowledge, std::move(body));
}

std::vector<std::uint8_t> encodeError(StatusCode error, std::string_view reason) {
  std::vector<std::uint8_t> body;
  Encoder e(body);
  e.uint32(error);
  e.string(reason.substr(0, 4096));
  return withHeader(MessageType::Error, std::move(body));
}

std::vector<std::uint8_t> encodeHello(const TransportLimits& ours, std::string_view endpointUrl) {
  std::vector<std::uint8_t> body;
  Encoder e(body);
  e.uint32(0);
  e.uint32(ours.receiveBufferSize);
  e.uint32(ours.sendBufferSize);
  e.uint32(ours.maxMessageSize);
  e.uint32(ours.maxChunkCount);
  e.string(endpointUrl.substr(0, 4096));
  return withHeader(MessageType::Hello, std::move(body));
}

StatusCode decodeAcknowledge(std::span<const std::uint8_t> body, TransportLimits& out) {
  Decoder d(body);
  if (d.uint32() != 0 && d.ok()) return kBadProtocolVersionUnsupported;
  TransportLimits l;
  l.receiveBufferSize = d.uint32();
  l.sendBufferSize = d.uint32();
  l.maxMessageSize = d.uint32();
  l.maxChunkCount = d.uint32();
  if (!d.ok()) return d.status();
  if (d.remaining() != 0) return kBadDecodingError;
  if (l.receiveBufferSize < kMinBufferSize || l.sendBufferSize < kMinBufferSize) return kBadTcpInternalError;
  out = l;
  return kGood;
}

StatusCode decodeError(std::span<const std::uint8_t> body, StatusCode& error, std::string& reason) {
  Decoder d(body, DecodeLimits{4096, 4096, 0});
  const StatusCode code = d.statusCode();
  const UaString text = d.string();
  if (!d.ok()) return d.status();
  error = code;
  reason = text.value_or("");
  return kGood;
}

StatusCode parseChunk(std::span<const std::uint8_t> message, const MessageHeader& header, Chunk& out) {
  out.header = header;
  Decoder d(message.subspan(kHeaderSize), DecodeLimits{1024, 1u << 16, 0});
  out.secureChannelId = d.uint32();
  if (header.type == MessageType::Open) {
    out.asymmetric.secureChannelId = out.secureChannelId;
    out.asymmetric.policyUri = d.string();
    out.asymmetric.senderCertificate = d.byteString();
    out.asymmetric.receiverThumbprint = d.byteString();
  } else {
    out.tokenId = d.uint32();
  }
  out.sequenceOffset = kHeaderSize + d.position();
  out.sequence.sequenceNumber = d.uint32();
  out.sequence.requestId = d.uint32();
  if (!d.ok()) return kBadDecodingError;
  out.body = message.subspan(kHeaderSize + d.position());
  return kGood;
}

StatusCode ChunkAssembler::checkSequence(std::uint32_t seq) {
  // Sequence numbers grow by one; after 4294966271 they may wrap to a value below 1024.
  if (lastSequence_ && seq != *lastSequence_ + 1 && !(*lastSequence_ > 4294966271u && seq < 1024)) {
    return kBadSequenceNumberInvalid;
  }
  lastSequence_ = seq;
  return kGood;
}

StatusCode ChunkAssembler::add(const Chunk& chunk, Result& result) {
  if (StatusCode rc = checkSequence(chunk.sequence.sequenceNumber); rc != kGood) return rc;
  if (chunk.header.chunk == 'A') {
    body_.clear();
    chunks_ = 0;
    result = Result::Aborted;
    return kGood;
  }
  if (chunks_ == 0) {
    body_.clear();  // a new message begins
    requestId_ = chunk.sequence.requestId;
  }
  else if (chunk.sequence.requestId != requestId_) return kBadSequenceNumberInvalid;
  if (++chunks_ > limits_.maxChunkCount) return kBadRequestTooLarge;
  if (body_.size() + chunk.body.size() > limits_.maxMessageSize) return kBadRequestTooLarge;
  body_.insert(body_.end(), chunk.body.begin(), chunk.body.end());
  if (chunk.header.chunk == 'F') {
    chunks_ = 0;
    result = Result::Complete;
  } else {
    result = Result::More;
  }
  return kGood;
}

}  // namespace OpcToolbox::ua
