// The security of channels and sessions: what the default configuration offers.

#include <gtest/gtest.h>

#include "opctoolbox/ua/ua_messages.h"
#include "opctoolbox/ua/ua_security.h"

namespace {

using namespace OpcToolbox::ua;

TEST(UaSecurity, DefaultOffersNoneWithAnonymousUsersOnly) {
  const SecurityConfiguration& none = SecurityConfiguration::noneAnonymous();
  StatusCode why = kGood;
  AsymmetricHeader header;
  header.policyUri = UaString{std::string(kSecurityPolicyNone)};
  auto channel = none.openChannel(header, why);
  ASSERT_TRUE(channel);
  UaString nonce;
  EXPECT_EQ(channel->startToken(1, kModeSignAndEncrypt, {}, nonce), kBadSecurityModeRejected);
  EXPECT_EQ(channel->startToken(1, kModeNone, {}, nonce), kGood);
  header.policyUri = UaString{std::string("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256")};
  EXPECT_FALSE(none.openChannel(header, why));
  EXPECT_EQ(why, kBadSecurityPolicyRejected);
  ASSERT_EQ(none.endpoints().size(), 1u);
  EXPECT_EQ(none.validateIdentity(NodeId{}), kGood);
  EXPECT_EQ(none.validateIdentity(NodeId::numericId(0, id::AnonymousIdentityToken)), kGood);
  EXPECT_EQ(none.validateIdentity(NodeId::numericId(0, 324)), kBadIdentityTokenInvalid) << "user name token";
}

}  // namespace
