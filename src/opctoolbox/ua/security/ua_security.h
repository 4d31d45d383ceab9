#pragma once
// Security of secure channels and sessions, in one place: the endpoints (policy and mode)
// this server offers, how each chunk of a channel is protected and checked, and the
// signatures that bind a session to its channel's certificates (OPC UA Part 4, 5.6.2/5.6.3;
// Part 6, 6.7). How a channel protects its chunks is ua_channel_security's (None) and
// ua_channel_crypto's (the secure policies).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/crypto/ua_security_policy.h"
#include "opctoolbox/ua/channel/ua_channel_security.h"
#include "opctoolbox/ua/channel/ua_transport.h"
#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

// The name of a status code of the security checks (others as hex), for log lines.
std::string statusName(StatusCode code);

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
  // This server's certificate and key (null without a secure policy), and its trust list:
  // what it needs to be a client itself (of a discovery server).
  const std::shared_ptr<const ServerCredentials>& credentials() const { return credentials_; }
  const std::shared_ptr<CertificateVerifier>& verifier() const { return verifier_; }

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
