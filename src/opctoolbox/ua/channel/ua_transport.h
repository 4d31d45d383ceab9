#pragma once
// OPC UA Connection Protocol and the framing of the Secure Conversation (OPC UA Part 6,
// 7.1 and 6.7): message headers, Hello/Acknowledge/Error, buffer negotiation, chunk
// headers of OPN/MSG/CLO, and the reassembly of a chunked message under the negotiated
// limits. Socketless, so tests and the fuzz target drive it from bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace OpcToolbox::ua {

inline constexpr StatusCode kBadTcpMessageTypeInvalid = 0x807E0000u;
inline constexpr StatusCode kBadTcpMessageTooLarge = 0x80800000u;
inline constexpr StatusCode kBadTcpInternalError = 0x80820000u;
inline constexpr StatusCode kBadTcpEndpointUrlInvalid = 0x80830000u;
inline constexpr StatusCode kBadSecurityChecksFailed = 0x80130000u;
inline constexpr StatusCode kBadSecurityPolicyRejected = 0x80550000u;
inline constexpr StatusCode kBadSequenceNumberInvalid = 0x80880000u;
inline constexpr StatusCode kBadSecureChannelIdInvalid = 0x80220000u;
inline constexpr StatusCode kBadRequestTooLarge = 0x80B80000u;
inline constexpr StatusCode kBadResponseTooLarge = 0x80B90000u;
inline constexpr StatusCode kBadProtocolVersionUnsupported = 0x80BE0000u;

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::uint32_t kMinBufferSize = 8192;
inline constexpr const char* kSecurityPolicyNone = "http://opcfoundation.org/UA/SecurityPolicy#None";

enum class MessageType { Hello, Acknowledge, Error, ReverseHello, Open, Message, Close };

struct MessageHeader {
  MessageType type = MessageType::Hello;
  char chunk = 'F';  // 'F' final, 'C' intermediate, 'A' abort
  std::uint32_t size = 0;
};

// The 8 header bytes; an unknown type, a bad chunk letter or a size outside
// [8, maxSize] give the status that the Error message should carry.
StatusCode parseHeader(std::span<const std::uint8_t> bytes, std::uint32_t maxSize, MessageHeader& out);
// Writes the header of the message that starts at out[at] and ends where out ends.
void putMessageHeader(std::vector<std::uint8_t>& out, MessageType t, char chunk, std::size_t at);

struct TransportLimits {
  std::uint32_t receiveBufferSize = 65535;
  std::uint32_t sendBufferSize = 65535;
  std::uint32_t maxMessageSize = 16u << 20;
  std::uint32_t maxChunkCount = 512;
};

struct Hello {
  std::uint32_t protocolVersion = 0;
  TransportLimits limits;  // as the client offers them
  std::string endpointUrl;
};

StatusCode decodeHello(std::span<const std::uint8_t> body, Hello& out);
// What this server uses on the connection, given its own limits and the client's Hello.
StatusCode negotiate(const TransportLimits& ours, const Hello& hello, TransportLimits& agreed);
std::vector<std::uint8_t> encodeAcknowledge(const TransportLimits& agreed);
std::vector<std::uint8_t> encodeError(StatusCode error, std::string_view reason);
// The client's side: its Hello, and the server's Acknowledge (limits as the server states
// them) or Error.
std::vector<std::uint8_t> encodeHello(const TransportLimits& ours, std::string_view endpointUrl);
StatusCode decodeAcknowledge(std::span<const std::uint8_t> body, TransportLimits& out);
StatusCode decodeError(std::span<const std::uint8_t> body, StatusCode& error, std::string& reason);

// The security headers after the message header.
struct AsymmetricHeader {
  std::uint32_t secureChannelId = 0;
  UaString policyUri;
  UaString senderCertificate;
  UaString receiverThumbprint;
};
struct SequenceHeader {
  std::uint32_t sequenceNumber = 0;
  std::uint32_t requestId = 0;
};

// One chunk of OPN, MSG or CLO, its headers read and its body located.
struct Chunk {
  MessageHeader header;
  std::uint32_t secureChannelId = 0;
  std::uint32_t tokenId = 0;  // MSG and CLO
  AsymmetricHeader asymmetric;  // OPN
  SequenceHeader sequence;
  // Where the sequence header begins: what a secure policy decrypts starts here, and
  // sequence and body are only known once it has.
  std::size_t sequenceOffset = 0;
  std::span<const std::uint8_t> body;
};
StatusCode parseChunk(std::span<const std::uint8_t> message, const MessageHeader& header, Chunk& out);

// Collects the chunks of one request until its final chunk, within the limits; checks
// that sequence numbers grow by one (wrapping as Part 6 allows).
class ChunkAssembler {
 public:
  explicit ChunkAssembler(const TransportLimits& limits) : limits_(limits) {}
  enum class Result { More, Complete, Aborted };
  // Complete: message() holds the whole body. A non-good status ends the connection.
  StatusCode add(const Chunk& chunk, Result& result);
  // Sequence numbers run across every chunk of the channel (OpenSecureChannel, MSG and
  // CloseSecureChannel): add() checks MSG chunks, the connection the others.
  StatusCode checkSequence(std::uint32_t sequenceNumber);
  const std::vector<std::uint8_t>& message() const { return body_; }
  std::uint32_t requestId() const { return requestId_; }

 private:
  TransportLimits limits_;
  std::vector<std::uint8_t> body_;
  std::uint32_t chunks_ = 0;
  std::uint32_t requestId_ = 0;
  std::optional<std::uint32_t> lastSequence_;
};

}  // namespace OpcToolbox::ua
