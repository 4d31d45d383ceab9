#include "opctoolbox/ua/channel/ua_channel_security.h"

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

}  // namespace

std::string_view policyName(const ChannelSecurity& channel) {
  return channel.policy() != nullptr ? channel.policy()->name : std::string_view("None");
}

std::string_view policyName(std::string_view policyUri) {
  const SecurityPolicy* policy = findSecurePolicy(policyUri);
  return policy != nullptr ? std::string_view(policy->name) : std::string_view("None");
}

std::string_view securityModeName(std::uint32_t mode) {
  return mode == kModeSignAndEncrypt ? "SignAndEncrypt" : mode == kModeSign ? "Sign" : "None";
}

const ChannelSecurity& plainChannel() {
  static NoneChannel none;
  return none;
}

std::unique_ptr<ChannelSecurity> makePlainChannel() { return std::make_unique<NoneChannel>(); }

}  // namespace OpcToolbox::ua
