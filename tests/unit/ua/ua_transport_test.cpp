// The connection protocol and chunk framing: Hello and Acknowledge bytes, negotiation,
// header checks, reassembly of chunked messages under the limits, and chunking of answers.

#include <gtest/gtest.h>

#include "opctoolbox/ua/channel/ua_chunk_writer.h"
#include "opctoolbox/ua/channel/ua_transport.h"

namespace {

using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;

Bytes hello(std::uint32_t receive, std::uint32_t send, const std::string& url) {
  Bytes b = {'H', 'E', 'L', 'F', 0, 0, 0, 0};
  Encoder e(b);
  e.uint32(0);
  e.uint32(receive);
  e.uint32(send);
  e.uint32(0);
  e.uint32(0);
  e.string(std::string_view(url));
  const auto n = static_cast<std::uint32_t>(b.size());
  for (int i = 0; i < 4; ++i) b[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(n >> (8 * i));
  return b;
}

TEST(UaTransport, HelloAcknowledgeAndNegotiation) {
  const Bytes h = hello(65536, 16384, "opc.tcp://127.0.0.1:4840");
  MessageHeader header;
  ASSERT_EQ(parseHeader(h, 1u << 20, header), kGood);
  EXPECT_EQ(header.type, MessageType::Hello);
  EXPECT_EQ(header.size, h.size());
  Hello got;
  ASSERT_EQ(decodeHello(std::span(h).subspan(kHeaderSize), got), kGood);
  EXPECT_EQ(got.endpointUrl, "opc.tcp://127.0.0.1:4840");
  TransportLimits ours, agreed;
  ours.receiveBufferSize = ours.sendBufferSize = 32768;
  ASSERT_EQ(negotiate(ours, got, agreed), kGood);
  EXPECT_EQ(agreed.receiveBufferSize, 16384u) << "never more than the client sends";
  EXPECT_EQ(agreed.sendBufferSize, 32768u);
  EXPECT_EQ(agreed.maxMessageSize, ours.maxMessageSize) << "0 from the client: ours holds";
  const Bytes ack = encodeAcknowledge(agreed);
  EXPECT_EQ(ack, (Bytes{'A', 'C', 'K', 'F', 28, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x40, 0, 0, 0x00, 0x80, 0, 0,
                        0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00}));
  Hello tiny;
  const Bytes small = hello(1024, 1024, "x");
  const Bytes longUrl = hello(65536, 65536, std::string(5000, 'u'));
  ASSERT_EQ(decodeHello(std::span(small).subspan(kHeaderSize), tiny), kGood);
  EXPECT_EQ(negotiate(ours, tiny, agreed), kBadTcpInternalError) << "buffers under 8192 bytes";
  EXPECT_EQ(decodeHello(std::span(longUrl).subspan(kHeaderSize), tiny),
            kBadTcpEndpointUrlInvalid);
  const Bytes err = encodeError(kBadTcpMessageTooLarge, "too big");
  EXPECT_EQ(Bytes(err.begin(), err.begin() + 12), (Bytes{'E', 'R', 'R', 'F', 23, 0, 0, 0, 0, 0, 0x80, 0x80}));
}

TEST(UaTransport, HeaderChecks) {
  MessageHeader h;
  EXPECT_EQ(parseHeader(Bytes{'X', 'Y', 'Z', 'F', 8, 0, 0, 0}, 100, h), kBadTcpMessageTypeInvalid);
  EXPECT_EQ(parseHeader(Bytes{'O', 'P', 'N', 'C', 8, 0, 0, 0}, 100, h), kBadTcpMessageTypeInvalid)
      << "only MSG is chunked";
  EXPECT_EQ(parseHeader(Bytes{'M', 'S', 'G', 'A', 8, 0, 0, 0}, 100, h), kGood);
  EXPECT_EQ(parseHeader(Bytes{'M', 'S', 'G', 'F', 101, 0, 0, 0}, 100, h), kBadTcpMessageTooLarge);
  EXPECT_EQ(parseHeader(Bytes{'M', 'S', 'G', 'F', 7, 0, 0, 0}, 100, h), kBadDecodingError);
}

TEST(UaTransport, ChunkingRoundTripAndLimits) {
  Bytes body(20000);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
  std::uint32_t sequence = 41;
  TransportLimits limits;
  limits.sendBufferSize = 8192;
  Bytes wire;
  ASSERT_EQ(writeChunks({MessageType::Message, 5, 1, &sequence, 77, limits}, body, wire), kGood);
  EXPECT_EQ(sequence, 44u) << "three chunks";

  TransportLimits receive;
  ChunkAssembler assembler(receive);
  std::span<const std::uint8_t> rest(wire);
  ChunkAssembler::Result result = ChunkAssembler::Result::More;
  int chunks = 0;
  while (!rest.empty()) {
    MessageHeader h;
    ASSERT_EQ(parseHeader(rest, 8192, h), kGood);
    Chunk c;
    ASSERT_EQ(parseChunk(rest.first(h.size), h, c), kGood);
    EXPECT_EQ(c.secureChannelId, 5u);
    EXPECT_EQ(c.sequence.requestId, 77u);
    ASSERT_EQ(assembler.add(c, result), kGood);
    rest = rest.subspan(h.size);
    ++chunks;
  }
  EXPECT_EQ(chunks, 3);
  EXPECT_EQ(result, ChunkAssembler::Result::Complete);
  EXPECT_EQ(assembler.message(), body);
  // The next message starts afresh.
  Bytes second;
  const Bytes tinyBody(10, 0xAB);
  ASSERT_EQ(writeChunks({MessageType::Message, 5, 1, &sequence, 79, limits}, tinyBody, second), kGood);
  MessageHeader h2;
  ASSERT_EQ(parseHeader(second, 8192, h2), kGood);
  Chunk c2;
  ASSERT_EQ(parseChunk(second, h2, c2), kGood);
  ASSERT_EQ(assembler.add(c2, result), kGood);
  EXPECT_EQ(assembler.message(), tinyBody);
  EXPECT_EQ(assembler.requestId(), 79u);

  // The same chunks with a gap in the sequence, or past the chunk limit, are refused.
  auto replay = [&](TransportLimits l, bool skipSecond) {
    ChunkAssembler a(l);
    std::span<const std::uint8_t> r(wire);
    StatusCode last = kGood;
    for (int i = 0; !r.empty() && last == kGood; ++i) {
      MessageHeader h;
      parseHeader(r, 8192, h);
      Chunk c;
      parseChunk(r.first(h.size), h, c);
      if (!(skipSecond && i == 1)) last = a.add(c, result);
      r = r.subspan(h.size);
    }
    return last;
  };
  EXPECT_EQ(replay(receive, true), kBadSequenceNumberInvalid);
  TransportLimits two = receive;
  two.maxChunkCount = 2;
  EXPECT_EQ(replay(two, false), kBadRequestTooLarge);
  TransportLimits small = receive;
  small.maxMessageSize = 10000;
  EXPECT_EQ(replay(small, false), kBadRequestTooLarge);

  // An answer too large for the client's limits is refused before anything is sent.
  Bytes none;
  limits.maxChunkCount = 2;
  EXPECT_EQ(writeChunks({MessageType::Message, 5, 1, &sequence, 78, limits}, body, none), kBadResponseTooLarge);
  EXPECT_TRUE(none.empty());
}

}  // namespace
