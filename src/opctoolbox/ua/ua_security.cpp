#include "opctoolbox/ua/ua_security.h"

#include "opctoolbox/ua/ua_channel_crypto.h"
#include "opctoolbox/ua/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

class NoneChannel final : public ChannelSecurity {
 public:
  std::string_view policyUri() const override { return kSecurityPolicyNone; }
  std::uint32_t securityMode() const override { return kModeNone; }
  std::size_t maxBodySize(MessageType, std::size_t headerSize, std::size_t bufferSize) const override {
    return bufferSize > headerSize + 8 ? bufferSize - headerSize - 8 : 0;
  }
  StatusCode protect(MessageType, std::uint32_t, std::vector<std::uint8_t>&, std::size_t, std::size_t) const override {
    return kGood;
  }
  StatusCode unprotect(std::span<std::uint8_t>, Chunk&) const override { return kGood; }
  StatusCode startToken(std::uint32_t, std::uint32_t mode, std::span<const std::uint8_t>,
                        UaString& serverNonce) override {
    if (mode != kModeNone) return kBadSecurityModeRejected;
    serverNonce = UaString{std::string()};
    return kGood;
  }
};

UaString bytesOf(const crypto::Bytes& b) { return UaString{std::string(b.begin(), b.end())}; }

}  // namespace

SecurityConfiguration::SecurityConfiguration(SecuritySettings settings,
                                             std::shared_ptr<const ServerCredentials> credentials,
                                             std::shared_ptr<CertificateVerifier> verifier)
    : settings_(std::move(settings)), credentials_(std::move(credentials)), verifier_(std::move(verifier)) {
  // Secure policies need the server's certificate and key.
  if (!credentials_ || !credentials_->certificate || !credentials_->privateKey) settings_.policies.clear();
}

std::unique_ptr<ChannelSecurity> SecurityConfiguration::openChannel(const AsymmetricHeader& header,
                                                                    StatusCode& why) const {
  const std::string uri = header.policyUri.value_or("");
  if (uri == kSecurityPolicyNone) return std::make_unique<NoneChannel>();
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

std::vector<UserTokenPolicy> SecurityConfiguration::userTokenPolicies(const Endpoint&) const {
  std::vector<UserTokenPolicy> out;
  if (settings_.anonymous) out.push_back({"anonymous", 0, {}});
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

StatusCode SecurityConfiguration::validateIdentity(const NodeId& tokenType) const {
  const bool anonymous = tokenType.isNull() || tokenType == NodeId::numericId(0, id::AnonymousIdentityToken);
  return anonymous && settings_.anonymous ? kGood : kBadIdentityTokenInvalid;
}

const SecurityConfiguration& SecurityConfiguration::noneAnonymous() {
  static const SecurityConfiguration configuration(SecuritySettings{{}, true, true}, nullptr, nullptr);
  return configuration;
}

}  // namespace OpcToolbox::ua
