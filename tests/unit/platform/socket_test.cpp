#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vexahv::platform {
namespace {

using namespace std::chrono_literals;

Socket boundSocket(Socket::Kind kind, Ipv4Endpoint& local) {
  Socket s;
  EXPECT_FALSE(Socket::open(kind, s));
  EXPECT_FALSE(s.bind({kLoopback, 0}));
  EXPECT_FALSE(s.localEndpoint(local));
  return s;
}

TEST(Ipv4Endpoint, ParsesOnlyDottedDecimal) {
  std::uint32_t a = 0;
  EXPECT_TRUE(Ipv4Endpoint::parseAddress("127.0.0.2", a));
  EXPECT_EQ(a, 0x7f000002u);
  for (const char* bad : {"", "127.0.0", "127.0.0.256", "1.2.3.4.5", "a.b.c.d", "1..2.3",
                          "1.2.3.4 ", "0001.2.3.4"})
    EXPECT_FALSE(Ipv4Endpoint::parseAddress(bad, a)) << bad;
  EXPECT_EQ((Ipv4Endpoint{0x7f000001u, 4527}).toString(), "127.0.0.1:4527");
}

TEST(Socket, UdpDatagramsArriveWithTheirSender) {
  Ipv4Endpoint rxEp, txEp;
  Socket rx = boundSocket(Socket::Kind::Udp, rxEp);
  Socket tx = boundSocket(Socket::Kind::Udp, txEp);
  ASSERT_FALSE(tx.sendTo("hello", 5, rxEp));
  char buf[16];
  std::size_t n = 0;
  Ipv4Endpoint from;
  ASSERT_FALSE(rx.setReceiveTimeout(2s));
  ASSERT_FALSE(rx.receiveFrom(buf, sizeof buf, n, &from));
  EXPECT_EQ(std::string(buf, n), "hello");
  EXPECT_EQ(from, txEp);
}

TEST(Socket, TcpStreamsWholeBuffersBothWays) {
  Ipv4Endpoint ep;
  Socket listener = boundSocket(Socket::Kind::Tcp, ep);
  ASSERT_FALSE(listener.listen());
  std::string payload(1 << 20, 'p');
  std::thread server([&] {
    Socket peer;
    ASSERT_FALSE(listener.accept(peer));
    std::string got(payload.size(), '\0');
    ASSERT_FALSE(peer.receiveAll(got.data(), got.size()));
    EXPECT_EQ(got, payload);
    ASSERT_FALSE(peer.sendAll("ok", 2));
  });
  Socket client;
  ASSERT_FALSE(Socket::open(Socket::Kind::Tcp, client));
  ASSERT_FALSE(client.connect(ep, 2s));
  ASSERT_FALSE(client.sendAll(payload.data(), payload.size()));
  char reply[2];
  ASSERT_FALSE(client.receiveAll(reply, 2));
  server.join();
  // The peer has gone: an exact read of more reports the early close.
  EXPECT_EQ(client.receiveAll(reply, 2), std::make_error_code(std::errc::connection_reset));
}

TEST(Socket, ConnectToAClosedPortFailsAndTimeoutsBound) {
  Ipv4Endpoint ep;
  {
    Socket probe = boundSocket(Socket::Kind::Tcp, ep);
  }  // port now closed
  Socket client;
  ASSERT_FALSE(Socket::open(Socket::Kind::Tcp, client));
  EXPECT_TRUE(client.connect(ep, 1s));

  Ipv4Endpoint uep;
  Socket udp = boundSocket(Socket::Kind::Udp, uep);
  ASSERT_FALSE(udp.setReceiveTimeout(50ms));
  char b;
  std::size_t n;
  auto ec = udp.receiveFrom(&b, 1, n, nullptr);
  EXPECT_TRUE(ec == std::errc::resource_unavailable_try_again ||
              ec == std::errc::operation_would_block) << ec.message();
}

TEST(Socket, ShutdownReleasesBlockedAcceptAndReceive) {
  Ipv4Endpoint tcpEp, udpEp;
  Socket listener = boundSocket(Socket::Kind::Tcp, tcpEp);
  ASSERT_FALSE(listener.listen());
  Socket udp = boundSocket(Socket::Kind::Udp, udpEp);
  std::thread acceptor([&] {
    Socket peer;
    EXPECT_TRUE(listener.accept(peer));
  });
  std::thread receiver([&] {
    char b[8];
    std::size_t n = 99;
    udp.receiveFrom(b, sizeof b, n, nullptr);
    EXPECT_EQ(n, 0u);
  });
  std::this_thread::sleep_for(100ms);
  listener.shutdown();
  udp.shutdown();
  acceptor.join();
  receiver.join();
}

}  // namespace
}  // namespace vexahv::platform
