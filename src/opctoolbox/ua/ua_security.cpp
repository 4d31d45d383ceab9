#include "opctoolbox/ua/ua_security.h"

#include "opctoolbox/ua/ua_messages.h"

namespace OpcToolbox::ua {
namespace {

class NoneSecurity final : public ChannelSecurity {
 public:
  std::string_view policyUri() const override { return kSecurityPolicyNone; }
  std::uint32_t securityMode() const override { return 1; }
  UaString serverNonce() const override { return UaString{std::string()}; }
  std::size_t chunkOverhead() const override { return 0; }
  StatusCode protect(std::vector<std::uint8_t>&, std::size_t) const override { return kGood; }
  StatusCode unprotect(Chunk&) const override { return kGood; }
};

class NoneAnonymous final : public SecurityConfiguration {
 public:
  std::unique_ptr<ChannelSecurity> openChannel(std::string_view policyUri, std::uint32_t mode,
                                               StatusCode& why) const override {
    if (policyUri != kSecurityPolicyNone || mode != 1) {
      why = kBadSecurityPolicyRejected;
      return nullptr;
    }
    return std::make_unique<NoneSecurity>();
  }
  std::string_view offeredPolicyUri() const override { return kSecurityPolicyNone; }
  std::uint32_t offeredMode() const override { return 1; }
  UaString serverCertificate() const override { return UaString{}; }
  const std::vector<UserTokenPolicy>& userTokenPolicies() const override { return policies_; }
  StatusCode validateIdentity(const NodeId& tokenType) const override {
    return tokenType.isNull() || tokenType == NodeId::numericId(0, id::AnonymousIdentityToken)
               ? kGood
               : kBadIdentityTokenInvalid;
  }

 private:
  const std::vector<UserTokenPolicy> policies_{{"anonymous", 0}};
};

}  // namespace

const SecurityConfiguration& SecurityConfiguration::noneAnonymous() {
  static const NoneAnonymous configuration;
  return configuration;
}

}  // namespace OpcToolbox::ua
