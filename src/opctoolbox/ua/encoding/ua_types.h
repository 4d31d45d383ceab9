#pragma once
// OPC UA built-in types as the binary encoding carries them (OPC UA Part 6, 5.2).

#include <array>
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace OpcToolbox::ua {

using StatusCode = std::uint32_t;
inline constexpr StatusCode kGood = 0x00000000u;
inline constexpr StatusCode kBadDecodingError = 0x80070000u;
inline constexpr StatusCode kBadEncodingLimitsExceeded = 0x80080000u;

enum class BuiltinType : std::uint8_t {
  Null = 0, Boolean = 1, SByte = 2, Byte = 3, Int16 = 4, UInt16 = 5, Int32 = 6, UInt32 = 7,
  Int64 = 8, UInt64 = 9, Float = 10, Double = 11, String = 12, DateTime = 13, Guid = 14,
  ByteString = 15, XmlElement = 16, NodeId = 17, ExpandedNodeId = 18, StatusCode = 19,
  QualifiedName = 20, LocalizedText = 21, ExtensionObject = 22, DataValue = 23, Variant = 24,
  DiagnosticInfo = 25,
};

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0, data3 = 0;
  std::array<std::uint8_t, 8> data4{};
  bool operator==(const Guid&) const = default;
};

// A String or ByteString that may be null (length -1), which the encoding tells apart
// from an empty one.
using UaString = std::optional<std::string>;

struct NodeId {
  enum class Kind : std::uint8_t { Numeric, String, Guid, Opaque };
  std::uint16_t ns = 0;
  Kind kind = Kind::Numeric;
  std::uint32_t numeric = 0;
  std::string text;  // String and Opaque identifiers
  Guid guid;

  static NodeId numericId(std::uint16_t ns, std::uint32_t id) { return NodeId{ns, Kind::Numeric, id, {}, {}}; }
  static NodeId stringId(std::uint16_t ns, std::string s) { return NodeId{ns, Kind::String, 0, std::move(s), {}}; }
  bool isNull() const { return ns == 0 && kind == Kind::Numeric && numeric == 0; }
  bool operator==(const NodeId&) const = default;
};

// A NodeId whose text points into the bytes it was decoded from: valid while they are.
// Decoding one costs no allocation (a Read names thousands).
struct NodeIdRef {
  std::uint16_t ns = 0;
  NodeId::Kind kind = NodeId::Kind::Numeric;
  std::uint32_t numeric = 0;
  std::string_view text;
  Guid guid;
  NodeId toNodeId() const { return NodeId{ns, kind, numeric, std::string(text), guid}; }
};

struct ExpandedNodeId {
  NodeId nodeId;
  UaString namespaceUri;
  std::uint32_t serverIndex = 0;
  bool operator==(const ExpandedNodeId&) const = default;
};

struct QualifiedName {
  std::uint16_t ns = 0;
  UaString name;
  bool operator==(const QualifiedName&) const = default;
};

struct LocalizedText {
  UaString locale;
  UaString text;
  bool operator==(const LocalizedText&) const = default;
};

// A structure the codec does not look into: its type and its encoded body.
struct ExtensionObject {
  NodeId typeId;
  std::uint8_t encoding = 0;  // 0 no body, 1 binary, 2 XML
  std::string body;
  bool operator==(const ExtensionObject&) const = default;
};

// A signature and the URI of its algorithm (OPC UA Part 4, 7.37).
struct SignatureData {
  std::string algorithm;
  std::vector<std::uint8_t> signature;
};

struct DateTimeValue {
  std::int64_t ticks = 0;  // 100 ns since 1601-01-01 UTC
  bool operator==(const DateTimeValue&) const = default;
};

struct StatusCodeValue {
  StatusCode code = kGood;
  bool operator==(const StatusCodeValue&) const = default;
};

struct ByteStringValue {
  UaString bytes;
  bool operator==(const ByteStringValue&) const = default;
};

// A value held on the heap with value semantics (copies copy it, == compares it): the
// structured types larger than a string, so that a Scalar, and every DataValue queued
// for a monitored item, stays the size of the numbers and texts it nearly always holds.
template <class T>
class Boxed {
 public:
  Boxed() : p_(std::make_unique<T>()) {}
  Boxed(T v) : p_(std::make_unique<T>(std::move(v))) {}  // NOLINT: converts like the value
  Boxed(const Boxed& o) : p_(std::make_unique<T>(*o.p_)) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  const T& operator*() const noexcept { return *p_; }
  const T* operator->() const noexcept { return p_.get(); }
  bool operator==(const Boxed& o) const { return *p_ == *o.p_; }

 private:
  std::unique_ptr<T> p_;  // never null, moved-from aside
};

using Scalar = std::variant<std::monostate, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                            std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double, UaString,
                            DateTimeValue, Guid, ByteStringValue, Boxed<NodeId>, Boxed<ExpandedNodeId>,
                            StatusCodeValue, Boxed<QualifiedName>, Boxed<LocalizedText>, Boxed<ExtensionObject>>;

// The values of a Variant, contiguous; a single value is held inline, so that scalars
// (nearly every value a server sends) cost no allocation.
class ScalarList {
 public:
  ScalarList() = default;
  ScalarList(Scalar one) : one_(std::move(one)), hasOne_(true) {}  // NOLINT: {value} reads naturally
  ScalarList(std::initializer_list<Scalar> list) {
    reserve(list.size());
    for (const Scalar& s : list) push_back(s);
  }

  std::size_t size() const noexcept { return many_.empty() ? (hasOne_ ? 1 : 0) : many_.size(); }
  bool empty() const noexcept { return size() == 0; }
  const Scalar* begin() const noexcept { return many_.empty() ? &one_ : many_.data(); }
  const Scalar* end() const noexcept { return begin() + size(); }
  const Scalar& front() const noexcept { return *begin(); }
  void reserve(std::size_t n) {
    if (n > 1) many_.reserve(n);
  }
  void push_back(Scalar v) {
    if (many_.empty() && !hasOne_) {
      one_ = std::move(v);
      hasOne_ = true;
      return;
    }
    if (many_.empty()) {
      many_.reserve(2);
      many_.push_back(std::move(one_));
      one_ = Scalar{};
      hasOne_ = false;
    }
    many_.push_back(std::move(v));
  }
  template <class... Args>
  void emplace_back(Args&&... args) {
    push_back(Scalar(std::forward<Args>(args)...));
  }
  bool operator==(const ScalarList& o) const {
    return size() == o.size() && std::equal(begin(), end(), o.begin());
  }

 private:
  Scalar one_;
  bool hasOne_ = false;
  std::vector<Scalar> many_;  // two or more
};

// A Variant of one built-in type: a scalar, or a one-dimensional array.
struct Variant {
  BuiltinType type = BuiltinType::Null;
  bool isArray = false;
  ScalarList values;  // one for a scalar
  bool operator==(const Variant&) const = default;

  static Variant scalar(BuiltinType t, Scalar v) { return Variant{t, false, ScalarList(std::move(v))}; }
};

struct DataValue {
  std::optional<Variant> value;
  std::optional<StatusCode> status;
  std::optional<std::int64_t> sourceTimestamp;
  std::optional<std::int64_t> serverTimestamp;
  bool operator==(const DataValue&) const = default;
};

}  // namespace OpcToolbox::ua
