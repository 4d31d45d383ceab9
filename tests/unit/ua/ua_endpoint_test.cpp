// The endpoint over a real loopback socket: answers sent by worker threads while the
// client reads nothing (so the server's socket fills and the rest waits for EPOLLOUT)
// all arrive, whole, each once, with the channel's sequence numbers in order.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "opctoolbox/application.h"
#include "opctoolbox/ua/endpoint/ua_endpoint.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "platform/unique_fd.h"
#include "unit/ua/demo_application.h"
#include "unit/ua/session_requests.h"

namespace {

using namespace OpcToolbox;
using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;

void putUInt32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getUInt32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
  return v;
}

// The service result of an answer of that type, its response header read past (no
// diagnostics, string table or additional header are expected); BadDecodingError for
// another type or a damaged header.
StatusCode responseStatus(Decoder& d, std::uint32_t type) {
  if (!(d.nodeId() == NodeId::numericId(0, type))) return kBadDecodingError;
  d.dateTime();
  d.uint32();  // request handle
  const StatusCode result = d.uint32();
  d.byte();
  d.arrayLength();
  d.nodeId();
  d.byte();
  return d.ok() ? result : kBadDecodingError;
}

// Just enough of a client: framing, the secure channel and a session, no security.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int small = 4096;  // a small window: the server's answers back up quickly
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const timeval limit{10, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  bool connected() const { return connected_; }
  // Whether the server has closed the connection (an Error, then the end) within ms.
  bool closedByServerWithin(int ms) {
    const timeval limit{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::uint8_t b[256];
    for (;;) {
      const ssize_t n = ::recv(fd_.get(), b, sizeof b, 0);
      if (n == 0) return true;
      if (n < 0) return errno == ECONNRESET;
    }
  }
  bool sendHello() {
    Bytes hello{'H', 'E', 'L', 'F', 0, 0, 0, 0};
    Encoder e(hello);
    e.uint32(0);
    e.uint32(65536);
    e.uint32(65536);
    e.uint32(0);
    e.uint32(0);
    e.string("opc.tcp://127.0.0.1");
    return exchange(finish(hello)).starts_with("ACK");
  }

  bool openChannel() {
    if (!sendHello()) return false;
    Bytes open{'O', 'P', 'N', 'F', 0, 0, 0, 0, 0, 0, 0, 0};
    Encoder o(open);
    o.string(kSecurityPolicyNone);
    o.byteString(UaString{});
    o.byteString(UaString{});
    o.uint32(seq_++);
    o.uint32(requestId_++);
    header(o, id::OpenSecureChannelRequest, NodeId{});
    o.uint32(0);  // protocol version
    o.uint32(0);  // issue
    o.uint32(1);  // mode None
    o.byteString(UaString{});
    o.uint32(600000);
    const std::string answer = exchange(finish(open));
    if (!answer.starts_with("OPN")) return false;
    channel_ = getUInt32(last_, 8);
    // After the header, the channel id and the security header: the token is the second
    // field of the SecurityToken, 4 bytes after the channel id that starts it.
    Decoder d(std::span<const std::uint8_t>(last_).subspan(12));
    d.string();
    d.byteString();
    d.byteString();
    d.uint32();
    d.uint32();
    if (responseStatus(d, id::OpenSecureChannelResponse) != kGood) return false;
    d.uint32();  // server protocol version
    d.uint32();  // channel id
    token_ = d.uint32();
    return d.ok();
  }

  bool openSession() {
    Bytes create = message();
    Encoder e(create);
    header(e, id::CreateSessionRequest, NodeId{});
    encodeCreateSessionBody(e, "", "opc.tcp://127.0.0.1", "endpoint test", "", 60000);
    if (!exchange(finish(create)).starts_with("MSG")) return false;
    Decoder d(std::span<const std::uint8_t>(last_).subspan(24));
    if (responseStatus(d, id::CreateSessionResponse) != kGood) return false;
    d.nodeId();
    auth_ = d.nodeId();
    Bytes activate = message();
    Encoder a(activate);
    header(a, id::ActivateSessionRequest, auth_);
    a.string(UaString{});
    a.byteString(UaString{});
    a.arrayLength(0);
    a.arrayLength(0);
    a.extensionObject(ExtensionObject{});
    a.string(UaString{});
    a.byteString(UaString{});
    return exchange(finish(activate)).starts_with("MSG") && d.ok();
  }

  // A Read from the device (max age 0) of one node, count times over.
  Bytes read(const NodeId& node, std::uint32_t count, std::uint32_t& requestId) {
    requestId = requestId_;
    Bytes r = message();
    Encoder e(r);
    header(e, id::ReadRequest, auth_);
    e.float64(0);
    e.uint32(2);  // both timestamps: 22 bytes a value
    e.arrayLength(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      e.nodeId(node);
      e.uint32(13);
      e.string(UaString{});
      e.qualifiedName(QualifiedName{});
    }
    return finish(r);
  }

  // A Browse of the Objects folder's children, every reference.
  Bytes browseObjects() {
    Bytes r = message();
    Encoder e(r);
    header(e, id::BrowseRequest, auth_);
    e.nodeId(NodeId{});  // no view
    e.dateTime(0);
    e.uint32(0);
    e.uint32(0);  // no limit of references
    e.arrayLength(1);
    e.nodeId(NodeId::numericId(0, 85));
    e.uint32(0);  // forward
    e.nodeId(NodeId::numericId(0, 33));  // hierarchical references
    e.boolean(true);
    e.uint32(0);
    e.uint32(63);
    return finish(r);
  }
  void closeAbruptly() {
    const linger reset{1, 0};  // RST: the server's queued answers have nowhere to go
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd_.reset();
  }

  bool sendAll(const Bytes& b) {
    for (std::size_t sent = 0; sent < b.size();) {
      const ssize_t n = ::send(fd_.get(), b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // One whole message into last_; its type, or "" when none came.
  std::string receive() {
    last_.assign(8, 0);
    if (!readExactly(last_.data(), 8)) return "";
    const std::uint32_t size = getUInt32(last_, 4);
    if (size < 8 || size > (1u << 24)) return "";
    last_.resize(size);
    if (!readExactly(last_.data() + 8, size - 8)) return "";
    return std::string(last_.begin(), last_.begin() + 3);
  }
  const Bytes& last() const { return last_; }

 private:
  std::string exchange(const Bytes& b) { return sendAll(b) ? receive() : ""; }
  bool readExactly(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const ssize_t got = ::recv(fd_.get(), p, n, 0);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  static void header(Encoder& e, std::uint32_t type, const NodeId& auth) {
    e.nodeId(NodeId::numericId(0, type));
    e.nodeId(auth);
    e.dateTime(0);
    e.uint32(7);
    e.uint32(0);
    e.string(UaString{});
    e.uint32(0);
    e.extensionObject(ExtensionObject{});
  }
  Bytes message() {
    Bytes b{'M', 'S', 'G', 'F', 0, 0, 0, 0};
    Encoder e(b);
    e.uint32(channel_);
    e.uint32(token_);
    e.uint32(seq_++);
    e.uint32(requestId_++);
    return b;
  }
  static Bytes finish(Bytes b) {
    putUInt32(b, 4, static_cast<std::uint32_t>(b.size()));
    return b;
  }
  vexahv::platform::UniqueFd fd_;
  bool connected_ = false;
  std::uint32_t channel_ = 0, token_ = 0, seq_ = 1, requestId_ = 1;
  NodeId auth_;
  Bytes last_;
};

class Endpoint : public ::testing::Test {
 protected:
  Endpoint() {
    Application* a = startDemoApplication();
    options.host = "127.0.0.1";
    options.port = 0;
    endpoint = std::make_unique<UaEndpoint>(*a, options);
  }
  // The endpoint again, with other options.
  void restart() {
    endpoint->stop();
    endpoint = std::make_unique<UaEndpoint>(*getApp(), options);
    ASSERT_FALSE(endpoint->start());
  }
  EndpointOptions options;
  ~Endpoint() override {
    endpoint->stop();
    stopDemoApplication();
  }
  std::unique_ptr<UaEndpoint> endpoint;
};

TEST_F(Endpoint, WorkerAnswersThroughAFullSocketArriveWholeOnceAndInSequence) {
  ASSERT_FALSE(endpoint->start());
  RawClient client(endpoint->port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.openChannel());
  ASSERT_TRUE(client.openSession());

  // 300 device Reads of 1,000 values (22 kB each answered) sent before any is read: more
  // than the socket buffers hold, so answers wait in the server's queue for EPOLLOUT.
  constexpr std::uint32_t kReads = 300, kValues = 1000;
  const NodeId item = NodeId::stringId(1, "Demo.Int32");
  std::set<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < kReads; ++i) {
    std::uint32_t requestId = 0;
    ASSERT_TRUE(client.sendAll(client.read(item, kValues, requestId)));
    expected.insert(requestId);
  }
  std::uint32_t previousSequence = 0;
  for (std::uint32_t i = 0; i < kReads; ++i) {
    ASSERT_EQ(client.receive(), "MSG") << "answer " << i;
    const Bytes& m = client.last();
    const std::uint32_t sequence = getUInt32(m, 16);
    if (previousSequence != 0) {
      EXPECT_EQ(sequence, previousSequence + 1) << "answer " << i;
    }
    previousSequence = sequence;
    EXPECT_EQ(expected.erase(getUInt32(m, 20)), 1u) << "each request answered once";
    Decoder d(std::span<const std::uint8_t>(m).subspan(24));
    EXPECT_EQ(responseStatus(d, id::ReadResponse), kGood);
    ASSERT_EQ(d.arrayLength(), kValues);
    for (std::uint32_t k = 0; k < kValues; ++k) {
      const DataValue v = d.dataValue();
      ASSERT_TRUE(v.value.has_value());
      EXPECT_EQ(std::get<std::int32_t>(v.value->values.front()), -5);
    }
    EXPECT_TRUE(d.ok());
  }
  EXPECT_TRUE(expected.empty());
}

// A client that pipelines requests and vanishes (a reset) while their answers are queued
// for a full socket, or still being made by workers, costs the server that connection only.
TEST_F(Endpoint, AClientThatLeavesWithAnswersQueuedLeavesTheServerServing) {
  ASSERT_FALSE(endpoint->start());
  const NodeId item = NodeId::stringId(1, "Demo.Int32");
  for (int round = 0; round < 6; ++round) {
    RawClient client(endpoint->port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.openChannel());
    ASSERT_TRUE(client.openSession());
    Bytes burst;
    for (int i = 0; i < 200; ++i) {
      const Bytes b = client.browseObjects();
      burst.insert(burst.end(), b.begin(), b.end());
      std::uint32_t requestId = 0;
      const Bytes r = client.read(item, 1000, requestId);  // 22 kB answered by a worker
      burst.insert(burst.end(), r.begin(), r.end());
    }
    client.sendAll(burst);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));  // from mid-burst to all queued
    // More requests and at once a reset: the server finds them unread beside the reset.
    client.sendAll(client.browseObjects());
    client.closeAbruptly();
  }
  RawClient after(endpoint->port());
  ASSERT_TRUE(after.connected());
  ASSERT_TRUE(after.openChannel());
  ASSERT_TRUE(after.openSession());
  std::uint32_t requestId = 0;
  ASSERT_TRUE(after.sendAll(after.read(item, 1, requestId)));
  EXPECT_EQ(after.receive(), "MSG");
}

// Every step of a connection has its time: one that stops short is closed, one with a
// session stays.
TEST_F(Endpoint, ConnectionsThatStopShortAreClosedInTime) {
  options.timeouts.hello = std::chrono::milliseconds(300);
  options.timeouts.open = std::chrono::milliseconds(600);
  options.sessionSetup = std::chrono::milliseconds(900);
  restart();
  RawClient silent(endpoint->port()), helloOnly(endpoint->port()), channelOnly(endpoint->port()),
      full(endpoint->port());
  ASSERT_TRUE(helloOnly.sendHello());
  ASSERT_TRUE(channelOnly.openChannel());
  ASSERT_TRUE(full.openChannel());
  ASSERT_TRUE(full.openSession());
  EXPECT_TRUE(silent.closedByServerWithin(3000));
  EXPECT_TRUE(helloOnly.closedByServerWithin(3000));
  EXPECT_TRUE(channelOnly.closedByServerWithin(3000));
  std::uint32_t requestId = 0;
  ASSERT_TRUE(full.sendAll(full.read(NodeId::stringId(1, "Demo.Int32"), 1, requestId)));
  EXPECT_EQ(full.receive(), "MSG") << "the session's connection is kept";
}

// At the connection limit, idle connections without a session make room for a client that
// comes to work; when every connection has a session, a new one is turned away.
TEST_F(Endpoint, AtTheLimitIdleConnectionsMakeRoomForSessions) {
  options.maxConnections = 3;
  restart();
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<RawClient>(endpoint->port()));
    ASSERT_TRUE(idle.back()->sendHello());
  }
  std::vector<std::unique_ptr<RawClient>> working;
  for (int i = 0; i < 3; ++i) {
    working.push_back(std::make_unique<RawClient>(endpoint->port()));
    ASSERT_TRUE(working.back()->openChannel()) << "client " << i;
    ASSERT_TRUE(working.back()->openSession()) << "client " << i;
  }
  for (auto& c : idle) EXPECT_TRUE(c->closedByServerWithin(1000));
  RawClient late(endpoint->port());
  EXPECT_FALSE(late.openChannel()) << "no room: every connection has a session";
  std::uint32_t requestId = 0;
  ASSERT_TRUE(working[0]->sendAll(working[0]->read(NodeId::stringId(1, "Demo.Int32"), 1, requestId)));
  EXPECT_EQ(working[0]->receive(), "MSG");
}

// A client that sends requests and does not read the answers: past the bound of queued
// answers its requests wait unread (its sends block), and everything flows again, in
// order and whole, once it reads.
TEST_F(Endpoint, AClientThatDoesNotReadIsThrottledAndResumed) {
  options.maxQueuedBytes = 512 * 1024;
  restart();
  RawClient client(endpoint->port());
  ASSERT_TRUE(client.openChannel());
  ASSERT_TRUE(client.openSession());
  constexpr std::uint32_t kReads = 600;  // 22 kB answers: 13 MB in all
  std::atomic<bool> allSent{false};
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < kReads; ++i) {
      std::uint32_t requestId = 0;
      if (!client.sendAll(client.read(NodeId::stringId(1, "Demo.Int32"), 1000, requestId))) return;
    }
    allSent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_FALSE(allSent.load()) << "the server stopped reading requests";
  std::set<std::uint32_t> answered;
  for (std::uint32_t i = 0; i < kReads; ++i) {
    ASSERT_EQ(client.receive(), "MSG") << "answer " << i;
    answered.insert(getUInt32(client.last(), 20));
  }
  sender.join();
  EXPECT_TRUE(allSent.load());
  EXPECT_EQ(answered.size(), kReads) << "each request answered once";
}

}  // namespace
