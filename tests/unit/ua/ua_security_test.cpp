// The security seam of a connection, driven by the bytes of a real node-opcua session: the
// channel's policy is asked for every chunk received and protects every chunk sent, an
// OpenSecureChannel for a policy that is not offered is refused with an Error, and the
// default configuration accepts only anonymous identities.

#include <gtest/gtest.h>


#include "opctoolbox/ua/ua_connection.h"
#include "opctoolbox/ua/ua_messages.h"
#include "recorded_session.h"
#include "opctoolbox/ua/ua_security.h"

namespace {

using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;


struct Counts {
  int openings = 0, protectedChunks = 0, checkedChunks = 0;
  bool offer = true;
};

class CountingChannel : public ChannelSecurity {
 public:
  explicit CountingChannel(Counts& c) : c_(c) {}
  std::string_view policyUri() const override { return kSecurityPolicyNone; }
  std::uint32_t securityMode() const override { return 1; }
  UaString serverNonce() const override { return UaString{std::string()}; }
  std::size_t chunkOverhead() const override { return 0; }
  StatusCode protect(std::vector<std::uint8_t>& out, std::size_t at) const override {
    EXPECT_LT(at, out.size());
    ++c_.protectedChunks;
    return kGood;
  }
  StatusCode unprotect(Chunk&) const override {
    ++c_.checkedChunks;
    return kGood;
  }

 private:
  Counts& c_;
};

class CountingConfiguration : public SecurityConfiguration {
 public:
  explicit CountingConfiguration(Counts& c) : c_(c) {}
  std::unique_ptr<ChannelSecurity> openChannel(std::string_view, std::uint32_t, StatusCode& why) const override {
    ++c_.openings;
    if (!c_.offer) {
      why = kBadSecurityPolicyRejected;
      return nullptr;
    }
    return std::make_unique<CountingChannel>(c_);
  }
  std::string_view offeredPolicyUri() const override { return kSecurityPolicyNone; }
  std::uint32_t offeredMode() const override { return 1; }
  UaString serverCertificate() const override { return UaString{}; }
  const std::vector<UserTokenPolicy>& userTokenPolicies() const override { return tokens_; }
  StatusCode validateIdentity(const NodeId&) const override { return kGood; }

 private:
  Counts& c_;
  std::vector<UserTokenPolicy> tokens_{{"anonymous", 0}};
};

// Answers every request at once with a fault, which is enough for the recorded client.
class Answering : public ServiceHandler {
 public:
  explicit Answering(const SecurityConfiguration& s) : security_(s) {}
  void handle(std::uint32_t, std::span<const std::uint8_t>, Respond respond) override {
    ++requests;
    respond(encodeServiceFault(1, kBadServiceUnsupported));
  }
  const SecurityConfiguration& security() const override { return security_; }
  int requests = 0;

 private:
  const SecurityConfiguration& security_;
};

TEST(UaSecurity, EveryChunkPassesTheChannelPolicyBothWays) {
  const Bytes session = recordedSession();
  ASSERT_FALSE(session.empty());
  Counts counts;
  CountingConfiguration configuration(counts);
  Answering handler(configuration);
  int sends = 0;
  {
    UaConnection connection(handler, TransportLimits{}, 1, [&](std::vector<std::uint8_t>) { ++sends; });
    connection.receive(session);
  }
  EXPECT_EQ(counts.openings, 1);
  EXPECT_GT(handler.requests, 3);
  EXPECT_GE(counts.checkedChunks, handler.requests) << "every received MSG chunk is checked";
  EXPECT_EQ(counts.protectedChunks, handler.requests + 1) << "every answer and the OpenSecureChannel response";
  EXPECT_GT(sends, handler.requests);
}

TEST(UaSecurity, PolicyNotOfferedEndsTheConnectionWithItsError) {
  Counts counts;
  counts.offer = false;
  CountingConfiguration configuration(counts);
  Answering handler(configuration);
  Bytes last;
  UaConnection connection(handler, TransportLimits{}, 1, [&](std::vector<std::uint8_t> b) { last = std::move(b); });
  EXPECT_FALSE(connection.receive(recordedSession()));
  EXPECT_EQ(handler.requests, 0);
  ASSERT_GE(last.size(), 12u);
  EXPECT_EQ(Bytes(last.begin(), last.begin() + 3), (Bytes{'E', 'R', 'R'}));
  EXPECT_EQ(Bytes(last.begin() + 8, last.begin() + 12), (Bytes{0x00, 0x00, 0x55, 0x80})) << "BadSecurityPolicyRejected";
}

TEST(UaSecurity, DefaultOffersNoneWithAnonymousUsersOnly) {
  const SecurityConfiguration& none = SecurityConfiguration::noneAnonymous();
  StatusCode why = kGood;
  EXPECT_TRUE(none.openChannel(kSecurityPolicyNone, 1, why));
  EXPECT_FALSE(none.openChannel(kSecurityPolicyNone, 3, why)) << "SignAndEncrypt is not offered";
  EXPECT_EQ(why, kBadSecurityPolicyRejected);
  EXPECT_FALSE(none.openChannel("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256", 2, why));
  EXPECT_EQ(none.validateIdentity(NodeId{}), kGood);
  EXPECT_EQ(none.validateIdentity(NodeId::numericId(0, id::AnonymousIdentityToken)), kGood);
  EXPECT_EQ(none.validateIdentity(NodeId::numericId(0, 324)), kBadIdentityTokenInvalid) << "user name token";
}

}  // namespace
