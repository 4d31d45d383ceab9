#pragma once
// Security of secure channels and sessions, in one place: the endpoints (policy and mode)
// this server offers, how each chunk of a channel is protected and checked, and the
// signatures that bind a session to its channel's certificates (OPC UA Part 4, 5.6.2/5.6.3;
// Part 6, 6.7). SecurityPolicy None is the plain channel; the secure policies live in
// ua_channel_crypto.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/ua/ua_crypto.h"
#include "opctoolbox/ua/ua_security_policy.h"
#include "opctoolbox/ua/ua_transport.h"
#include "opctoolbox/ua/ua_types.h"

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

// The name of a status code of the security checks (others as hex), for log lines.
std::string statusName(StatusCode code);

// The short name of a channel's policy ("Basic256Sha256", "None"), for log lines.
std::string_view policyName(const ChannelSecurity& channel);

// The plain channel (SecurityPolicy None), for sessions whose channel is not known.
const ChannelSecurity& plainChannel();

// Audit lines of the endpoint: sessions activated, identities and certificates refused,
// writes. refused: the line tells of something turned away. enabled (null: always) lets
// the endpoint skip formatting lines the log level would drop.
struct AuditLog {
  std::function<void(bool refused, const std::string& text)> write;
  std::function<bool(bool refused)> enabled;
};

struct UserTokenPolicy {
  std::string policyId;
  std::uint32_t tokenType = 0;  // 0 anonymous, 1 user name, 2 certificate, 3 issued token
  std::string securityPolicyUri;  // empty: the channel's
};

// The application instance certificate and its private key.
struct ServerCredentials {
  crypto::Certificate certificate;
  crypto::PkeyPtr privateKey;
};

// Decides whether a client's certificate chain (leaf first) is trusted.
class CertificateVerifier {
 public:
  virtual ~CertificateVerifier() = default;
  // Good, or the status of the failed check (BadCertificateUntrusted, ...TimeInvalid, ...).
  virtual StatusCode verify(const std::vector<crypto::Certificate>& chain) = 0;
};

struct SecuritySettings {
  std::vector<const SecurityPolicy*> policies;  // the secure policies offered, each with Sign and SignAndEncrypt
  bool noneForSessions = true;                  // None carries sessions (always discovery)
  bool anonymous = true;                        // anonymous sessions exist
  Role anonymousRole = Role::Admin;             // what they may do (the files' default is reader)
};

// Who a session's ActivateSession says its user is, once the token has passed the checks
// that need no account (a user name's password is checked by the login guard).
struct IdentityClaim {
  enum class Kind { Anonymous, UserName, Certificate } kind = Kind::Anonymous;
  std::string user;
  Role role = Role::Reader;
  crypto::SecretBytes password;
  std::string certificateThumbprint;  // a certificate user's, hex
};

class UserDirectory;

class SecurityConfiguration {
 public:
  // users: the accounts for user-name and certificate tokens (none: only anonymous users).
  SecurityConfiguration(SecuritySettings settings, std::shared_ptr<const ServerCredentials> credentials,
                        std::shared_ptr<CertificateVerifier> verifier, std::shared_ptr<UserDirectory> users = nullptr);

  // The security of a new channel from its first OpenSecureChannel's header; null with the
  // reason when the policy is not offered or the client's certificate fails its checks.
  std::unique_ptr<ChannelSecurity> openChannel(const AsymmetricHeader& header, StatusCode& why) const;

  struct Endpoint {
    const SecurityPolicy* policy = nullptr;  // null: None
    std::uint32_t mode = kModeNone;
    std::string_view policyUri() const;
    std::uint8_t securityLevel() const;
  };
  // What GetEndpoints and CreateSession describe: the endpoints that may carry sessions.
  std::vector<Endpoint> endpoints() const;
  UaString serverCertificate() const;
  std::vector<UserTokenPolicy> userTokenPolicies(const Endpoint& endpoint) const;
  // Whether a channel of this security may carry a session (None only if the settings say so).
  StatusCode sessionAllowed(const ChannelSecurity& channel) const;

  // The server's CreateSession signature over the client's certificate and nonce.
  StatusCode signSession(const ChannelSecurity& channel, std::span<const std::uint8_t> clientCertificate,
                         std::span<const std::uint8_t> clientNonce, SignatureData& out) const;
  // The client's ActivateSession signature over this server's certificate and the nonce
  // it sent last.
  StatusCode verifyClientSignature(const ChannelSecurity& channel, std::span<const std::uint8_t> serverNonce,
                                   const SignatureData& signature) const;

  // Checks an identity token: its type and policy, a password's encryption with the nonce
  // sent last, a certificate's trust, account and signature. Good with the claim, or
  // BadIdentityTokenInvalid / BadIdentityTokenRejected / BadUserSignatureInvalid.
  StatusCode checkIdentity(const ChannelSecurity& channel, std::span<const std::uint8_t> serverNonce,
                           const ExtensionObject& token, const SignatureData& tokenSignature, IdentityClaim& out) const;
  // The role of a user whose password matches (slow on purpose: the login guard's thread).
  std::optional<Role> checkPassword(const std::string& user, const crypto::SecretBytes& password) const;

  const SecuritySettings& settings() const { return settings_; }

  // SecurityPolicy None, security mode None, anonymous users.
  static const SecurityConfiguration& noneAnonymous();

 private:
  SecuritySettings settings_;
  std::shared_ptr<const ServerCredentials> credentials_;
  std::shared_ptr<CertificateVerifier> verifier_;
  std::shared_ptr<UserDirectory> users_;
  // The policy that protects a token's secret: the channel's, or over None the first secure one.
  const SecurityPolicy* tokenPolicy(const ChannelSecurity& channel) const;
};

}  // namespace OpcToolbox::ua
