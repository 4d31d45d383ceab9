// OPC UA binary encoding: golden bytes from the encoding rules (OPC UA Part 6, 5.2),
// round trips, and the decoder's refusals.

#include <gtest/gtest.h>

#include <cstring>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace {

using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;

template <class F>
Bytes encode(F f) {
  Bytes out;
  Encoder e(out);
  f(e);
  return out;
}

TEST(UaBinary, GoldenBytes) {
  EXPECT_EQ(encode([](Encoder& e) { e.nodeId(NodeId::numericId(0, 72)); }), (Bytes{0x00, 0x48}));
  EXPECT_EQ(encode([](Encoder& e) { e.nodeId(NodeId::numericId(5, 1025)); }), (Bytes{0x01, 0x05, 0x01, 0x04}));
  EXPECT_EQ(encode([](Encoder& e) { e.nodeId(NodeId::numericId(2, 70000)); }),
            (Bytes{0x02, 0x02, 0x00, 0x70, 0x11, 0x01, 0x00}));
  EXPECT_EQ(encode([](Encoder& e) { e.nodeId(NodeId::stringId(1, "Hot\xE6\xB0\xB4")); }),
            (Bytes{0x03, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x48, 0x6F, 0x74, 0xE6, 0xB0, 0xB4}));
  NodeId g;
  g.kind = NodeId::Kind::Guid;
  g.guid = Guid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
  EXPECT_EQ(encode([&](Encoder& e) { e.guid(g.guid); }),
            (Bytes{0x91, 0x2B, 0x96, 0x72, 0x75, 0xFA, 0xE6, 0x4A, 0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}));
  EXPECT_EQ(encode([](Encoder& e) { e.string(std::string_view("\xE6\xB0\xB4" "Boy")); }),
            (Bytes{0x06, 0x00, 0x00, 0x00, 0xE6, 0xB0, 0xB4, 0x42, 0x6F, 0x79}));
  EXPECT_EQ(encode([](Encoder& e) { e.string(UaString{}); }), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode([](Encoder& e) { e.localizedText({std::nullopt, "Ok"}); }),
            (Bytes{0x02, 0x02, 0x00, 0x00, 0x00, 0x4F, 0x6B}));
  EXPECT_EQ(encode([](Encoder& e) { e.variant(Variant::scalar(BuiltinType::Int32, std::int32_t{1})); }),
            (Bytes{0x06, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(encode([](Encoder& e) {
              e.variant(Variant{BuiltinType::UInt16, true, {std::uint16_t{1}, std::uint16_t{2}}});
            }),
            (Bytes{0x85, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00}));
  EXPECT_EQ(encode([](Encoder& e) {
              e.dataValue(DataValue{Variant::scalar(BuiltinType::Float, 1.5f), std::nullopt, 1, std::nullopt});
            }),
            (Bytes{0x05, 0x0A, 0x00, 0x00, 0xC0, 0x3F, 0x01, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode([](Encoder& e) { e.dataValue(DataValue{std::nullopt, 0x80080000u, std::nullopt, std::nullopt}); }),
            (Bytes{0x02, 0x00, 0x00, 0x08, 0x80}));
  EXPECT_EQ(encode([](Encoder& e) { e.expandedNodeId(ExpandedNodeId{NodeId::numericId(0, 2253), "urn:x", 1}); }),
            (Bytes{0xC1, 0x00, 0xCD, 0x08, 0x05, 0, 0, 0, 'u', 'r', 'n', ':', 'x', 0x01, 0, 0, 0}));
}

TEST(UaBinary, RoundTripsEveryType) {
  const std::vector<Variant> values = {
      Variant::scalar(BuiltinType::Boolean, true), Variant::scalar(BuiltinType::SByte, std::int8_t{-5}),
      Variant::scalar(BuiltinType::Byte, std::uint8_t{200}), Variant::scalar(BuiltinType::Int16, std::int16_t{-300}),
      Variant::scalar(BuiltinType::UInt64, std::uint64_t{1} << 60), Variant::scalar(BuiltinType::Double, 2.25),
      Variant::scalar(BuiltinType::String, UaString{"Beam"}), Variant::scalar(BuiltinType::String, UaString{}),
      Variant::scalar(BuiltinType::DateTime, DateTimeValue{132000000000000000LL}),
      Variant::scalar(BuiltinType::ByteString, ByteStringValue{std::string("\x00\x01", 2)}),
      Variant::scalar(BuiltinType::NodeId, NodeId::stringId(1, "S.Board01.Chan002.VMon")),
      Variant::scalar(BuiltinType::StatusCode, StatusCodeValue{0x80340000u}),
      Variant::scalar(BuiltinType::QualifiedName, QualifiedName{1, "VMon"}),
      Variant::scalar(BuiltinType::LocalizedText, LocalizedText{"en", "Volt"}),
      Variant::scalar(BuiltinType::ExtensionObject, ExtensionObject{NodeId::numericId(0, 864), 1, "body"}),
      Variant{BuiltinType::String, true, {UaString{"http://opcfoundation.org/UA/"}, UaString{"urn:vexahv"}}},
      Variant{}};
  for (const Variant& v : values) {
    const Bytes bytes = encode([&](Encoder& e) { e.variant(v); });
    Decoder d(bytes);
    EXPECT_EQ(d.variant(), v);
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(d.remaining(), 0u);
  }
}

TEST(UaBinary, DecoderRefusesDamage) {
  auto fails = [](const Bytes& b, auto read, StatusCode expected = kBadDecodingError) {
    Decoder d(b, DecodeLimits{16, 16, 4});
    read(d);
    return d.status() == expected;
  };
  EXPECT_TRUE(fails({0x06, 0x01, 0x00}, [](Decoder& d) { d.variant(); })) << "truncated";
  EXPECT_TRUE(fails({0x11, 0x00, 0x00, 0x00, 'a'}, [](Decoder& d) { d.string(); }, kBadEncodingLimitsExceeded));
  EXPECT_TRUE(fails({0x05, 0x00, 0x00, 0x00, 'a'}, [](Decoder& d) { d.string(); })) << "longer than the input";
  EXPECT_TRUE(fails({0xFE, 0xFF, 0xFF, 0xFF}, [](Decoder& d) { d.string(); })) << "-2 is no length";
  EXPECT_TRUE(fails({0x86, 0x05, 0, 0, 0}, [](Decoder& d) { d.variant(); }, kBadEncodingLimitsExceeded));
  EXPECT_TRUE(fails({0x86, 0x00, 0x00, 0x01, 0x00}, [](Decoder& d) { d.variant(); }, kBadEncodingLimitsExceeded))
      << "a huge array length is refused before anything is allocated";
  EXPECT_TRUE(fails({0x06, 0x00}, [](Decoder& d) { d.nodeId(); })) << "no such NodeId encoding";
  EXPECT_TRUE(fails({0x40, 0x00}, [](Decoder& d) { d.nodeId(); })) << "expanded flags on a NodeId";
  EXPECT_TRUE(fails({0x1E}, [](Decoder& d) { d.variant(); })) << "built-in type 30";
  EXPECT_TRUE(fails({0x18, 0x00}, [](Decoder& d) { d.variant(); })) << "a Variant inside a Variant";
  EXPECT_TRUE(fails({0xC6, 0x02, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x01, 0, 0, 0, 0x03, 0, 0, 0},
                    [](Decoder& d) { d.variant(); }))
      << "dimensions that do not match the element count";
  {
    // A 2 x 2 Int32 matrix: its four elements in order, the dimensions checked and dropped.
    const Bytes matrix{0xC6, 4, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0,
                       2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0};
    Decoder d(matrix);
    const Variant v = d.variant();
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.remaining(), 0u);
    ASSERT_EQ(v.values.size(), 4u);
    EXPECT_EQ(std::get<std::int32_t>(*(v.values.begin() + 3)), 4);
  }
  EXPECT_TRUE(fails({0x04}, [](Decoder& d) { d.localizedText(); }));
  EXPECT_TRUE(fails({0x40}, [](Decoder& d) { d.dataValue(); }));
}

}  // namespace
