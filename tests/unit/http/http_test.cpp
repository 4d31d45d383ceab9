// The HTTP endpoint's settings file, its metrics text and its status JSON.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/socket.h"
#include "security_fixtures.h"

#include "http/basic_auth.h"
#include "http/http_endpoint.h"
#include "http/http_settings.h"
#include "http/metrics_text.h"
#include "http/status_json.h"

namespace vexahv::http {
namespace {

TEST(HttpSettings, OffByDefaultLoopbackOnlyAndEveryMistakeNamed) {
  HttpSettings s;
  EXPECT_EQ(parseHttpSettings("", s), "");
  EXPECT_FALSE(s.enabled);
  EXPECT_EQ(s.host, "127.0.0.1");
  EXPECT_FALSE(s.users);
  EXPECT_EQ(parseHttpSettings("# on\nenabled = true\nhost = 127.0.0.2\nport = 0\nusers = true\n", s), "");
  EXPECT_TRUE(s.enabled);
  EXPECT_TRUE(s.users);
  EXPECT_EQ(s.host, "127.0.0.2");
  EXPECT_EQ(s.port, 0);
  const std::pair<const char*, const char*> bad[] = {
      {"enabled = yes", "line 1: enabled [yes] is neither true nor false"},
      {"\nhost = 0.0.0.0", "host [0.0.0.0] is beyond loopback (127.0.0.0/8): that needs HTTPS"},
      {"host = 10.0.0.5\nusers = true", "that needs HTTPS (certificate, private_key) and a sign-in"},
      {"host = 10.0.0.5\ncertificate = a.pem\nprivate_key = a.key", "and a sign-in (users = true or client_certificates)"},
      {"certificate = a.pem", "certificate and private_key go together"},
      {"client_certificates = ca.pem", "client_certificates need HTTPS"},
      {"private_key =", "line 1: private_key is empty"},
      {"users = 1", "line 1: users [1] is neither true nor false"},
      {"host = localhost", "host [localhost] is not an IPv4 address"},
      {"port = 65536", "port [65536] is not a port number"},
      {"port = 80x", "port [80x]"},
      {"colour = red", "no setting is named [colour]"},
  };
  for (const auto& [text, why] : bad) {
    HttpSettings kept;
    kept.port = 1234;
    EXPECT_NE(parseHttpSettings(text, kept).find(why), std::string::npos) << text << ": " << parseHttpSettings(text, kept);
    EXPECT_EQ(kept.port, 1234) << "a refused file changes nothing";
  }
}

TEST(HttpSettings, BeyondLoopbackOnlyOverHttpsWithASignIn) {
  HttpSettings s;
  EXPECT_EQ(parseHttpSettings("host = 0.0.0.0\nusers = true\ncertificate = web.pem\nprivate_key = /k/web.key\n", s,
                              "/etc/vexahv"),
            "");
  EXPECT_EQ(s.certificate, std::filesystem::path("/etc/vexahv/web.pem"));
  EXPECT_EQ(s.privateKey, std::filesystem::path("/k/web.key"));
  EXPECT_EQ(parseHttpSettings("host = 10.1.2.3\ncertificate = w.pem\nprivate_key = w.key\nclient_certificates = c.pem\n",
                              s, "/r"),
            "") << "client certificates are a sign-in of their own";
  EXPECT_EQ(s.clientCertificates, std::filesystem::path("/r/c.pem"));

  // Files that do not load stop the endpoint with their names.
  HttpEndpoint endpoint;
  HttpSettings tls;
  tls.port = 0;
  tls.certificate = "/nonexistent/web.pem";
  tls.privateKey = "/nonexistent/web.key";
  const std::string why = endpoint.start(tls, [] { return ServerFigures{}; }, "test");
  EXPECT_NE(why.find("certificate [/nonexistent/web.pem] does not load"), std::string::npos) << why;
  EXPECT_EQ(endpoint.port(), 0);
}

// A PEM file of the certificate or the key.
std::filesystem::path pemFile(const std::filesystem::path& dir, const char* name, X509* cert, EVP_PKEY* key) {
  const auto file = dir / name;
  BIO* out = BIO_new_file(file.c_str(), "w");
  if (cert != nullptr) PEM_write_bio_X509(out, cert);
  if (key != nullptr) PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  BIO_free(out);
  return file;
}

// One HTTPS GET over OpenSSL with its own client certificate (or none), from a loopback
// address of its own (or any): the answer's status line, or empty when the handshake failed.
std::string httpsGet(std::uint16_t port, X509* cert, EVP_PKEY* key, const char* request, std::uint32_t from = 0) {
  using namespace vexahv::platform;
  Socket socket;
  if (Socket::open(Socket::Kind::Tcp, socket) || (from != 0 && socket.bind({from, 0})) ||
      socket.connect({kLoopback, port}, std::chrono::seconds(2))) {
    return "";
  }
  socket.setReceiveTimeout(std::chrono::seconds(5));
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (cert != nullptr) {
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, socket.fd());
  std::string answer;
  if (SSL_connect(ssl) == 1 && SSL_write(ssl, request, static_cast<int>(std::strlen(request))) > 0) {
    char buffer[4096];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return answer.substr(0, answer.find("\r\n"));
}

TEST(HttpsEndpoint, OnlyAClientWithACertificateOfTheIssuerGetsAnAnswerAndStopEndsEveryConnection) {
  const auto dir = std::filesystem::temp_directory_path() / ("vexahv-https-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto server = securitytest::makeCredentials("urn:test:web");
  const auto issuer = securitytest::makeCa("clients");
  auto clientKey = OpcToolbox::ua::crypto::generateRsaKey(2048);
  const auto client = securitytest::issue(*issuer, clientKey.get(), "scraper", false, 2);
  const auto stranger = securitytest::makeCredentials("urn:test:stranger");

  HttpSettings settings;
  settings.port = 0;
  settings.certificate = pemFile(dir, "web.pem", server->certificate.get(), nullptr);
  settings.privateKey = pemFile(dir, "web.key", nullptr, server->privateKey.get());
  settings.clientCertificates = pemFile(dir, "clients.pem", issuer->certificate.get(), nullptr);
  settings.users = true;
  HttpEndpoint endpoint;
  ServerFigures figures;
  figures.opcUa.sessions = 3;
  // The sign-in sees the client's own address, not the front's.
  std::mutex peersMutex;
  std::set<std::string> peers;
  auto passwords = [&](const std::string& user, const std::string& password, const std::string& peer) {
    std::lock_guard lock(peersMutex);
    peers.insert(peer);
    return user == "scada" && password == "pw";
  };
  ASSERT_EQ(endpoint.start(settings, [&] { return figures; }, "test", passwords), "");
  const char* get = "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic c2NhZGE6cHc=\r\n\r\n";
  const char* wrong = "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic c2NhZGE6eA==\r\n\r\n";
  EXPECT_EQ(httpsGet(endpoint.port(), client.get(), clientKey.get(), wrong, 0x7f000002), "HTTP/1.1 401 Unauthorized");
  {
    std::lock_guard lock(peersMutex);
    EXPECT_EQ(peers, std::set<std::string>{"127.0.0.2"});
  }
  EXPECT_EQ(httpsGet(endpoint.port(), client.get(), clientKey.get(), get), "HTTP/1.1 200 OK");
  EXPECT_EQ(httpsGet(endpoint.port(), client.get(), clientKey.get(),
                     "GET /nothing HTTP/1.1\r\nAuthorization: Basic c2NhZGE6cHc=\r\n\r\n"),
            "HTTP/1.1 404 Not Found");
  EXPECT_EQ(httpsGet(endpoint.port(), nullptr, nullptr, get), "") << "no certificate, no handshake";
  EXPECT_EQ(httpsGet(endpoint.port(), stranger->certificate.get(), stranger->privateKey.get(), get), "")
      << "another issuer's";
  // Several at once, then a stop with one still connected and silent.
  std::vector<std::thread> many;
  std::atomic<int> answered{0};
  for (int i = 0; i < 6; ++i) {
    many.emplace_back([&] { answered += httpsGet(endpoint.port(), client.get(), clientKey.get(), get) == "HTTP/1.1 200 OK"; });
  }
  for (auto& t : many) t.join();
  EXPECT_EQ(answered.load(), 6);
  vexahv::platform::Socket silent;
  ASSERT_FALSE(vexahv::platform::Socket::open(vexahv::platform::Socket::Kind::Tcp, silent));
  ASSERT_FALSE(silent.connect({vexahv::platform::kLoopback, endpoint.port()}, std::chrono::seconds(2)));
  endpoint.stop();
  EXPECT_EQ(endpoint.port(), 0);
  std::filesystem::remove_all(dir);
}

TEST(BasicAuth, TheHeaderIsDecodedStrictlyAndASuccessIsRememberedNotAFailure) {
  using Pair = std::pair<std::string, std::string>;
  EXPECT_EQ(parseBasicAuthorization("Basic b3Blcjpvdjp4"), (Pair{"oper", "ov:x"})) << "the first colon splits";
  EXPECT_EQ(parseBasicAuthorization("basic  b3Blcjo= "), (Pair{"oper", ""}));
  for (const char* bad : {"", "Basic", "Basic ", "Bearer b3Blcjpvdjp4", "Basic b3Blcjpvdjp", "Basic b3Bl*jpvdjp4",
                          "Basic OnB3", /* ":pw": no user */ "Basic dXNlcgBhOmI=" /* a NUL */}) {
    EXPECT_EQ(parseBasicAuthorization(bad), std::nullopt) << bad;
  }
  int checks = 0;
  BasicAuth auth([&](const std::string& user, const std::string& password, const std::string&) {
    ++checks;
    return user == "oper" && password == "ov:x";
  });
  EXPECT_EQ(auth.signIn(nullptr, "127.0.0.1"), std::nullopt);
  EXPECT_EQ(auth.signIn("Basic b3Blcjpvdjp4", "127.0.0.1"), "oper");
  EXPECT_EQ(auth.signIn("Basic b3Blcjpvdjp4", "127.0.0.1"), "oper");
  EXPECT_EQ(checks, 1) << "a scraper's every request costs no check";
  EXPECT_EQ(auth.signIn("Basic b3Blcjp3cm9uZw==", "127.0.0.1"), std::nullopt);
  EXPECT_EQ(auth.signIn("Basic b3Blcjp3cm9uZw==", "127.0.0.1"), std::nullopt);
  EXPECT_EQ(checks, 3) << "a wrong password is checked (and paced) every time";
}

TEST(MetricsText, LabelsAreEscapedAndEveryFamilyIsDeclaredOnce) {
  ServerFigures s;
  CrateFigures a;
  a.name = "Crate\"A\\";
  a.address = "127.0.0.2";
  a.connection = 1;
  a.hasCalls = true;
  a.calls.calls = 6;
  a.calls.failuresByReason = {{"timeout", 2}};
  a.calls.boundsSeconds = {0.001, 0.01};
  a.calls.buckets = {3, 2, 1};
  a.calls.sumSeconds = 3.5;
  CrateFigures b;
  b.name = "CrateB";
  b.address = "127.0.0.3";
  b.connection = 2;
  b.keepAliveFailures = 4;
  b.eventsDroppedNotConnected = 3;
  b.eventDatagramsDamaged = 5;
  s.crates = {a, b};
  s.activeAlarmsBySeverity[900] = 2;
  s.unacknowledgedAlarmsBySeverity[700] = 1;
  s.events.datagramsFromStrangers = 7;
  s.opcUa.loginFailures = 2;
  const std::string text = prometheusText(s, ProcessFigures{1.5, 3e7}, "5.0.0");
  EXPECT_NE(text.find("vexahv_crate_connected{crate=\"Crate\\\"A\\\\\",address=\"127.0.0.2\"} 1\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("vexahv_crate_state{crate=\"CrateB\",address=\"127.0.0.3\"} 2\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_crate_keepalive_failures{crate=\"CrateB\",address=\"127.0.0.3\"} 4\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_alarms_active{severity=\"900\"} 2\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_alarms_unacknowledged{severity=\"700\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_crate_event_datagrams_damaged_total{crate=\"CrateB\",address=\"127.0.0.3\"} 5\n"),
            std::string::npos);
  EXPECT_NE(text.find("vexahv_event_datagrams_dropped_total 7\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_opcua_login_failures_total 2\n"), std::string::npos);
  // The histogram's buckets are cumulative and end in +Inf, which is the count.
  const std::string labels = "{crate=\"Crate\\\"A\\\\\",address=\"127.0.0.2\"";
  for (const char* line : {",le=\"0.001\"} 3\n", ",le=\"0.01\"} 5\n", ",le=\"+Inf\"} 6\n"}) {
    EXPECT_NE(text.find("vexahv_library_call_duration_seconds_bucket" + labels + line), std::string::npos) << line;
  }
  EXPECT_NE(text.find("vexahv_library_call_duration_seconds_count" + labels + "} 6\n"), std::string::npos);
  EXPECT_NE(text.find("vexahv_library_call_failures_total" + labels + ",reason=\"timeout\"} 2\n"), std::string::npos);
  EXPECT_EQ(text.find("vexahv_library_calls_total{crate=\"CrateB\""), std::string::npos) << "no handle, no calls";
  EXPECT_NE(text.find("vexahv_crate_event_records_dropped_total{crate=\"CrateB\",address=\"127.0.0.3\",cause=\"not_connected\"} 3\n"),
            std::string::npos);
  EXPECT_EQ(text.find("vexahv_crate_last_event_age_seconds{crate=\"CrateB\""), std::string::npos) << "no event yet";
  EXPECT_NE(text.find("process_cpu_seconds_total 1.5\n"), std::string::npos);
  std::size_t types = 0;
  for (std::size_t p = 0; (p = text.find("# TYPE vexahv_crate_connected ", p)) != std::string::npos; ++p) ++types;
  EXPECT_EQ(types, 1u);
}

TEST(StatusJson, OutsideTextIsEscapedWhateverItHolds) {
  ServerFigures s;
  CrateFigures c;
  c.name = "Crate\"A";
  c.connection = 2;
  s.crates = {c};
  s.activeAlarms = {{"CrateA.Board00#PowerFail", 900, "line\nbreak \x01 and \\"}};
  const std::string json = statusJson(s, ProcessFigures{}, "5.0.0");
  EXPECT_NE(json.find("\"name\":\"Crate\\\"A\",\"address\":\"\",\"state\":\"lost\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"message\":\"line\\u000abreak \\u0001 and \\\\\""), std::string::npos) << json;
}

}  // namespace
}  // namespace vexahv::http
