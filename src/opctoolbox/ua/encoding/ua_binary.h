#pragma once
// The OPC UA binary encoding (OPC UA Part 6, 5.2): little-endian numbers, length-prefixed
// strings and arrays, the NodeId forms, masks for DataValue and LocalizedText. The decoder
// enforces limits on every length before it allocates, and a damaged input sets a
// sticky BadDecodingError that the caller checks once.

#include <cstddef>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"

namespace OpcToolbox::ua {

// Now as an OPC UA DateTime: 100 ns ticks since 1601-01-01 UTC.
std::int64_t nowTicks();

struct DecodeLimits {
  std::size_t maxStringLength = 1u << 20;
  std::size_t maxByteStringLength = 1u << 22;
  std::size_t maxArrayLength = 100000;
};

class Encoder {
 public:
  explicit Encoder(std::vector<std::uint8_t>& out) : out_(out) {}

  void boolean(bool v) { byte(v ? 1 : 0); }
  void sbyte(std::int8_t v) { byte(static_cast<std::uint8_t>(v)); }
  void byte(std::uint8_t v) { out_.push_back(v); }
  void int16(std::int16_t v) { uint16(static_cast<std::uint16_t>(v)); }
  void uint16(std::uint16_t v) { appendLittleEndian(v); }
  void int32(std::int32_t v) { uint32(static_cast<std::uint32_t>(v)); }
  void uint32(std::uint32_t v) { appendLittleEndian(v); }
  void int64(std::int64_t v) { uint64(static_cast<std::uint64_t>(v)); }
  void uint64(std::uint64_t v) { appendLittleEndian(v); }
  void float32(float v) { uint32(std::bit_cast<std::uint32_t>(v)); }
  void float64(double v) { uint64(std::bit_cast<std::uint64_t>(v)); }
  void string(const UaString& s);
  void string(std::string_view s);
  void string(const std::string& s) { string(std::string_view(s)); }
  void string(const char* s) { string(std::string_view(s)); }
  void dateTime(std::int64_t ticks) { int64(ticks); }
  void guid(const Guid& g);
  void byteString(const UaString& s) { string(s); }
  void nodeId(const NodeId& id);
  void expandedNodeId(const ExpandedNodeId& id);
  void statusCode(StatusCode c) { uint32(c); }
  void qualifiedName(const QualifiedName& q);
  void localizedText(const LocalizedText& t);
  void extensionObject(const ExtensionObject& e);
  void variant(const Variant& v);
  void dataValue(const DataValue& v);
  // An array length: -1 for a null array.
  void arrayLength(std::int32_t n) { int32(n); }
  void raw(const void* data, std::size_t size);

  std::size_t size() const noexcept { return out_.size(); }
  // Overwrites four bytes written before (a length known only afterwards).
  void patchUInt32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
  }
  // Puts bytes in before what was written from at on.
  void insertAt(std::size_t at, const std::uint8_t* bytes, std::size_t n) {
    out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(at), bytes, bytes + n);
  }

 private:
  // Little-endian bytes appended in one step (one capacity check, not one per byte).
  template <class T>
  void appendLittleEndian(T v) {
    static_assert(std::endian::native == std::endian::little, "the wire is little-endian, as this host");
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));
    out_.insert(out_.end(), bytes, bytes + sizeof(T));  // no zero fill, as resize would
  }
  void nodeIdWithFlags(const NodeId& id, std::uint8_t flags);
  void scalar(BuiltinType type, const Scalar& s);
  std::vector<std::uint8_t>& out_;
};

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> data, DecodeLimits limits = {})
      : data_(data), limits_(limits) {}

  bool boolean() { return byte() != 0; }
  std::int8_t sbyte() { return static_cast<std::int8_t>(byte()); }
  std::uint8_t byte() {
    if (!take(1)) return 0;
    return data_[pos_++];
  }
  std::int16_t int16() { return static_cast<std::int16_t>(uint16()); }
  std::uint16_t uint16() { return littleEndian<std::uint16_t>(); }
  std::int32_t int32() { return static_cast<std::int32_t>(uint32()); }
  std::uint32_t uint32() { return littleEndian<std::uint32_t>(); }
  std::int64_t int64() { return static_cast<std::int64_t>(uint64()); }
  std::uint64_t uint64() { return littleEndian<std::uint64_t>(); }
  float float32() { return std::bit_cast<float>(uint32()); }
  double float64() { return std::bit_cast<double>(uint64()); }
  UaString string();
  // The same, left in the decoded bytes.
  std::optional<std::string_view> stringView();
  std::int64_t dateTime() { return int64(); }
  Guid guid();
  UaString byteString();
  NodeId nodeId();
  // The same, its text left in the decoded bytes.
  NodeIdRef nodeIdRef();
  ExpandedNodeId expandedNodeId();
  StatusCode statusCode() { return uint32(); }
  QualifiedName qualifiedName();
  LocalizedText localizedText();
  ExtensionObject extensionObject();
  Variant variant();
  DataValue dataValue();
  // An array length within the limit; -1 (null) is given as 0 with isNull set.
  std::size_t arrayLength(bool* isNull = nullptr);
  bool skip(std::size_t n);

  bool ok() const noexcept { return status_ == kGood; }
  StatusCode status() const noexcept { return status_; }
  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  void fail(StatusCode code = kBadDecodingError) noexcept {
    if (status_ == kGood) status_ = code;
  }

 private:
  template <class T>
  T littleEndian() {
    if (!take(sizeof(T))) return 0;
    T v;
    std::memcpy(&v, data_.data() + pos_, sizeof(T));  // the host is little-endian, as the wire
    pos_ += sizeof(T);
    return v;
  }
  bool take(std::size_t n) {
    if (!ok() || data_.size() - pos_ < n) {
      fail();
      return false;
    }
    return true;
  }
  // false for a null or damaged one (damage also fails the decoder).
  bool lengthPrefixed(std::size_t max, std::string_view& out);
  UaString lengthPrefixed(std::size_t max);
  NodeIdRef nodeIdBody(std::uint8_t encoding);
  Scalar scalar(BuiltinType type);

  std::span<const std::uint8_t> data_;
  DecodeLimits limits_;
  std::size_t pos_ = 0;
  StatusCode status_ = kGood;
};

}  // namespace OpcToolbox::ua
