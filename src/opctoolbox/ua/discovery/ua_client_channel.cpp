#include "opctoolbox/ua/discovery/ua_client_channel.h"

#include <charconv>

#include "opctoolbox/ua/channel/ua_chunk_writer.h"
#include "opctoolbox/ua/encoding/ua_client_messages.h"
#include "opctoolbox/ua/security/ua_security.h"

namespace OpcToolbox::ua {
namespace {

using vexahv::platform::Ipv4Endpoint;
using vexahv::platform::Socket;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLifetimeMs = 3600000;
constexpr std::uint32_t kMaxResponse = 1u << 20;  // a discovery server says little
constexpr std::uint32_t kMaxChunks = 32;

StatusCode failed(std::string& why, std::string text, StatusCode code) {
  why = std::move(text);
  return code;
}

}  // namespace

std::string parseOpcTcpUrl(std::string_view url, Ipv4Endpoint& out) {
  constexpr std::string_view scheme = "opc.tcp://";
  if (url.substr(0, scheme.size()) != scheme) return "it does not begin with opc.tcp://";
  std::string_view rest = url.substr(scheme.size());
  rest = rest.substr(0, rest.find('/'));
  const std::size_t colon = rest.rfind(':');
  const std::string_view host = rest.substr(0, colon);
  Ipv4Endpoint ep;
  ep.port = 4840;
  if (colon != std::string_view::npos) {
    const std::string_view port = rest.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
      return "its port is not a number from 1 to 65535";
    }
    ep.port = static_cast<std::uint16_t>(value);
  }
  if (host == "localhost") {
    ep.address = vexahv::platform::kLoopback;
  } else if (!Ipv4Endpoint::parseAddress(host, ep.address)) {
    return "its host is neither an IPv4 address nor localhost";
  }
  out = ep;
  return {};
}

UaClientChannel::~UaClientChannel() { close(); }

StatusCode UaClientChannel::connect(const std::string& url, std::string& why) {
  Ipv4Endpoint remote;
  if (std::string bad = parseOpcTcpUrl(url, remote); !bad.empty()) {
    return failed(why, "the URL [" + url + "] is refused: " + bad, kBadTcpEndpointUrlInvalid);
  }
  Socket s;
  if (const auto ec = Socket::open(Socket::Kind::Tcp, s)) return failed(why, ec.message(), kBadTcpInternalError);
  s.setReceiveTimeout(timeout_);
  s.setSendTimeout(timeout_);
  s.setNoDelay(true);
  {
    std::lock_guard lock(socketMutex_);
    if (aborted_) return failed(why, "stopped", kBadTcpInternalError);
    socket_ = std::move(s);
  }
  if (const auto ec = socket_.connect(remote, timeout_)) {
    return failed(why, remote.toString() + ": " + ec.message(), kBadTcpInternalError);
  }
  TransportLimits ours;
  ours.maxMessageSize = kMaxResponse;
  ours.maxChunkCount = kMaxChunks;
  const std::vector<std::uint8_t> hello = encodeHello(ours, url);
  if (const auto ec = socket_.sendAll(hello.data(), hello.size())) return failed(why, ec.message(), kBadTcpInternalError);
  limits_ = ours;
  std::vector<std::uint8_t> bytes;
  MessageHeader header;
  if (const StatusCode rc = receiveMessage(bytes, header, why); rc != kGood) return rc;
  if (header.type != MessageType::Acknowledge) return failed(why, "no Acknowledge to the Hello", kBadTcpMessageTypeInvalid);
  TransportLimits server;
  if (const StatusCode rc = decodeAcknowledge(std::span(bytes).subspan(kHeaderSize), server); rc != kGood) {
    return failed(why, "a damaged Acknowledge", rc);
  }
  // We send what the server receives; it was asked to send no more than we receive.
  limits_.sendBufferSize = std::min(ours.sendBufferSize, server.receiveBufferSize);
  if (server.maxMessageSize != 0) limits_.maxMessageSize = std::min(ours.maxMessageSize, server.maxMessageSize);
  if (server.maxChunkCount != 0) limits_.maxChunkCount = std::min(ours.maxChunkCount, server.maxChunkCount);
  return kGood;
}

StatusCode UaClientChannel::open(std::unique_ptr<SecureChannel> security, std::uint32_t mode, std::string& why) {
  security_ = std::move(security);
  crypto::Bytes nonce;
  if (security_) {
    nonce.resize(kNonceLength);
    if (!crypto::randomFill(nonce)) return failed(why, "no random nonce", kBadSecurityChecksFailed);
  } else {
    mode = kModeNone;
  }
  const std::uint32_t requestId = ++requestId_;
  const auto body = encodeOpenSecureChannelRequest(requestId, mode, UaString{std::string(nonce.begin(), nonce.end())},
                                                   kLifetimeMs);
  if (const StatusCode rc = send(MessageType::Open, body, requestId, why); rc != kGood) return rc;
  std::vector<std::uint8_t> response;
  if (const StatusCode rc = receive(MessageType::Open, requestId, response, why); rc != kGood) return rc;
  OpenSecureChannelResult result;
  StatusCode serviceResult = kGood;
  if (const StatusCode rc = decodeOpenSecureChannelResponse(response, result, serviceResult); rc != kGood) {
    return failed(why, "a damaged OpenSecureChannel response", rc);
  }
  if (serviceResult != kGood) return failed(why, "OpenSecureChannel refused: " + statusName(serviceResult), serviceResult);
  if (security_) {
    const std::string& peer = result.serverNonce.value_or("");
    const auto peerNonce = std::span(reinterpret_cast<const std::uint8_t*>(peer.data()), peer.size());
    if (const StatusCode rc = security_->adoptToken(result.tokenId, mode, nonce, peerNonce); rc != kGood) {
      return failed(why, "the server's nonce is unusable", rc);
    }
  }
  channelId_ = result.channelId;
  tokenId_ = result.tokenId;
  open_ = true;
  return kGood;
}

StatusCode UaClientChannel::call(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& response,
                                 std::string& why) {
  if (!open_) return failed(why, "no open channel", kBadSecureChannelIdInvalid);
  const std::uint32_t requestId = ++requestId_;
  if (const StatusCode rc = send(MessageType::Message, request, requestId, why); rc != kGood) return rc;
  return receive(MessageType::Message, requestId, response, why);
}

void UaClientChannel::close() {
  if (open_) {
    open_ = false;
    std::string ignored;
    const std::uint32_t requestId = ++requestId_;
    // The server closes its end on it; there is no answer to wait for.
    send(MessageType::Close, encodeCloseSecureChannelRequest(requestId), requestId, ignored);
  }
  std::lock_guard lock(socketMutex_);
  socket_.shutdown();
  socket_.close();
}

void UaClientChannel::abort() {
  std::lock_guard lock(socketMutex_);
  aborted_ = true;
  socket_.shutdown();
}

StatusCode UaClientChannel::send(MessageType type, std::span<const std::uint8_t> body, std::uint32_t requestId,
                                 std::string& why) {
  ChunkWriter w;
  w.type = type;
  w.secureChannelId = channelId_;
  w.tokenId = tokenId_;
  w.sequenceNumber = &sequence_;
  w.requestId = requestId;
  w.limits = limits_;
  w.security = security_.get();
  std::vector<std::uint8_t> out;
  if (const StatusCode rc = writeChunks(w, body, out); rc != kGood) {
    return failed(why, "the request could not be sent: " + statusName(rc), rc == kBadResponseTooLarge ? kBadRequestTooLarge : rc);
  }
  if (const auto ec = socket_.sendAll(out.data(), out.size())) return failed(why, ec.message(), kBadTcpInternalError);
  return kGood;
}

StatusCode UaClientChannel::receiveMessage(std::vector<std::uint8_t>& bytes, MessageHeader& header, std::string& why) {
  bytes.assign(kHeaderSize, 0);
  if (const auto ec = socket_.receiveAll(bytes.data(), kHeaderSize)) {
    return failed(why, "no answer: " + ec.message(), kBadTimeout);
  }
  if (const StatusCode rc = parseHeader(bytes, limits_.receiveBufferSize, header); rc != kGood) {
    return failed(why, "a damaged message header", rc);
  }
  bytes.resize(header.size);
  if (const auto ec = socket_.receiveAll(bytes.data() + kHeaderSize, header.size - kHeaderSize)) {
    return failed(why, "a message cut short: " + ec.message(), kBadTimeout);
  }
  if (header.type == MessageType::Error) {
    StatusCode error = kBadTcpInternalError;
    std::string reason;
    if (decodeError(std::span(bytes).subspan(kHeaderSize), error, reason) != kGood) {
      return failed(why, "a damaged Error message", kBadDecodingError);
    }
    return failed(why, "the server sent Error " + statusName(error) + (reason.empty() ? "" : ": " + reason), error);
  }
  return kGood;
}

StatusCode UaClientChannel::receive(MessageType expected, std::uint32_t requestId, std::vector<std::uint8_t>& body,
                                    std::string& why) {
  // A server that trickles chunks gets no longer than this for all of them.
  const auto deadline = Clock::now() + 2 * timeout_;
  TransportLimits in = limits_;
  in.maxMessageSize = kMaxResponse;
  in.maxChunkCount = kMaxChunks;
  ChunkAssembler assembler(in);
  const ChannelSecurity& security = security_ ? static_cast<const ChannelSecurity&>(*security_) : plainChannel();
  for (;;) {
    if (Clock::now() > deadline) return failed(why, "the answer took too long", kBadTimeout);
    std::vector<std::uint8_t> bytes;
    MessageHeader header;
    if (const StatusCode rc = receiveMessage(bytes, header, why); rc != kGood) return rc;
    if (header.type != expected) return failed(why, "an unexpected message type", kBadTcpMessageTypeInvalid);
    Chunk chunk;
    if (const StatusCode rc = parseChunk(bytes, header, chunk); rc != kGood) return failed(why, "a damaged chunk", rc);
    if (expected == MessageType::Open) {
      if (chunk.asymmetric.policyUri.value_or("") != (security_ ? security.policyUri() : kSecurityPolicyNone)) {
        return failed(why, "the answer is under another security policy", kBadSecurityPolicyRejected);
      }
      const std::string& sender = chunk.asymmetric.senderCertificate.value_or("");
      if (security_ && !security_->sameClient(std::span(reinterpret_cast<const std::uint8_t*>(sender.data()),
                                                        sender.size()))) {
        return failed(why, "the answer is signed by another certificate", kBadCertificateInvalid);
      }
    } else if (chunk.secureChannelId != channelId_) {
      return failed(why, "the answer names another channel", kBadSecureChannelIdInvalid);
    }
    if (const StatusCode rc = security.unprotect(bytes, chunk); rc != kGood) {
      return failed(why, "the answer failed its security checks: " + statusName(rc), rc);
    }
    if (chunk.sequence.requestId != requestId) return failed(why, "an answer to another request", kBadDecodingError);
    if (expected == MessageType::Open) {
      body.assign(chunk.body.begin(), chunk.body.end());
      return kGood;
    }
    ChunkAssembler::Result result = ChunkAssembler::Result::More;
    if (const StatusCode rc = assembler.add(chunk, result); rc != kGood) return failed(why, "a damaged answer", rc);
    if (result == ChunkAssembler::Result::Aborted) return failed(why, "the server aborted its answer", kBadTcpInternalError);
    if (result == ChunkAssembler::Result::Complete) {
      body = assembler.message();
      return kGood;
    }
  }
}

}  // namespace OpcToolbox::ua
