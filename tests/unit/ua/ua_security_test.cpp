// Who may open a secure channel and a session: the settings file, the certificate store
// (the server's own certificate, the trust list, the rejected folder, CAs and CRLs), the
// checks of an OpenSecureChannel's header, and the signatures of CreateSession and
// ActivateSession.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/security/ua_pki.h"
#include "opctoolbox/ua/security/ua_security.h"
#include "opctoolbox/ua/settings/ua_security_settings.h"
#include "support/test_environment.h"
#include "unit/ua/security_fixtures.h"

namespace {

using namespace OpcToolbox::ua;
namespace fs = std::filesystem;
using vexahv::test::ScratchEnvironment;
using vexahv::test::writeFile;

std::string derText(const crypto::Certificate& c) { return std::string(c.der().begin(), c.der().end()); }

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
  IdentityClaim claim;
  EXPECT_EQ(none.checkIdentity(plainChannel(), {}, ExtensionObject{}, SignatureData{}, claim), kGood);
  EXPECT_EQ(claim.user, "anonymous");
  const ExtensionObject userName{NodeId::numericId(0, 324), 1, std::string(16, '\0')};
  EXPECT_EQ(none.checkIdentity(plainChannel(), {}, userName, SignatureData{}, claim), kBadIdentityTokenRejected)
      << "no users";
}

TEST(UaSecurity, SettingsFileKeepsSecureDefaultsAndRefusesBadLines) {
  SecurityFileSettings s;
  EXPECT_EQ(s.policies.size(), 3u);
  EXPECT_FALSE(s.noneForSessions);
  EXPECT_FALSE(s.trustAllClients);
  ASSERT_EQ(parseSecuritySettings("securityPolicies = Aes256_Sha256_RsaPss  # only the strongest\n"
                                  "noneForSessions = on\nanonymousSessions = no\ncertificate = /etc/x.der\n",
                                  s),
            "");
  ASSERT_EQ(s.policies.size(), 1u);
  EXPECT_EQ(s.policies[0]->name, "Aes256_Sha256_RsaPss");
  EXPECT_TRUE(s.noneForSessions);
  EXPECT_FALSE(s.anonymousSessions);
  EXPECT_EQ(s.certificate, fs::path("/etc/x.der"));

  const SecurityFileSettings before = s;
  EXPECT_EQ(parseSecuritySettings("trustAllClients = maybe\n", s), "line 1: trustAllClients [maybe] is not true or false");
  EXPECT_EQ(parseSecuritySettings("\nsecurityPolicies = Basic128Rsa15\n", s),
            "line 2: securityPolicies: [Basic128Rsa15] is not Basic256Sha256, Aes128_Sha256_RsaOaep or "
            "Aes256_Sha256_RsaPss");
  EXPECT_EQ(parseSecuritySettings("trustAll = true\n", s), "line 1: unknown key [trustAll]");
  EXPECT_EQ(parseSecuritySettings("securityPolicies = none\nnoneForSessions = false\n", s),
            "no endpoint could carry a session: no secure policy and noneForSessions is false");
  EXPECT_EQ(s.policies, before.policies) << "a refused file changes nothing";
  EXPECT_TRUE(s.noneForSessions);
}

class Pki : public ::testing::Test {
 protected:
  ScratchEnvironment env;
  fs::path root = env.root() / "pki";
  std::vector<std::string> log;
  PkiOptions options() const {
    PkiOptions o;
    o.root = root;
    o.certificate = root / "own/certs/server.der";
    o.privateKey = root / "own/private/server.pem";
    return o;
  }
  PkiStore store(PkiOptions o) {
    return PkiStore(std::move(o), [this](SecurityLogLevel, const std::string& text) { log.push_back(text); });
  }
};

TEST_F(Pki, ServerCertificateIsMadeOnceAndNeverOverwritten) {
  std::string error;
  PkiStore first = store(options());
  auto made = first.loadOrCreateCredentials("urn:vexahv:test", "HV test server", error);
  ASSERT_TRUE(made) << error;
  EXPECT_EQ(made->certificate.applicationUri(), "urn:vexahv:test");
  EXPECT_EQ(crypto::keySize(made->privateKey.get()), 256u) << "RSA 2048";
  EXPECT_TRUE(made->certificate.selfSigned());
  struct stat st {};
  ASSERT_EQ(::stat((root / "own/private/server.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const char* dir : {"trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs"}) {
    EXPECT_TRUE(fs::is_directory(root / dir)) << dir;
  }

  PkiStore again = store(options());
  auto loaded = again.loadOrCreateCredentials("urn:vexahv:test", "HV test server", error);
  ASSERT_TRUE(loaded) << error;
  EXPECT_EQ(loaded->certificate.der(), made->certificate.der()) << "the second start loads the first's";

  fs::remove(root / "own/certs/server.der");
  PkiStore keyOnly = store(options());
  EXPECT_FALSE(keyOnly.loadOrCreateCredentials("urn:vexahv:test", "HV test server", error));
  EXPECT_NE(error.find("has no certificate"), std::string::npos) << error;
  EXPECT_TRUE(fs::exists(root / "own/private/server.pem")) << "an orphan key is kept for the operator";

  const auto other = securitytest::makeCredentials("urn:vexahv:other");
  writeFile(root / "own/certs/server.der", derText(other->certificate));
  EXPECT_FALSE(store(options()).loadOrCreateCredentials("urn:vexahv:test", "x", error));
  EXPECT_NE(error.find("does not belong"), std::string::npos) << error;
}

TEST_F(Pki, UntrustedClientIsRejectedUntilItsFileIsMoved) {
  PkiStore pki = store(options());
  std::string error;
  ASSERT_TRUE(pki.loadOrCreateCredentials("urn:vexahv:test", "HV test server", error)) << error;
  const auto client = securitytest::makeCredentials("urn:test:client");
  EXPECT_EQ(pki.verify({client->certificate}), kBadCertificateUntrusted);
  std::vector<fs::path> rejected;
  for (const auto& e : fs::directory_iterator(root / "rejected/certs")) rejected.push_back(e.path());
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_NE(rejected[0].filename().string().find(client->certificate.thumbprintHex()), std::string::npos);
  EXPECT_EQ(pki.verify({client->certificate}), kBadCertificateUntrusted);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "rejected/certs"), fs::directory_iterator()), 1)
      << "kept once";

  fs::rename(rejected[0], root / "trusted/certs" / rejected[0].filename());
  EXPECT_EQ(pki.verify({client->certificate}), kGood);

  const auto expired = securitytest::makeCredentials("urn:test:old", 2048, -1);
  writeFile(root / "trusted/certs/old.der", derText(expired->certificate));
  EXPECT_EQ(pki.verify({expired->certificate}), kBadCertificateTimeInvalid) << "trusted, but expired";

  PkiOptions all = options();
  all.trustAllClients = true;
  PkiStore commissioning = store(all);
  const auto stranger = securitytest::makeCredentials("urn:test:stranger");
  EXPECT_EQ(commissioning.verify({stranger->certificate}), kGood);
  EXPECT_EQ(commissioning.verify({expired->certificate}), kBadCertificateTimeInvalid);
}

TEST_F(Pki, CaIssuedClientsFollowTheTrustListAndTheRevocationList) {
  PkiStore pki = store(options());
  std::string error;
  ASSERT_TRUE(pki.loadOrCreateCredentials("urn:vexahv:test", "HV test server", error)) << error;
  const auto ca = securitytest::makeCa("Plant CA");
  const auto key = crypto::generateRsaKey(2048);
  const crypto::Certificate leaf = securitytest::issue(*ca, key.get(), "scada", false, 1001);

  writeFile(root / "issuers/certs/ca.der", derText(ca->certificate));
  EXPECT_EQ(pki.verify({leaf}), kBadCertificateUntrusted) << "an issuer completes a chain, it does not trust";
  fs::rename(root / "issuers/certs/ca.der", root / "trusted/certs/ca.der");
  EXPECT_EQ(pki.verify({leaf}), kGood) << "a trusted CA's client, no CRL known";
  EXPECT_EQ(pki.verify({leaf, ca->certificate}), kGood) << "with the chain sent along";

  writeFile(root / "trusted/crl/ca.crl", securitytest::makeCrl(*ca, {7}));
  EXPECT_EQ(pki.verify({leaf}), kGood) << "another serial is revoked";
  writeFile(root / "trusted/crl/ca.crl", securitytest::makeCrl(*ca, {7, 1001}));
  EXPECT_EQ(pki.verify({leaf}), kBadCertificateRevoked);
}

// The checks of an OpenSecureChannel's header, and the session signatures.
TEST(UaSecurity, ChannelsAndSessionsAreBoundToTheClientCertificate) {
  const auto server = securitytest::makeCredentials("urn:vexahv:server");
  const auto client = securitytest::makeCredentials("urn:test:client");
  struct TrustAll : CertificateVerifier {
    StatusCode verify(const std::vector<crypto::Certificate>&) override { return kGood; }
  };
  const SecurityPolicy* basic = findSecurePolicy("Basic256Sha256");
  SecurityConfiguration config(SecuritySettings{{basic}, false, true}, server, std::make_shared<TrustAll>());
  ASSERT_EQ(config.endpoints().size(), 2u) << "Sign and SignAndEncrypt, no None";

  AsymmetricHeader h;
  h.policyUri = UaString{std::string(basic->uri)};
  h.senderCertificate = UaString{derText(client->certificate)};
  const crypto::Bytes thumb = server->certificate.thumbprint();
  h.receiverThumbprint = UaString{std::string(thumb.begin(), thumb.end())};
  StatusCode why = kGood;
  auto channel = config.openChannel(h, why);
  ASSERT_TRUE(channel) << std::hex << why;
  UaString nonce;
  ASSERT_EQ(channel->startToken(1, kModeSign, crypto::Bytes(32, 3), nonce), kGood);

  AsymmetricHeader wrong = h;
  wrong.receiverThumbprint = UaString{std::string(20, 'x')};
  EXPECT_FALSE(config.openChannel(wrong, why));
  EXPECT_EQ(why, kBadCertificateInvalid) << "encrypted for another server";
  wrong = h;
  wrong.policyUri = UaString{std::string(findSecurePolicy("Aes256_Sha256_RsaPss")->uri)};
  EXPECT_FALSE(config.openChannel(wrong, why));
  EXPECT_EQ(why, kBadSecurityPolicyRejected);
  wrong = h;
  wrong.senderCertificate = UaString{std::string("not a certificate")};
  EXPECT_FALSE(config.openChannel(wrong, why));
  EXPECT_EQ(why, kBadCertificateInvalid);
  const auto small = securitytest::makeCredentials("urn:test:small", 1024);
  wrong = h;
  wrong.senderCertificate = UaString{derText(small->certificate)};
  EXPECT_FALSE(config.openChannel(wrong, why));
  EXPECT_EQ(why, kBadCertificateUseNotAllowed) << "1024 bits";
  AsymmetricHeader none;
  none.policyUri = UaString{std::string(kSecurityPolicyNone)};
  auto plain = config.openChannel(none, why);
  ASSERT_TRUE(plain) << "None always serves discovery";
  EXPECT_EQ(config.sessionAllowed(*plain), kBadSecurityPolicyRejected);
  EXPECT_EQ(config.sessionAllowed(*channel), kGood);

  // CreateSession: the server signs the client's certificate and nonce.
  const crypto::Bytes clientNonce(32, 9);
  SignatureData serverSignature;
  ASSERT_EQ(config.signSession(*channel, client->certificate.der(), clientNonce, serverSignature), kGood);
  crypto::Bytes signedData = client->certificate.der();
  signedData.insert(signedData.end(), clientNonce.begin(), clientNonce.end());
  EXPECT_TRUE(crypto::verify(server->certificate.publicKey(), crypto::SignaturePadding::Pkcs1, signedData,
                             serverSignature.signature));
  EXPECT_EQ(config.signSession(*channel, client->certificate.der(), crypto::Bytes(8, 1), serverSignature),
            kBadNonceInvalid);

  // ActivateSession: the client signs the server's certificate and last nonce.
  const crypto::Bytes serverNonce(32, 5);
  crypto::Bytes activation = server->certificate.der();
  activation.insert(activation.end(), serverNonce.begin(), serverNonce.end());
  SignatureData clientSignature{std::string(basic->asymmetricSignatureUri), {}};
  ASSERT_TRUE(crypto::sign(client->privateKey.get(), crypto::SignaturePadding::Pkcs1, activation,
                           clientSignature.signature));
  EXPECT_EQ(config.verifyClientSignature(*channel, serverNonce, clientSignature), kGood);
  EXPECT_EQ(config.verifyClientSignature(*channel, crypto::Bytes(32, 6), clientSignature),
            kBadApplicationSignatureInvalid)
      << "an old nonce";
  clientSignature.algorithm = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
  EXPECT_EQ(config.verifyClientSignature(*channel, serverNonce, clientSignature), kBadApplicationSignatureInvalid);
}

}  // namespace
