#include "opctoolbox/ua/model/ua_node_mapping.h"

#include <cstdlib>

#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"

#include <cmath>
#include <random>

namespace OpcToolbox::ua {

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// The reference type hierarchy is namespace zero's own.
std::uint32_t parentReferenceType(std::uint32_t t) { return superTypeOf(t); }

bool referenceMatches(std::uint32_t type, const NodeId& filter, bool subtypes) {
  if (filter.isNull()) return true;
  if (filter.ns != 0 || filter.kind != NodeId::Kind::Numeric) return false;
  for (std::uint32_t t = type; t != 0; t = subtypes ? parentReferenceType(t) : 0) {
    if (t == filter.numeric) return true;
  }
  return false;
}

BuiltinType uaType(std::uint16_t vt) {
  switch (vt) {
    case VT_I1: return BuiltinType::SByte;
    case VT_UI1: return BuiltinType::Byte;
    case VT_I2: return BuiltinType::Int16;
    case VT_UI2: return BuiltinType::UInt16;
    case VT_I4: case VT_INT: return BuiltinType::Int32;
    case VT_UI4: case VT_UINT: return BuiltinType::UInt32;
    case VT_R4: return BuiltinType::Float;
    case VT_R8: return BuiltinType::Double;
    case VT_BSTR: return BuiltinType::String;
    case VT_BOOL: return BuiltinType::Boolean;
    default: return BuiltinType::Null;
  }
}

NodeId dataTypeOf(std::uint16_t vt) {
  const BuiltinType t = uaType(vt);
  return NodeId::numericId(0, t == BuiltinType::Null ? 24u : static_cast<std::uint32_t>(t));
}

ua::Variant toUaAs(const OpcToolbox::Variant& v, std::uint16_t datatype) {
  if (v.isEmpty() || v.vartype() == datatype || !OpcToolbox::isSupportedVarType(datatype)) return toUa(v);
  OpcToolbox::Variant converted = v;
  return converted.changeDatatype(datatype) == OpcToolbox::S_OK ? toUa(converted) : toUa(v);
}

ua::Variant toUa(const OpcToolbox::Variant& v) {
  switch (v.vartype()) {
    case VT_I1: return ua::Variant::scalar(BuiltinType::SByte, v.rawI1());
    case VT_UI1: return ua::Variant::scalar(BuiltinType::Byte, v.rawUI1());
    case VT_I2: return ua::Variant::scalar(BuiltinType::Int16, v.rawI2());
    case VT_UI2: return ua::Variant::scalar(BuiltinType::UInt16, v.rawUI2());
    case VT_I4: case VT_INT: return ua::Variant::scalar(BuiltinType::Int32, v.rawI4());
    case VT_UI4: case VT_UINT: return ua::Variant::scalar(BuiltinType::UInt32, v.rawUI4());
    case VT_R4: return ua::Variant::scalar(BuiltinType::Float, v.rawR4());
    case VT_R8: return ua::Variant::scalar(BuiltinType::Double, v.rawR8());
    case VT_BSTR: return ua::Variant::scalar(BuiltinType::String, UaString{v.text()});
    case VT_BOOL: return ua::Variant::scalar(BuiltinType::Boolean, v.rawBOOL());
    default: return ua::Variant{};
  }
}

// A written OPC UA value as the toolbox variant nearest to it; false for what has none.
bool fromUa(const ua::Variant& v, OpcToolbox::Variant& out) {
  if (v.isArray || v.values.empty()) return false;
  const Scalar& s = v.values.front();
  switch (v.type) {
    case BuiltinType::Boolean: out.setBOOL(std::get<bool>(s)); return true;
    case BuiltinType::SByte: out.setI1(std::get<std::int8_t>(s)); return true;
    case BuiltinType::Byte: out.setUI1(std::get<std::uint8_t>(s)); return true;
    case BuiltinType::Int16: out.setI2(std::get<std::int16_t>(s)); return true;
    case BuiltinType::UInt16: out.setUI2(std::get<std::uint16_t>(s)); return true;
    case BuiltinType::Int32: out.setI4(std::get<std::int32_t>(s)); return true;
    case BuiltinType::UInt32: out.setUI4(std::get<std::uint32_t>(s)); return true;
    case BuiltinType::Int64: out.setR8(static_cast<double>(std::get<std::int64_t>(s))); return true;
    case BuiltinType::UInt64: out.setR8(static_cast<double>(std::get<std::uint64_t>(s))); return true;
    case BuiltinType::Float: out.setR4(std::get<float>(s)); return true;
    case BuiltinType::Double: out.setR8(std::get<double>(s)); return true;
    case BuiltinType::String: out.setBSTR(std::get<UaString>(s).value_or("")); return true;
    default: return false;
  }
}

StatusCode writableValue(const ua::Variant& v, std::uint16_t datatype) {
  if (v.isArray || v.values.size() != 1) return kBadTypeMismatch;
  const BuiltinType expected = uaType(datatype);
  if (expected != BuiltinType::Null && v.type != expected) return kBadTypeMismatch;
  const Scalar& s = v.values.front();
  if (v.type == BuiltinType::Float && !std::isfinite(std::get<float>(s))) return kBadOutOfRange;
  if (v.type == BuiltinType::Double && !std::isfinite(std::get<double>(s))) return kBadOutOfRange;
  if (v.type == BuiltinType::String) {
    const UaString& text = std::get<UaString>(s);
    if (text && text->find('\0') != std::string::npos) return kBadOutOfRange;
  }
  return kGood;
}

StatusCode resultStatusOf(long result) {
  switch (result) {
    case S_OK: return kGood;
    case OPC_E_BADRIGHTS: return kBadNotWritable;
    case DISP_E_TYPEMISMATCH: case DISP_E_OVERFLOW: case DISP_E_BADVARTYPE: return kBadTypeMismatch;
    case OPC_E_RANGE: return kBadOutOfRange;
    case E_DEVICE_NOT_CONNECTED: return kBadNotConnected;
    case E_DEVICE_TIMEOUT: return kBadTimeout;
    case E_DEVICE_FAILURE: return kBadDeviceFailure;
    case E_ABORT: return kBadShutdown;
    case E_UNEXPECTED: return kBadInternalError;
    default: return kBad;
  }
}

// OPC DA quality to OPC UA status (OPC UA Part 8, the DA mapping).
StatusCode statusOf(std::uint16_t quality) {
  switch (quality) {
    case 0xC0: return kGood;
    case 0x00: return kBad;
    case 0x04: return 0x80890000u;  // BadConfigurationError
    case 0x08: return kBadNotConnected;
    case 0x0C: return 0x808B0000u;  // BadDeviceFailure
    case 0x10: return 0x808C0000u;  // BadSensorFailure
    case 0x14: return 0x80370000u;  // BadOutOfRange stands for "last known value" lost
    case 0x18: return 0x80310000u;  // BadNoCommunication
    case 0x1C: return 0x808D0000u;  // BadOutOfService
    case 0x20: return kBadWaitingForInitialData;
    case 0x40: return 0x40000000u;  // Uncertain
    case 0x44: return 0x40900000u;  // UncertainLastUsableValue
    case 0x50: return 0x40930000u;  // UncertainSensorNotAccurate
    case 0x54: return 0x40940000u;  // UncertainEngineeringUnitsExceeded
    case 0x58: return 0x40950000u;  // UncertainSubNormal
    case 0xD8: return 0x00960000u;  // GoodLocalOverride
    default:
      if ((quality & 0xC0) == 0xC0) return kGood;
      if ((quality & 0xC0) == 0x40) return 0x40000000u;
      return kBad;
  }
}

std::string randomBytes(std::size_t n) {
  // Session tokens and nonces must not be guessable: the cryptographic generator, never a
  // seeded one. Without it nothing secure can be offered, so its failure ends the process.
  std::vector<std::uint8_t> bytes(n);
  if (!crypto::randomFill(bytes)) std::abort();
  return std::string(bytes.begin(), bytes.end());
}

DataValue valueOf(ua::Variant v) { return DataValue{std::move(v), std::nullopt, std::nullopt, std::nullopt}; }
DataValue statusOnly(StatusCode s) { return DataValue{std::nullopt, s, std::nullopt, std::nullopt}; }

ExtensionObject argumentObject(std::string_view name, std::uint32_t dataType, std::int32_t valueRank,
                               std::string_view description) {
  constexpr std::uint32_t kArgumentBinary = 298;
  std::vector<std::uint8_t> body;
  Encoder e(body);
  e.string(name);
  e.nodeId(NodeId::numericId(0, dataType));
  e.int32(valueRank);
  e.arrayLength(valueRank == 1 ? 1 : -1);
  if (valueRank == 1) e.uint32(0);
  e.localizedText(LocalizedText{std::string("en"), std::string(description)});
  return ExtensionObject{NodeId::numericId(0, kArgumentBinary), 1, std::string(body.begin(), body.end())};
}

void stampTimestamps(DataValue& v, std::uint32_t which, std::int64_t source, std::int64_t serverNow) {
  if ((which == 0 || which == 2) && source != 0) v.sourceTimestamp = source;
  if (which == 1 || which == 2) v.serverTimestamp = serverNow;
}

std::optional<DataValue> commonAttribute(const NodeId& id, std::uint32_t nodeClass, const QualifiedName& name,
                                         std::uint32_t attribute) {
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  switch (attribute) {
    case kNodeId: return scalar(BuiltinType::NodeId, id);
    case kNodeClass: return scalar(BuiltinType::Int32, static_cast<std::int32_t>(nodeClass));
    case kBrowseName: return scalar(BuiltinType::QualifiedName, name);
    case kDisplayName: return scalar(BuiltinType::LocalizedText, LocalizedText{std::nullopt, name.name});
    case kDescription: return scalar(BuiltinType::LocalizedText, LocalizedText{});
    case kWriteMask: case kUserWriteMask: return scalar(BuiltinType::UInt32, std::uint32_t{0});
    default: return std::nullopt;
  }
}

std::optional<DataValue> madeVariableAttribute(std::uint32_t dataType, std::uint32_t attribute) {
  auto scalar = [](BuiltinType t, Scalar v) { return valueOf(ua::Variant::scalar(t, std::move(v))); };
  switch (attribute) {
    case kDataType: return scalar(BuiltinType::NodeId, NodeId::numericId(0, dataType));
    case kValueRank: return scalar(BuiltinType::Int32, std::int32_t{-1});
    case kArrayDimensions: return valueOf(ua::Variant{BuiltinType::UInt32, true, {}});
    case kAccessLevel: case kUserAccessLevel: return scalar(BuiltinType::Byte, std::uint8_t{1});
    // It changes with what it shows, which clients read or take as events.
    case kMinimumSamplingInterval: return scalar(BuiltinType::Double, 0.0);
    case kHistorizing: return scalar(BuiltinType::Boolean, false);
    default: return std::nullopt;
  }
}

ua::Variant stringArray(const std::vector<std::string>& texts) {
  ua::Variant v{BuiltinType::String, true, {}};
  for (const auto& t : texts) v.values.emplace_back(UaString{t});
  return v;
}

}  // namespace OpcToolbox::ua
