#include "opctoolbox/ua/encoding/ua_binary.h"

#include <bit>
#include <cstring>

#include "opctoolbox/date_time.h"

namespace OpcToolbox::ua {

std::int64_t nowTicks() { return DateTime::now().ticks(); }

void Encoder::raw(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  out_.insert(out_.end(), p, p + size);
}

void Encoder::string(const UaString& s) {
  if (!s) {
    int32(-1);
    return;
  }
  string(std::string_view(*s));
}

void Encoder::string(std::string_view s) {
  int32(static_cast<std::int32_t>(s.size()));
  raw(s.data(), s.size());
}

void Encoder::guid(const Guid& g) {
  uint32(g.data1);
  uint16(g.data2);
  uint16(g.data3);
  raw(g.data4.data(), g.data4.size());
}

void Encoder::nodeIdWithFlags(const NodeId& id, std::uint8_t flags) {
  switch (id.kind) {
    case NodeId::Kind::Numeric:
      // The shortest form that holds it: two-byte, four-byte or full numeric.
      if (id.ns == 0 && id.numeric <= 0xFF) {
        byte(0x00 | flags);
        byte(static_cast<std::uint8_t>(id.numeric));
      } else if (id.ns <= 0xFF && id.numeric <= 0xFFFF) {
        byte(0x01 | flags);
        byte(static_cast<std::uint8_t>(id.ns));
        uint16(static_cast<std::uint16_t>(id.numeric));
      } else {
        byte(0x02 | flags);
        uint16(id.ns);
        uint32(id.numeric);
      }
      return;
    case NodeId::Kind::String:
      byte(0x03 | flags);
      uint16(id.ns);
      string(std::string_view(id.text));
      return;
    case NodeId::Kind::Guid:
      byte(0x04 | flags);
      uint16(id.ns);
      guid(id.guid);
      return;
    case NodeId::Kind::Opaque:
      byte(0x05 | flags);
      uint16(id.ns);
      string(std::string_view(id.text));
      return;
  }
}

void Encoder::nodeId(const NodeId& id) { nodeIdWithFlags(id, 0); }

void Encoder::expandedNodeId(const ExpandedNodeId& id) {
  std::uint8_t flags = 0;
  if (id.namespaceUri) flags |= 0x80;
  if (id.serverIndex != 0) flags |= 0x40;
  nodeIdWithFlags(id.nodeId, flags);
  if (id.namespaceUri) string(id.namespaceUri);
  if (id.serverIndex != 0) uint32(id.serverIndex);
}

void Encoder::qualifiedName(const QualifiedName& q) {
  uint16(q.ns);
  string(q.name);
}

void Encoder::localizedText(const LocalizedText& t) {
  byte(static_cast<std::uint8_t>((t.locale ? 0x01 : 0) | (t.text ? 0x02 : 0)));
  if (t.locale) string(t.locale);
  if (t.text) string(t.text);
}

void Encoder::extensionObject(const ExtensionObject& e) {
  nodeId(e.typeId);
  byte(e.encoding);
  if (e.encoding != 0) string(std::string_view(e.body));
}

void Encoder::scalar(BuiltinType type, const Scalar& s) {
  switch (type) {
    case BuiltinType::Boolean: boolean(std::get<bool>(s)); break;
    case BuiltinType::SByte: sbyte(std::get<std::int8_t>(s)); break;
    case BuiltinType::Byte: byte(std::get<std::uint8_t>(s)); break;
    case BuiltinType::Int16: int16(std::get<std::int16_t>(s)); break;
    case BuiltinType::UInt16: uint16(std::get<std::uint16_t>(s)); break;
    case BuiltinType::Int32: int32(std::get<std::int32_t>(s)); break;
    case BuiltinType::UInt32: uint32(std::get<std::uint32_t>(s)); break;
    case BuiltinType::Int64: int64(std::get<std::int64_t>(s)); break;
    case BuiltinType::UInt64: uint64(std::get<std::uint64_t>(s)); break;
    case BuiltinType::Float: float32(std::get<float>(s)); break;
    case BuiltinType::Double: float64(std::get<double>(s)); break;
    case BuiltinType::String:
    case BuiltinType::XmlElement: string(std::get<UaString>(s)); break;
    case BuiltinType::DateTime: dateTime(std::get<DateTimeValue>(s).ticks); break;
    case BuiltinType::Guid: guid(std::get<Guid>(s)); break;
    case BuiltinType::ByteString: byteString(std::get<ByteStringValue>(s).bytes); break;
    case BuiltinType::NodeId: nodeId(*std::get<Boxed<NodeId>>(s)); break;
    case BuiltinType::ExpandedNodeId: expandedNodeId(*std::get<Boxed<ExpandedNodeId>>(s)); break;
    case BuiltinType::StatusCode: statusCode(std::get<StatusCodeValue>(s).code); break;
    case BuiltinType::QualifiedName: qualifiedName(*std::get<Boxed<QualifiedName>>(s)); break;
    case BuiltinType::LocalizedText: localizedText(*std::get<Boxed<LocalizedText>>(s)); break;
    case BuiltinType::ExtensionObject: extensionObject(*std::get<Boxed<ExtensionObject>>(s)); break;
    default: break;
  }
}

void Encoder::variant(const Variant& v) {
  if (v.type == BuiltinType::Null) {
    byte(0);
    return;
  }
  byte(static_cast<std::uint8_t>(static_cast<std::uint8_t>(v.type) | (v.isArray ? 0x80 : 0)));
  if (v.isArray) {
    int32(static_cast<std::int32_t>(v.values.size()));
    for (const auto& s : v.values) scalar(v.type, s);
  } else if (!v.values.empty()) {
    scalar(v.type, v.values.front());
  }
}

void Encoder::dataValue(const DataValue& v) {
  std::uint8_t mask = 0;
  if (v.value) mask |= 0x01;
  if (v.status && *v.status != kGood) mask |= 0x02;
  if (v.sourceTimestamp) mask |= 0x04;
  if (v.serverTimestamp) mask |= 0x08;
  byte(mask);
  if (mask & 0x01) variant(*v.value);
  if (mask & 0x02) statusCode(*v.status);
  if (mask & 0x04) dateTime(*v.sourceTimestamp);
  if (mask & 0x08) dateTime(*v.serverTimestamp);
}

bool Decoder::skip(std::size_t n) {
  if (!take(n)) return false;
  pos_ += n;
  return true;
}

bool Decoder::lengthPrefixed(std::size_t max, std::string_view& out) {
  const std::int32_t n = int32();
  if (!ok()) return false;
  if (n < 0) {
    if (n != -1) fail();
    return false;
  }
  if (static_cast<std::size_t>(n) > max) {
    fail(kBadEncodingLimitsExceeded);
    return false;
  }
  if (!take(static_cast<std::size_t>(n))) return false;
  out = std::string_view(reinterpret_cast<const char*>(data_.data() + pos_), static_cast<std::size_t>(n));
  pos_ += static_cast<std::size_t>(n);
  return true;
}

UaString Decoder::lengthPrefixed(std::size_t max) {
  std::string_view v;
  if (!lengthPrefixed(max, v)) return std::nullopt;
  return std::string(v);
}

UaString Decoder::string() { return lengthPrefixed(limits_.maxStringLength); }
std::optional<std::string_view> Decoder::stringView() {
  std::string_view v;
  if (!lengthPrefixed(limits_.maxStringLength, v)) return std::nullopt;
  return v;
}
UaString Decoder::byteString() { return lengthPrefixed(limits_.maxByteStringLength); }

Guid Decoder::guid() {
  Guid g;
  g.data1 = uint32();
  g.data2 = uint16();
  g.data3 = uint16();
  if (take(8)) {
    std::memcpy(g.data4.data(), data_.data() + pos_, 8);
    pos_ += 8;
  }
  return g;
}

NodeIdRef Decoder::nodeIdBody(std::uint8_t encoding) {
  NodeIdRef id;
  switch (encoding & 0x3F) {
    case 0x00: id.numeric = byte(); break;
    case 0x01:
      id.ns = byte();
      id.numeric = uint16();
      break;
    case 0x02:
      id.ns = uint16();
      id.numeric = uint32();
      break;
    case 0x03:
    case 0x05: {
      id.ns = uint16();
      id.kind = (encoding & 0x3F) == 0x03 ? NodeId::Kind::String : NodeId::Kind::Opaque;
      lengthPrefixed(id.kind == NodeId::Kind::String ? limits_.maxStringLength : limits_.maxByteStringLength, id.text);
      break;
    }
    case 0x04:
      id.ns = uint16();
      id.kind = NodeId::Kind::Guid;
      id.guid = guid();
      break;
    default:
      fail();
  }
  return id;
}

NodeIdRef Decoder::nodeIdRef() {
  const std::uint8_t encoding = byte();
  if ((encoding & 0xC0) != 0) fail();  // only an ExpandedNodeId carries these flags
  return nodeIdBody(encoding);
}

NodeId Decoder::nodeId() { return nodeIdRef().toNodeId(); }

ExpandedNodeId Decoder::expandedNodeId() {
  ExpandedNodeId e;
  const std::uint8_t encoding = byte();
  e.nodeId = nodeIdBody(encoding).toNodeId();
  if (encoding & 0x80) e.namespaceUri = string();
  if (encoding & 0x40) e.serverIndex = uint32();
  return e;
}

QualifiedName Decoder::qualifiedName() {
  QualifiedName q;
  q.ns = uint16();
  q.name = string();
  return q;
}

LocalizedText Decoder::localizedText() {
  LocalizedText t;
  const std::uint8_t mask = byte();
  if (mask & ~0x03) fail();
  if (mask & 0x01) t.locale = string();
  if (mask & 0x02) t.text = string();
  return t;
}

ExtensionObject Decoder::extensionObject() {
  ExtensionObject e;
  e.typeId = nodeId();
  e.encoding = byte();
  if (e.encoding > 2) fail();
  if (e.encoding != 0) e.body = byteString().value_or("");
  return e;
}

std::size_t Decoder::arrayLength(bool* isNull) {
  const std::int32_t n = int32();
  if (isNull != nullptr) *isNull = n == -1;
  if (!ok() || n == -1) return 0;
  if (n < -1) {
    fail();
    return 0;
  }
  // Every element takes at least one byte, so a length beyond what is left is damage.
  if (static_cast<std::size_t>(n) > limits_.maxArrayLength) {
    fail(kBadEncodingLimitsExceeded);
    return 0;
  }
  if (static_cast<std::size_t>(n) > remaining()) {
    fail();
    return 0;
  }
  return static_cast<std::size_t>(n);
}

Scalar Decoder::scalar(BuiltinType type) {
  switch (type) {
    case BuiltinType::Boolean: return boolean();
    case BuiltinType::SByte: return sbyte();
    case BuiltinType::Byte: return byte();
    case BuiltinType::Int16: return int16();
    case BuiltinType::UInt16: return uint16();
    case BuiltinType::Int32: return int32();
    case BuiltinType::UInt32: return uint32();
    case BuiltinType::Int64: return int64();
    case BuiltinType::UInt64: return uint64();
    case BuiltinType::Float: return float32();
    case BuiltinType::Double: return float64();
    case BuiltinType::String:
    case BuiltinType::XmlElement: return string();
    case BuiltinType::DateTime: return DateTimeValue{dateTime()};
    case BuiltinType::Guid: return guid();
    case BuiltinType::ByteString: return ByteStringValue{byteString()};
    case BuiltinType::NodeId: return nodeId();
    case BuiltinType::ExpandedNodeId: return expandedNodeId();
    case BuiltinType::StatusCode: return StatusCodeValue{statusCode()};
    case BuiltinType::QualifiedName: return qualifiedName();
    case BuiltinType::LocalizedText: return localizedText();
    case BuiltinType::ExtensionObject: return extensionObject();
    default:
      // DataValue, Variant and DiagnosticInfo inside a Variant are not taken.
      fail();
      return std::monostate{};
  }
}

Variant Decoder::variant() {
  Variant v;
  const std::uint8_t encoding = byte();
  const std::uint8_t id = encoding & 0x3F;
  if (!ok() || id == 0) return v;
  if (id > 25) {
    fail();
    return v;
  }
  v.type = static_cast<BuiltinType>(id);
  v.isArray = (encoding & 0x80) != 0;
  if (!v.isArray) {
    if (encoding & 0x40) fail();  // dimensions without an array
    v.values.push_back(scalar(v.type));
    return v;
  }
  const std::size_t n = arrayLength();
  v.values.reserve(n);
  for (std::size_t i = 0; i < n && ok(); ++i) v.values.push_back(scalar(v.type));
  if (encoding & 0x40) {
    // Dimensions: read and check they describe the same number of elements.
    const std::size_t dims = arrayLength();
    std::size_t product = dims == 0 ? 0 : 1;
    for (std::size_t i = 0; i < dims && ok(); ++i) {
      const std::int32_t d = int32();
      if (d < 0) fail();
      product *= static_cast<std::size_t>(d < 0 ? 0 : d);
      if (product > limits_.maxArrayLength) fail(kBadEncodingLimitsExceeded);
    }
    if (ok() && product != n) fail();
  }
  return v;
}

DataValue Decoder::dataValue() {
  DataValue v;
  const std::uint8_t mask = byte();
  if (mask & 0x01) v.value = variant();
  if (mask & 0x02) v.status = statusCode();
  if (mask & 0x04) v.sourceTimestamp = dateTime();
  if (mask & 0x10) uint16();  // source picoseconds
  if (mask & 0x08) v.serverTimestamp = dateTime();
  if (mask & 0x20) uint16();  // server picoseconds
  if (mask & 0xC0) fail();
  return v;
}

}  // namespace OpcToolbox::ua
