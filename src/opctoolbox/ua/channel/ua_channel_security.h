#pragma once
// What protects one secure channel's chunks (OPC UA Part 6, 6.7), as the connection and the
// chunk writer see it, and the plain channel of SecurityPolicy None. The secure policies
// live in ua_channel_crypto; which channel a client gets is the security configuration's.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/crypto/ua_security_policy.h"
#include "opctoolbox/ua/channel/ua_transport.h"
#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

inline constexpr StatusCode kBadCertificateInvalid = 0x80120000u;
inline constexpr StatusCode kBadUserAccessDenied = 0x801F0000u;
inline constexpr StatusCode kBadIdentityTokenRejected = 0x80210000u;
inline constexpr StatusCode kBadUserSignatureInvalid = 0x80570000u;
inline constexpr StatusCode kBadCertificateTimeInvalid = 0x80140000u;
inline constexpr StatusCode kBadCertificateIssuerTimeInvalid = 0x80150000u;
inline constexpr StatusCode kBadCertificateUriInvalid = 0x80170000u;
inline constexpr StatusCode kBadCertificateUseNotAllowed = 0x80180000u;
inline constexpr StatusCode kBadCertificateUntrusted = 0x801A0000u;
inline constexpr StatusCode kBadCertificateRevoked = 0x801D0000u;
inline constexpr StatusCode kBadCertificateIssuerRevoked = 0x801E0000u;
inline constexpr StatusCode kBadNonceInvalid = 0x80240000u;
inline constexpr StatusCode kBadSecurityModeRejected = 0x80540000u;
inline constexpr StatusCode kBadApplicationSignatureInvalid = 0x80580000u;
inline constexpr StatusCode kBadSecureChannelTokenUnknown = 0x80870000u;

enum MessageSecurityMode : std::uint32_t { kModeNone = 1, kModeSign = 2, kModeSignAndEncrypt = 3 };

// The security of one secure channel, chosen by its first OpenSecureChannel and kept by
// its renewals. Tokens: each OpenSecureChannel starts one; the previous stays usable until
// its lifetime is over (answers take the new one once the client has used it).
class ChannelSecurity {
 public:
  virtual ~ChannelSecurity() = default;
  virtual std::string_view policyUri() const = 0;
  virtual const SecurityPolicy* policy() const { return nullptr; }  // null: None
  virtual std::uint32_t securityMode() const = 0;
  // The asymmetric security header of this side's OpenSecureChannel response.
  virtual UaString senderCertificate() const { return UaString{}; }
  virtual UaString receiverThumbprint() const { return UaString{}; }
  // The client's certificate (leaf) on a secure channel, else null.
  virtual const crypto::Certificate* clientCertificate() const { return nullptr; }
  // Body bytes that fit one chunk of bufferSize bytes whose headers before the sequence
  // header take headerSize bytes.
  virtual std::size_t maxBodySize(MessageType type, std::size_t headerSize, std::size_t bufferSize) const = 0;
  // Pads, signs and encrypts the finished chunk at out[chunkStart] whose sequence header
  // starts at out[sequenceStart], and corrects its size field; tokenId names the keys.
  virtual StatusCode protect(MessageType type, std::uint32_t tokenId, std::vector<std::uint8_t>& out,
                             std::size_t chunkStart, std::size_t sequenceStart) const = 0;
  // Decrypts (in place) and checks a received chunk, then points chunk.sequence and
  // chunk.body at its plaintext. BadSecurityChecksFailed for a damaged or forged chunk.
  virtual StatusCode unprotect(std::span<std::uint8_t> message, Chunk& chunk) const = 0;
  // After a decoded OpenSecureChannel: the mode (fixed by the first), the client's nonce;
  // derives the keys of tokenId and gives this side's nonce.
  virtual StatusCode startToken(std::uint32_t tokenId, std::uint32_t mode, std::span<const std::uint8_t> clientNonce,
                                UaString& serverNonce) = 0;
  // Whether a renewal's sender certificate is the one this channel was opened with.
  virtual bool sameClient(std::span<const std::uint8_t> /*senderCertificate*/) const { return true; }
  // Forgets the keys of every token but tokenId (the others' lifetimes are over).
  virtual void retireTokensBefore(std::uint32_t /*tokenId*/) {}
};

// The application instance certificate and its private key.
struct ServerCredentials {
  crypto::Certificate certificate;
  crypto::PkeyPtr privateKey;
};

// The short name of a channel's policy ("Basic256Sha256", "None"), for log lines.
std::string_view policyName(const ChannelSecurity& channel);
// The same of a policy's URI (empty: None), and a MessageSecurityMode's name.
std::string_view policyName(std::string_view policyUri);
std::string_view securityModeName(std::uint32_t mode);

// The plain channel (SecurityPolicy None), for sessions whose channel is not known.
const ChannelSecurity& plainChannel();

// The plain channel (SecurityPolicy None), for sessions whose channel is not known.
const ChannelSecurity& plainChannel();
// A channel of its own under SecurityPolicy None, for a client that chose it.
std::unique_ptr<ChannelSecurity> makePlainChannel();

}  // namespace OpcToolbox::ua
