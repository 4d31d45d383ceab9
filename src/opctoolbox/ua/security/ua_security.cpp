#include "opctoolbox/ua/security/ua_security.h"

#include <openssl/crypto.h>

#include <cstdio>

#include "opctoolbox/ua/channel/ua_channel_crypto.h"
#include "opctoolbox/ua/security/ua_identity_tokens.h"
#include "opctoolbox/ua/security/ua_user_accounts.h"
#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

UaString bytesOf(const crypto::Bytes& b) { return UaString{std::string(b.begin(), b.end())}; }

}  // namespace

std::string statusName(StatusCode code) {
  static const std::pair<StatusCode, const char*> names[] = {
      {kGood, "Good"},
      {kBadSecurityChecksFailed, "BadSecurityChecksFailed"},
      {kBadCertificateInvalid, "BadCertificateInvalid"},
      {kBadCertificateTimeInvalid, "BadCertificateTimeInvalid"},
      {kBadCertificateIssuerTimeInvalid, "BadCertificateIssuerTimeInvalid"},
      {kBadCertificateUriInvalid, "BadCertificateUriInvalid"},
      {kBadCertificateUseNotAllowed, "BadCertificateUseNotAllowed"},
      {kBadCertificateUntrusted, "BadCertificateUntrusted"},
      {kBadCertificateRevoked, "BadCertificateRevoked"},
      {kBadCertificateIssuerRevoked, "BadCertificateIssuerRevoked"},
      {kBadUserAccessDenied, "BadUserAccessDenied"},
      {kBadIdentityTokenInvalid, "BadIdentityTokenInvalid"},
      {kBadIdentityTokenRejected, "BadIdentityTokenRejected"},
      {kBadNonceInvalid, "BadNonceInvalid"},
      {kBadSecurityModeRejected, "BadSecurityModeRejected"},
      {kBadSecurityPolicyRejected, "BadSecurityPolicyRejected"},
      {kBadApplicationSignatureInvalid, "BadApplicationSignatureInvalid"},
      {kBadUserSignatureInvalid, "BadUserSignatureInvalid"},
      {kBadSecureChannelTokenUnknown, "BadSecureChannelTokenUnknown"},
      {kBadTooManyOperations, "BadTooManyOperations"},
      {kBadShutdown, "BadShutdown"},
  };
  for (const auto& [c, name] : names) {
    if (c == code) return name;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  return hex;
}

SecurityConfiguration::SecurityConfiguration(SecuritySettings settings,
                                             std::shared_ptr<const ServerCredentials> credentials,
                                             std::shared_ptr<CertificateVerifier> verifier,
                                             std::shared_ptr<UserDirectory> users)
    : settings_(std::move(settings)), credentials_(std::move(credentials)), verifier_(std::move(verifier)),
      users_(std::move(users)) {
  // Secure policies need the server's certificate and key.
  if (!credentials_ || !credentials_->certificate || !credentials_->privateKey) settings_.policies.clear();
}

std::unique_ptr<ChannelSecurity> SecurityConfiguration::openChannel(const AsymmetricHeader& header,
                                                                    StatusCode& why) const {
  const std::string uri = header.policyUri.value_or("");
  if (uri == kSecurityPolicyNone) return makePlainChannel();
  const SecurityPolicy* policy = findSecurePolicy(uri);
  if (policy == nullptr || policy->uri != uri ||
      std::find(settings_.policies.begin(), settings_.policies.end(), policy) == settings_.policies.end()) {
    why = kBadSecurityPolicyRejected;
    return nullptr;
  }
  const std::string& der = header.senderCertificate.value_or("");
  const std::span<const std::uint8_t> derBytes(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
  std::vector<crypto::Certificate> chain = crypto::Certificate::chainFromDer(derBytes);
  if (chain.empty()) {
    why = kBadCertificateInvalid;
    return nullptr;
  }
  // The client encrypted for this certificate: another one's thumbprint is a wrong address.
  const std::string& thumbprint = header.receiverThumbprint.value_or("");
  const crypto::Bytes own = credentials_->certificate.thumbprint();
  if (!std::equal(thumbprint.begin(), thumbprint.end(), own.begin(), own.end(),
                  [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
    why = kBadCertificateInvalid;
    return nullptr;
  }
  const std::size_t bits = crypto::keySize(chain.front().publicKey()) * 8;
  if (bits < policy->minKeyBits || bits > policy->maxKeyBits) {
    why = kBadCertificateUseNotAllowed;
    return nullptr;
  }
  if (verifier_) {
    if (const StatusCode rc = verifier_->verify(chain); rc != kGood) {
      why = rc;
      return nullptr;
    }
  }
  return std::make_unique<SecureChannel>(*policy, credentials_, std::move(chain),
                                         crypto::Bytes(derBytes.begin(), derBytes.end()));
}

std::string_view SecurityConfiguration::Endpoint::policyUri() const {
  return policy != nullptr ? policy->uri : std::string_view(kSecurityPolicyNone);
}

std::uint8_t SecurityConfiguration::Endpoint::securityLevel() const {
  if (policy == nullptr) return 0;
  return static_cast<std::uint8_t>(policy->securityLevel * 2 + (mode == kModeSignAndEncrypt ? 1 : 0));
}

std::vector<SecurityConfiguration::Endpoint> SecurityConfiguration::endpoints() const {
  std::vector<Endpoint> out;
  if (settings_.noneForSessions) out.push_back(Endpoint{nullptr, kModeNone});
  for (const SecurityPolicy* p : settings_.policies) {
    out.push_back(Endpoint{p, kModeSign});
    out.push_back(Endpoint{p, kModeSignAndEncrypt});
  }
  return out;
}

UaString SecurityConfiguration::serverCertificate() const {
  if (!credentials_ || !credentials_->certificate) return UaString{};
  return bytesOf(credentials_->certificate.der());
}

const SecurityPolicy* SecurityConfiguration::tokenPolicy(const ChannelSecurity& channel) const {
  if (channel.policy() != nullptr) return channel.policy();
  return settings_.policies.empty() ? nullptr : settings_.policies.front();
}

std::vector<UserTokenPolicy> SecurityConfiguration::userTokenPolicies(const Endpoint& endpoint) const {
  std::vector<UserTokenPolicy> out;
  if (settings_.anonymous) out.push_back({"anonymous", 0, {}});
  if (!users_ || settings_.policies.empty()) return out;
  // Over None a secret still travels encrypted: the token names a secure policy of its own.
  const std::string own = endpoint.policy == nullptr ? std::string(settings_.policies.front()->uri) : std::string();
  out.push_back({"username", 1, own});
  out.push_back({"certificate", 2, own});
  return out;
}

StatusCode SecurityConfiguration::sessionAllowed(const ChannelSecurity& channel) const {
  if (channel.policy() == nullptr && !settings_.noneForSessions) return kBadSecurityPolicyRejected;
  return kGood;
}

StatusCode SecurityConfiguration::signSession(const ChannelSecurity& channel,
                                              std::span<const std::uint8_t> clientCertificate,
                                              std::span<const std::uint8_t> clientNonce, SignatureData& out) const {
  const SecurityPolicy* policy = channel.policy();
  if (policy == nullptr) return kGood;  // None: no signature
  if (clientNonce.size() < kNonceLength) return kBadNonceInvalid;
  crypto::Bytes data(clientCertificate.begin(), clientCertificate.end());
  data.insert(data.end(), clientNonce.begin(), clientNonce.end());
  out.algorithm = std::string(policy->asymmetricSignatureUri);
  if (!crypto::sign(credentials_->privateKey.get(), policy->asymmetricSignature, data, out.signature)) {
    return kBadSecurityChecksFailed;
  }
  return kGood;
}

StatusCode SecurityConfiguration::verifyClientSignature(const ChannelSecurity& channel,
                                                        std::span<const std::uint8_t> serverNonce,
                                                        const SignatureData& signature) const {
  const SecurityPolicy* policy = channel.policy();
  const crypto::Certificate* client = channel.clientCertificate();
  if (policy == nullptr) return kGood;
  if (client == nullptr || signature.algorithm != policy->asymmetricSignatureUri) return kBadApplicationSignatureInvalid;
  crypto::Bytes data = credentials_->certificate.der();
  data.insert(data.end(), serverNonce.begin(), serverNonce.end());
  return crypto::verify(client->publicKey(), policy->asymmetricSignature, data, signature.signature)
             ? kGood
             : kBadApplicationSignatureInvalid;
}

StatusCode SecurityConfiguration::checkIdentity(const ChannelSecurity& channel,
                                                std::span<const std::uint8_t> serverNonce,
                                                const ExtensionObject& token, const SignatureData& tokenSignature,
                                                IdentityClaim& out) const {
  IdentityToken t;
  if (const StatusCode rc = decodeIdentityToken(token, t); rc != kGood) return rc;
  out = IdentityClaim{};
  if (t.kind == IdentityToken::Kind::Anonymous) {
    if (!settings_.anonymous) return kBadIdentityTokenRejected;
    out.kind = IdentityClaim::Kind::Anonymous;
    out.user = "anonymous";
    out.role = settings_.anonymousRole;
    return kGood;
  }
  const SecurityPolicy* policy = tokenPolicy(channel);
  if (!users_ || policy == nullptr || !credentials_) return kBadIdentityTokenRejected;
  if (t.kind == IdentityToken::Kind::UserName) {
    out.kind = IdentityClaim::Kind::UserName;
    out.user = t.userName;
    if (t.encryptionAlgorithm.empty()) {
      // A password in clear only inside an encrypted channel.
      if (channel.securityMode() != kModeSignAndEncrypt) return kBadIdentityTokenRejected;
      out.password = crypto::SecretBytes(std::span(reinterpret_cast<const std::uint8_t*>(t.secret.data()), t.secret.size()));
      OPENSSL_cleanse(t.secret.data(), t.secret.size());
      return kGood;
    }
    if (t.encryptionAlgorithm != policy->asymmetricEncryptionUri) return kBadIdentityTokenInvalid;
    crypto::SecretBytes plain;
    const bool decrypted = crypto::decrypt(
        credentials_->privateKey.get(), policy->asymmetricEncryption,
        std::span(reinterpret_cast<const std::uint8_t*>(t.secret.data()), t.secret.size()), plain);
    // length (of password and nonce), password, the nonce this server sent last
    if (!decrypted || plain.size() < 4 + serverNonce.size() || serverNonce.size() < kNonceLength) {
      return kBadIdentityTokenInvalid;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(plain.data()[0]) | plain.data()[1] << 8 |
                                 plain.data()[2] << 16 | static_cast<std::uint32_t>(plain.data()[3]) << 24;
    if (length != plain.size() - 4 ||
        !crypto::equalConstantTime(plain.view().subspan(plain.size() - serverNonce.size()), serverNonce)) {
      return kBadIdentityTokenInvalid;
    }
    out.password = crypto::SecretBytes(plain.view().subspan(4, plain.size() - 4 - serverNonce.size()));
    return kGood;
  }
  // An X.509 user: the certificate an administrator registered for the account (that is
  // its trust), within its validity period, and proof of its private key.
  out.kind = IdentityClaim::Kind::Certificate;
  const crypto::Certificate certificate =
      crypto::Certificate::fromDer(std::span(reinterpret_cast<const std::uint8_t*>(t.secret.data()), t.secret.size()));
  if (!certificate) return kBadIdentityTokenInvalid;
  out.certificateThumbprint = certificate.thumbprintHex();
  if (!certificate.currentlyValid()) return kBadIdentityTokenRejected;
  crypto::Bytes data = credentials_->certificate.der();
  data.insert(data.end(), serverNonce.begin(), serverNonce.end());
  if (tokenSignature.algorithm != policy->asymmetricSignatureUri ||
      !crypto::verify(certificate.publicKey(), policy->asymmetricSignature, data, tokenSignature.signature)) {
    return kBadUserSignatureInvalid;
  }
  const auto account = users_->findCertificate(out.certificateThumbprint);
  if (!account) return kBadIdentityTokenRejected;
  out.user = account->name;
  out.role = account->role;
  return kGood;
}

std::optional<Role> SecurityConfiguration::checkPassword(const std::string& user,
                                                         const crypto::SecretBytes& password) const {
  if (!users_) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(password.data()), password.size());
  const auto account = users_->find(user);
  // An unknown user costs the same as a wrong password: no timing tells which it was.
  static const std::string decoy = hashPassword("decoy", kPasswordIterations);
  const bool ok = verifyPassword(text, account ? account->secret : decoy);
  if (!account || !ok) return std::nullopt;
  return account->role;
}

const SecurityConfiguration& SecurityConfiguration::noneAnonymous() {
  static const SecurityConfiguration configuration(SecuritySettings{{}, true, true, Role::Admin}, nullptr, nullptr);
  return configuration;
}

}  // namespace OpcToolbox::ua
