// Both event channels end to end: subscriptions, the records they bring, keep-alives,
// board notices, damaged data, and release of a blocked reader.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
#include "hwlib/wire_codec.h"
#include "platform/socket.h"
#include "support/simulated_crates.h"

namespace {

using vexahv::platform::Ipv4Endpoint;
using vexahv::platform::kLoopback;
using vexahv::platform::Socket;
using vexahv::test::SimulatedCrates;

struct UdpReceiver {
  Socket socket;
  std::uint16_t port = 0;
  UdpReceiver() {
    EXPECT_FALSE(Socket::open(Socket::Kind::Udp, socket));
    EXPECT_FALSE(socket.bind({kLoopback, 0}));
    Ipv4Endpoint local;
    EXPECT_FALSE(socket.localEndpoint(local));
    port = local.port;
    (void)socket.setReceiveTimeout(std::chrono::milliseconds(2000));
  }
  // Every record of one datagram; the library's result in rc.
  std::vector<VEXAHVUdpEventRecord> next(int& rc) {
    VEXAHVUdpEventRecord* list = nullptr;
    unsigned count = 0;
    rc = VEXAHVGetEventData(socket.fd(), &list, &count);
    std::vector<VEXAHVUdpEventRecord> out;
    if (rc == VEXAHV_OK) out.assign(list, list + count);
    VEXAHVFreeEventData(&list);
    return out;
  }
};

TEST(LibraryEvents, UdpParameterKeepAliveAndBoardNotices) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateA();
  UdpReceiver rx;
  char codes[4] = {9, 9, 9, 9};
  ASSERT_EQ(VEXAHV_Subscribe(h, rx.port, 2, "CrateA.KeepAlive:CrateA.LiveInsRem", codes), VEXAHV_OK);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[1], 0);
  ASSERT_EQ(VEXAHV_Subscribe(h, rx.port, 3,
                             "CrateA.Board00.Chan001.V0Set:CrateA.Board02.Chan000.VMon:CrateA.SwRelease",
                             codes),
            VEXAHV_OK);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[1], 1) << "slot 2 is empty";
  EXPECT_EQ(codes[2], 0);
  EXPECT_EQ(VEXAHV_Subscribe(h, rx.port, 3, "A.KeepAlive", codes), VEXAHV_ERR_INVALID_ARGUMENT)
      << "the count must match the list";

  // The first tick sends the current values and the keep-alive.
  crates.step(1, true);
  int rc = -1;
  auto records = rx.next(rc);
  ASSERT_EQ(rc, VEXAHV_OK);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_STREQ(records[0].id, "CrateA.Board00.Chan001.V0Set");
  EXPECT_EQ(records[0].type, VEXAHV_EVENT_PARAMETER);
  EXPECT_STREQ(records[1].id, "CrateA.SwRelease");
  EXPECT_STREQ(records[1].text, "3.10.2");
  EXPECT_EQ(records[2].type, VEXAHV_EVENT_KEEPALIVE);
  EXPECT_STREQ(records[2].id, "CrateA.KeepAlive");

  // Only changes follow.
  const float v = 42.5f;
  const std::uint16_t ch = 1;
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &v), VEXAHV_OK);
  crates.step(1);
  records = rx.next(rc);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::bit_cast<float>(vexahv::hwlib::loadLe32(records[0].value)), 42.5f);

  EXPECT_EQ(crates.control("remove CrateA 3"), "OK remove");
  crates.step(1);
  records = rx.next(rc);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, VEXAHV_EVENT_SIGNAL);
  EXPECT_STREQ(records[0].id, "CrateA.LiveInsRem");
  EXPECT_EQ(vexahv::hwlib::loadLe32(records[0].value), 3u);

  // A damaged datagram gives a failure and no list; the next one is fine.
  crates.control("damage-udp CrateA 1");
  crates.step(1, true);
  crates.step(1, true);
  records = rx.next(rc);
  EXPECT_EQ(rc, VEXAHV_ERR_PROTOCOL);
  EXPECT_TRUE(records.empty());
  records = rx.next(rc);
  EXPECT_EQ(rc, VEXAHV_OK);

  // Unsubscribed items fall silent.
  ASSERT_EQ(VEXAHV_UnSubscribe(h, rx.port, 1, "CrateA.Board00.Chan001.V0Set", codes), VEXAHV_OK);
  EXPECT_EQ(codes[0], 0);
  ASSERT_EQ(VEXAHV_SetChParam(h, 0, "V0Set", 1, &ch, &v), VEXAHV_OK);
  VEXAHV_DeinitSystem(h);
}

TEST(LibraryEvents, BlockedUdpReaderIsReleasedByShutdown) {
  UdpReceiver rx;
  (void)rx.socket.setReceiveTimeout(std::chrono::milliseconds(0));
  int rc = VEXAHV_OK;
  std::thread reader([&] { rx.next(rc); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rx.socket.shutdown();
  reader.join();
  EXPECT_EQ(rc, VEXAHV_ERR_SOCKET);
}

TEST(LibraryEvents, TcpChannelFromTheMainframesOwnAddress) {
  SimulatedCrates crates;
  const int h = SimulatedCrates::openCrateB();
  Socket listener;
  ASSERT_FALSE(Socket::open(Socket::Kind::Tcp, listener));
  ASSERT_FALSE(listener.bind({kLoopback, 0}));
  ASSERT_FALSE(listener.listen());
  Ipv4Endpoint local;
  ASSERT_FALSE(listener.localEndpoint(local));
  (void)listener.setReceiveTimeout(std::chrono::milliseconds(3000));

  char codes[1024];
  ASSERT_EQ(VEXAHV_SubscribeChannelParams(h, local.port, 1, 2, "VMon:Pw:Name:Bogus", 4, codes), VEXAHV_OK);
  EXPECT_EQ(std::vector<int>(codes, codes + 4), (std::vector<int>{0, 0, 0, 1}));
  ASSERT_EQ(VEXAHV_SubscribeBoardParams(h, local.port, 1, "Temp", 1, codes), VEXAHV_OK);
  ASSERT_EQ(VEXAHV_SubscribeSystemParams(h, local.port, "SwRelease:HvPwSM", 2, codes), VEXAHV_OK);
  int h0 = SimulatedCrates::openCrateA();
  EXPECT_EQ(VEXAHV_SubscribeSystemParams(h0, local.port, "SwRelease", 1, codes), VEXAHV_ERR_SYSTEM_TYPE)
      << "only type-2 mainframes push over TCP";
  VEXAHV_DeinitSystem(h0);

  std::thread ticker([&] { crates.step(1, true); });
  Socket conn;
  Ipv4Endpoint peer;
  ASSERT_FALSE(listener.accept(conn, &peer));
  ticker.join();
  EXPECT_EQ(peer.addressText(), "127.0.0.3");

  VEXAHVSystemStatus status{};
  VEXAHVTcpEventRecord* list = nullptr;
  unsigned count = 0;
  ASSERT_EQ(VEXAHV_GetEventData(conn.fd(), &status, &list, &count), VEXAHV_OK);
  EXPECT_STREQ(status.name, "CrateB");
  EXPECT_EQ(status.batchNumber, 1u);
  ASSERT_EQ(count, 7u);  // 5 accepted subscriptions and a keep-alive
  std::vector<std::string> names;
  for (unsigned i = 0; i < count; ++i) names.emplace_back(list[i].name);
  // In (slot, channel, name) order, system level first.
  EXPECT_EQ(names, (std::vector<std::string>{"HvPwSM", "SwRelease", "Temp", "Name", "Pw", "VMon",
                                             "KeepAlive"}));
  EXPECT_EQ(list[1].slot, -1);
  EXPECT_STREQ(list[1].data.text, "1.7.0");
  EXPECT_EQ(list[2].slot, 1);
  EXPECT_EQ(list[2].channel, -1);
  EXPECT_EQ(list[5].slot, 1);
  EXPECT_EQ(list[5].channel, 2);
  EXPECT_EQ(list[6].type, VEXAHV_EVENT_KEEPALIVE);
  VEXAHV_FreeEventData(&list);
  EXPECT_EQ(list, nullptr);

  // A damaged batch, then a broken connection: both non-zero.
  crates.control("damage-tcp CrateB");
  crates.step(1, true);
  EXPECT_EQ(VEXAHV_GetEventData(conn.fd(), &status, &list, &count), VEXAHV_ERR_PROTOCOL);
  crates.control("break-events CrateB");
  EXPECT_EQ(VEXAHV_GetEventData(conn.fd(), &status, &list, &count), VEXAHV_ERR_SOCKET);
  EXPECT_EQ(list, nullptr);
  VEXAHV_DeinitSystem(h);
}

}  // namespace
