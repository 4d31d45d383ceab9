// Event datagrams and batches: what the encoder writes, the decoder reads back, and every
// kind of damage is refused rather than half-read.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hwlib/event_wire.h"
#include "hwlib/wire_codec.h"

namespace {

using namespace vexahv::hwlib;

VEXAHVUdpEventRecord udp(const char* id) {
  VEXAHVUdpEventRecord r{};
  r.type = VEXAHV_EVENT_PARAMETER;
  std::strcpy(r.id, id);
  r.value[0] = 7;
  return r;
}

// Peers check frames with the standard CRC-32 (the check value of "123456789").
TEST(EventWire, FramesCarryTheStandardCrc32) {
  const std::string text = "123456789";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  EXPECT_EQ(vexahv::hwlib::crc32(bytes), 0xCBF43926u);
  EXPECT_EQ(vexahv::hwlib::crc32(bytes.subspan(4), vexahv::hwlib::crc32(bytes.first(4))), 0xCBF43926u) << "in pieces";
}

TEST(EventWire, UdpDatagramRoundTripAndDamage) {
  const std::vector<VEXAHVUdpEventRecord> in = {udp("S.Board01.Chan002.VMon"), udp("S.KeepAlive")};
  auto bytes = encodeUdpDatagram(in);
  std::vector<VEXAHVUdpEventRecord> out;
  ASSERT_EQ(decodeUdpDatagram(bytes, out), VEXAHV_OK);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_STREQ(out[1].id, "S.KeepAlive");
  EXPECT_EQ(out[0].value[0], 7);

  auto flipped = bytes;
  flipped[100] ^= 1;
  EXPECT_EQ(decodeUdpDatagram(flipped, out), VEXAHV_ERR_PROTOCOL);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(decodeUdpDatagram({bytes.data(), bytes.size() - 1}, out), VEXAHV_ERR_PROTOCOL);
  EXPECT_EQ(decodeUdpDatagram({}, out), VEXAHV_ERR_PROTOCOL);

  // A record whose identifier fills its field without a NUL is refused, CRC or not.
  auto unterminated = in;
  std::memset(unterminated[0].id, 'x', sizeof unterminated[0].id);
  EXPECT_EQ(decodeUdpDatagram(encodeUdpDatagram(unterminated), out), VEXAHV_ERR_PROTOCOL);
  EXPECT_EQ(decodeUdpDatagram(encodeUdpDatagram({}), out), VEXAHV_ERR_PROTOCOL) << "no records";
}

TEST(EventWire, TcpBatchRoundTripAndDamage) {
  VEXAHVSystemStatus status{};
  std::strcpy(status.name, "CrateB");
  status.batchNumber = 9;
  std::vector<VEXAHVTcpEventRecord> in(3);
  for (int i = 0; i < 3; ++i) {
    in[i].type = VEXAHV_EVENT_PARAMETER;
    in[i].slot = i - 1;
    in[i].channel = -1;
    std::strcpy(in[i].name, "VMon");
  }
  const auto bytes = encodeTcpBatch(status, in);
  const std::span<const std::uint8_t> header(bytes.data(), kTcpHeaderSize);
  std::size_t rest = 0;
  ASSERT_EQ(decodeTcpBatchHeader(header, rest), VEXAHV_OK);
  ASSERT_EQ(rest, bytes.size() - kTcpHeaderSize);
  VEXAHVSystemStatus got{};
  std::vector<VEXAHVTcpEventRecord> out;
  ASSERT_EQ(decodeTcpBatchRest(header, {bytes.data() + kTcpHeaderSize, rest}, got, out), VEXAHV_OK);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].slot, -1);
  EXPECT_EQ(got.batchNumber, 9u);
  EXPECT_STREQ(got.name, "CrateB");

  auto damaged = bytes;
  damaged[kTcpHeaderSize + 80] ^= 0x40;
  EXPECT_EQ(decodeTcpBatchRest(header, {damaged.data() + kTcpHeaderSize, rest}, got, out),
            VEXAHV_ERR_PROTOCOL);
  EXPECT_TRUE(out.empty());
  std::vector<std::uint8_t> huge(bytes.begin(), bytes.begin() + kTcpHeaderSize);
  huge[4] = 0xFF;
  huge[5] = 0xFF;
  EXPECT_EQ(decodeTcpBatchHeader(huge, rest), VEXAHV_ERR_PROTOCOL) << "65535 records is over the limit";
}

}  // namespace
