// Who a session's user is and what it may do: the users file, password hashes, the
// identity tokens of ActivateSession (a password encrypted with the nonce sent last, a
// certificate user's signature), the paced login guard, and the checks of CreateSession
// that bind a session to its channel's certificate.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <latch>

#include "opctoolbox/ua/channel/ua_channel_crypto.h"
#include "opctoolbox/ua/security/ua_identity_tokens.h"
#include "opctoolbox/ua/security/ua_login_guard.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/security/ua_user_accounts.h"
#include "support/test_environment.h"
#include "unit/ua/demo_application.h"
#include "unit/ua/security_fixtures.h"
#include "unit/ua/session_requests.h"

namespace {

using namespace OpcToolbox;
using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;
using vexahv::test::ScratchEnvironment;
using vexahv::test::writeFile;

TEST(UserAccounts, FileRoundTripsAndRefusesDamage) {
  const std::string hash = hashPassword("correct horse", 1000);
  ASSERT_FALSE(hash.empty());
  EXPECT_TRUE(verifyPassword("correct horse", hash));
  EXPECT_FALSE(verifyPassword("correct horsf", hash));
  EXPECT_FALSE(verifyPassword("correct horse", "$pbkdf2-sha256$1000$AAAA$AAAA")) << "damaged hash";
  EXPECT_NE(hashPassword("correct horse", 1000), hash) << "a fresh salt every time";

  std::vector<UserAccount> accounts{{"oper", Role::Operator, UserAccount::Kind::Password, hash},
                                    {"scada.1@plant", Role::Reader, UserAccount::Kind::Certificate, std::string(40, 'a')}};
  const std::string text = formatUserAccounts(accounts);
  EXPECT_EQ(text.find("correct horse"), std::string::npos);
  std::vector<UserAccount> back;
  ASSERT_EQ(parseUserAccounts(text, back), "");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].name, "scada.1@plant");
  EXPECT_EQ(back[1].kind, UserAccount::Kind::Certificate);

  const std::pair<const char*, const char*> bad[] = {
      {"oper:operator\n", "line 1: not \"name:role:secret\""},
      {"op er:reader:x509:" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n", "line 1: the user name is not"},
      {"oper:root:x509:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n", "line 1: the role is not"},
      {"# c\noper:reader:x509:AAAA\n", "line 2: the certificate thumbprint"},
      {"oper:reader:hunter2\n", "line 1: the password hash"},
  };
  for (const auto& [input, why] : bad) {
    std::vector<UserAccount> kept = back;
    const std::string said = parseUserAccounts(input, kept);
    EXPECT_EQ(said.rfind(why, 0), 0u) << input << " -> " << said;
    EXPECT_EQ(kept.size(), 2u) << "a refused file changes nothing";
  }
  EXPECT_NE(parseUserAccounts(text + text.substr(text.find("oper:")), back).find("listed twice"), std::string::npos);
}

TEST(UserAccounts, DirectorySeesChangesAndKeepsTheLastGoodReading) {
  ScratchEnvironment env;
  const auto file = env.root() / "users";
  UserAccountsFile accounts(file);
  UserDirectory directory(file);
  EXPECT_FALSE(directory.find("oper"));
  ASSERT_EQ(accounts.update([](std::vector<UserAccount>& a) {
    a.push_back({"oper", Role::Operator, UserAccount::Kind::Password, hashPassword("pw-12345", 1000)});
    return std::string();
  }),
            "");
  ASSERT_TRUE(directory.find("oper"));
  EXPECT_EQ(directory.find("oper")->role, Role::Operator);
  // The hashes are nobody else's to read, even where an older release left the file open.
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(accounts.update([](std::vector<UserAccount>&) { return std::string(); }), "");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  writeFile(file, "damaged line, longer than before\n");
  EXPECT_TRUE(directory.find("oper")) << "a damaged file keeps the accounts read before";
  EXPECT_NE(directory.problem(), "");
  EXPECT_NE(accounts.update([](std::vector<UserAccount>&) { return std::string(); }), "")
      << "a damaged file is never overwritten";
}

TEST(LoginGuard, FailuresAreDelayedAndRepeatedOnesLockTheName) {
  std::atomic<int> checks{0};
  LoginLimits limits;
  limits.failureDelay = std::chrono::milliseconds(50);
  limits.lockAfter = 3;
  limits.lockFor = std::chrono::milliseconds(400);
  LoginGuard guard(
      [&](const std::string& user, const crypto::SecretBytes& password) -> std::optional<Role> {
        ++checks;
        const std::string_view p(reinterpret_cast<const char*>(password.data()), password.size());
        if (user == "oper" && p == "right") return Role::Operator;
        return std::nullopt;
      },
      limits);
  auto attempt = [&](const std::string& password) {
    std::promise<StatusCode> done;
    const auto start = std::chrono::steady_clock::now();
    guard.submit("oper", "10.0.0.1", crypto::SecretBytes(std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size())),
                 [&](StatusCode rc, Role) { done.set_value(rc); });
    const StatusCode rc = done.get_future().get();
    return std::make_pair(rc, std::chrono::steady_clock::now() - start);
  };
  EXPECT_EQ(attempt("right").first, kGood);
  const auto [wrong, took] = attempt("wrong");
  EXPECT_EQ(wrong, kBadUserAccessDenied);
  EXPECT_GE(took, std::chrono::milliseconds(50)) << "a failure is answered only after the delay";
  attempt("wrong");
  attempt("wrong");
  const int before = checks;
  EXPECT_EQ(attempt("right").first, kBadUserAccessDenied) << "locked after three failures";
  EXPECT_EQ(checks, before) << "a locked name is not even checked";
  std::this_thread::sleep_for(std::chrono::milliseconds(450));
  EXPECT_EQ(attempt("right").first, kGood) << "the lock ends";
}

TEST(LoginGuard, WaitingAttemptsAreBoundedAndStopAnswersAtOnce) {
  std::latch entered(1), release(1);
  LoginLimits limits;
  limits.maxWaiting = 2;
  LoginGuard guard(
      [&](const std::string&, const crypto::SecretBytes&) -> std::optional<Role> {
        entered.count_down();
        release.wait();
        return Role::Reader;
      },
      limits);
  std::vector<std::promise<StatusCode>> answers(4);
  auto submit = [&](std::size_t i) {
    guard.submit("u" + std::to_string(i), "p", crypto::SecretBytes(),
                 [&answers, i](StatusCode rc, Role) { answers[i].set_value(rc); });
  };
  submit(0);
  entered.wait();  // the first is being checked, the queue is empty
  submit(1);
  submit(2);
  submit(3);
  EXPECT_EQ(answers[3].get_future().get(), kBadTooManyOperations) << "refused at once past two waiting";
  release.count_down();
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(answers[i].get_future().get(), kGood);
  guard.stop();
  std::promise<StatusCode> late;
  guard.submit("u", "p", crypto::SecretBytes(), [&](StatusCode rc, Role) { late.set_value(rc); });
  EXPECT_EQ(late.get_future().get(), kBadShutdown) << "after stop, at once";
}

// A configuration with one secure policy, users, and channels of a client.
struct Identities : ::testing::Test {
  ScratchEnvironment env;
  std::shared_ptr<ServerCredentials> server = securitytest::makeCredentials("urn:vexahv:server");
  std::shared_ptr<ServerCredentials> client = securitytest::makeCredentials("urn:test:client");
  std::shared_ptr<ServerCredentials> person = securitytest::makeCredentials("urn:test:person");
  const SecurityPolicy* basic = findSecurePolicy("Basic256Sha256");
  std::shared_ptr<UserDirectory> users = std::make_shared<UserDirectory>(env.root() / "users");
  SecuritySettings settings{{basic}, true, true, Role::Reader};
  const Bytes nonce = Bytes(32, 0x42);

  Identities() {
    UserAccountsFile(env.root() / "users").update([&](std::vector<UserAccount>& a) {
      a.push_back({"oper", Role::Operator, UserAccount::Kind::Password, hashPassword("operator-pw", 1000)});
      a.push_back({"person", Role::Admin, UserAccount::Kind::Certificate, person->certificate.thumbprintHex()});
      return std::string();
    });
  }
  SecurityConfiguration config() const { return SecurityConfiguration(settings, server, nullptr, users); }
  std::shared_ptr<ChannelSecurity> channel(std::uint32_t mode) const {
    auto c = std::make_shared<SecureChannel>(*basic, server, std::vector<crypto::Certificate>{client->certificate},
                                             client->certificate.der());
    UaString serverNonce;
    EXPECT_EQ(c->startToken(1, mode, Bytes(32, 1), serverNonce), kGood);
    return c;
  }
  // A user-name token whose password is encrypted as Part 4 says: length, password, nonce.
  ExtensionObject userName(const std::string& name, const std::string& password, const Bytes& withNonce,
                           std::string_view algorithm) const {
    Bytes plain;
    const std::uint32_t length = static_cast<std::uint32_t>(password.size() + withNonce.size());
    for (int i = 0; i < 4; ++i) plain.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    plain.insert(plain.end(), password.begin(), password.end());
    plain.insert(plain.end(), withNonce.begin(), withNonce.end());
    Bytes secret;
    if (!algorithm.empty()) EXPECT_TRUE(crypto::encrypt(server->certificate.publicKey(), basic->asymmetricEncryption, plain, secret));
    else secret.assign(password.begin(), password.end());
    std::string body;
    Bytes raw;
    Encoder e(raw);
    e.string("username");
    e.string(name);
    e.byteString(UaString{std::string(secret.begin(), secret.end())});
    e.string(algorithm.empty() ? UaString{} : UaString{std::string(algorithm)});
    return ExtensionObject{NodeId::numericId(0, kUserNameIdentityTokenBinary), 1, std::string(raw.begin(), raw.end())};
  }
  ExtensionObject x509(const ServerCredentials& who) const {
    Bytes raw;
    Encoder e(raw);
    e.string("certificate");
    e.byteString(UaString{std::string(who.certificate.der().begin(), who.certificate.der().end())});
    return ExtensionObject{NodeId::numericId(0, kX509IdentityTokenBinary), 1, std::string(raw.begin(), raw.end())};
  }
  SignatureData signedBy(const ServerCredentials& who, const Bytes& withNonce) const {
    Bytes data = server->certificate.der();
    data.insert(data.end(), withNonce.begin(), withNonce.end());
    SignatureData s{std::string(basic->asymmetricSignatureUri), {}};
    EXPECT_TRUE(crypto::sign(who.privateKey.get(), basic->asymmetricSignature, data, s.signature));
    return s;
  }
};

TEST_F(Identities, PasswordsTravelEncryptedWithTheLastNonce) {
  const SecurityConfiguration c = config();
  const auto sign = channel(kModeSign), encrypt = channel(kModeSignAndEncrypt);
  IdentityClaim claim;
  ASSERT_EQ(c.checkIdentity(*sign, nonce, userName("oper", "operator-pw", nonce, basic->asymmetricEncryptionUri), {}, claim),
            kGood);
  EXPECT_EQ(claim.kind, IdentityClaim::Kind::UserName);
  EXPECT_EQ(std::string(claim.password.view().begin(), claim.password.view().end()), "operator-pw");
  EXPECT_EQ(c.checkPassword("oper", claim.password), Role::Operator);
  EXPECT_EQ(c.checkPassword("oper", crypto::SecretBytes(Bytes{'x'})), std::nullopt);
  EXPECT_EQ(c.checkPassword("nobody", claim.password), std::nullopt);

  // Over None the token's own policy protects the password.
  EXPECT_EQ(c.checkIdentity(plainChannel(), nonce, userName("oper", "operator-pw", nonce, basic->asymmetricEncryptionUri),
                            {}, claim),
            kGood);
  EXPECT_EQ(c.checkIdentity(*sign, nonce, userName("oper", "operator-pw", Bytes(32, 0x43), basic->asymmetricEncryptionUri),
                            {}, claim),
            kBadIdentityTokenInvalid)
      << "a replayed token names an old nonce";
  EXPECT_EQ(c.checkIdentity(*sign, nonce, userName("oper", "operator-pw", nonce, "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256"),
                            {}, claim),
            kBadIdentityTokenInvalid)
      << "another policy's algorithm";
  EXPECT_EQ(c.checkIdentity(*sign, nonce, userName("oper", "operator-pw", nonce, ""), {}, claim), kBadIdentityTokenRejected)
      << "a password in clear over a channel that only signs";
  EXPECT_EQ(c.checkIdentity(plainChannel(), nonce, userName("oper", "operator-pw", nonce, ""), {}, claim),
            kBadIdentityTokenRejected);
  EXPECT_EQ(c.checkIdentity(*encrypt, nonce, userName("oper", "operator-pw", nonce, ""), {}, claim), kGood)
      << "in clear inside an encrypted channel";
  EXPECT_EQ(c.checkIdentity(*sign, nonce, ExtensionObject{NodeId::numericId(0, 940), 1, "x"}, {}, claim),
            kBadIdentityTokenInvalid)
      << "issued tokens";
}

TEST_F(Identities, CertificateUsersProveTheirKeyAndHaveAnAccount) {
  const SecurityConfiguration c = config();
  const auto sign = channel(kModeSign);
  IdentityClaim claim;
  ASSERT_EQ(c.checkIdentity(*sign, nonce, x509(*person), signedBy(*person, nonce), claim), kGood);
  EXPECT_EQ(claim.user, "person");
  EXPECT_EQ(claim.role, Role::Admin);
  EXPECT_EQ(c.checkIdentity(*sign, nonce, x509(*person), signedBy(*person, Bytes(32, 7)), claim), kBadUserSignatureInvalid);
  EXPECT_EQ(c.checkIdentity(*sign, nonce, x509(*person), signedBy(*client, nonce), claim), kBadUserSignatureInvalid)
      << "signed with another key";
  EXPECT_EQ(c.checkIdentity(*sign, nonce, x509(*client), signedBy(*client, nonce), claim), kBadIdentityTokenRejected)
      << "no account";
  const auto expired = securitytest::makeCredentials("urn:test:old", 2048, -1);
  EXPECT_EQ(c.checkIdentity(*sign, nonce, x509(*expired), signedBy(*expired, nonce), claim), kBadIdentityTokenRejected);

  settings.anonymous = false;
  EXPECT_EQ(config().checkIdentity(*sign, nonce, ExtensionObject{}, {}, claim), kBadIdentityTokenRejected);
  settings.anonymous = true;
  ASSERT_EQ(config().checkIdentity(*sign, nonce, ExtensionObject{}, {}, claim), kGood);
  EXPECT_EQ(claim.role, Role::Reader);
  const auto tokens = config().userTokenPolicies(SecurityConfiguration::Endpoint{nullptr, kModeNone});
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[1].securityPolicyUri, basic->uri) << "over None the user name names a policy of its own";
}

// CreateSession on a channel: None may be closed to sessions, and the client's certificate
// and ApplicationUri must be the channel's.
TEST_F(Identities, CreateSessionIsBoundToTheChannel) {
  settings.noneForSessions = false;
  auto security = std::make_shared<SecurityConfiguration>(config());
  Application* app = startDemoApplication();
  {
    UaServer ua(*app, "opc.tcp://127.0.0.1:4840", {}, security);
    ua.channelOpened(1, "127.0.0.1", std::shared_ptr<const ChannelSecurity>(&plainChannel(), [](const ChannelSecurity*) {}));
    ua.channelOpened(2, "127.0.0.1", channel(kModeSign));
    auto create = [&](std::uint32_t channelId, const std::string& uri, const crypto::Certificate& certificate) {
      Bytes b;
      Encoder e(b);
      e.nodeId(NodeId::numericId(0, id::CreateSessionRequest));
      e.nodeId(NodeId{});
      e.dateTime(0);
      e.uint32(7);
      e.uint32(0);
      e.string(UaString{});
      e.uint32(0);
      e.extensionObject(ExtensionObject{});
      encodeCreateSessionBody(e, uri, "opc.tcp://127.0.0.1:4840", "s",
                              std::string(certificate.der().begin(), certificate.der().end()), 60000);
      std::promise<Bytes> answer;
      ua.handle(channelId, b, [&](Bytes r) { answer.set_value(std::move(r)); });
      const Bytes r = answer.get_future().get();
      Decoder d(r);
      d.nodeId();
      d.dateTime();
      d.uint32();
      return d.uint32();
    };
    EXPECT_EQ(create(1, "urn:test:client", client->certificate), kBadSecurityPolicyRejected) << "None: discovery only";
    EXPECT_EQ(create(2, "urn:test:client", client->certificate), kGood);
    EXPECT_EQ(create(2, "urn:test:impostor", client->certificate), kBadCertificateUriInvalid);
    EXPECT_EQ(create(2, "urn:test:person", person->certificate), kBadCertificateInvalid) << "not the channel's certificate";
    ua.stop();
  }
  stopDemoApplication();
}

}  // namespace
