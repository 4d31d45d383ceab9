#include "opctoolbox/variant.h"

#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace OpcToolbox {
namespace {

bool isInteger(VarType t) {
  switch (t) {
    case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// The value as a wide signed integer, for integer and boolean types.
std::int64_t integerValue(const Variant& v) {
  switch (v.vartype()) {
    case VT_I1: return v.rawI1();
    case VT_I2: return v.rawI2();
    case VT_I4: case VT_INT: return v.rawI4();
    case VT_UI1: return v.rawUI1();
    case VT_UI2: return v.rawUI2();
    case VT_UI4: case VT_UINT: return v.rawUI4();
    case VT_BOOL: return v.rawI2();
    default: return 0;
  }
}

struct Range {
  std::int64_t min, max;
};

std::optional<Range> rangeOf(std::uint16_t t) {
  switch (t) {
    case VT_I1: return Range{-128, 127};
    case VT_I2: return Range{-32768, 32767};
    case VT_I4: case VT_INT: return Range{std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
    case VT_UI1: return Range{0, 255};
    case VT_UI2: return Range{0, 65535};
    case VT_UI4: case VT_UINT: return Range{0, std::numeric_limits<std::uint32_t>::max()};
    default: return std::nullopt;
  }
}

void setInteger(Variant& v, std::uint16_t t, std::int64_t n) {
  switch (t) {
    case VT_I1: v.setI1(static_cast<std::int8_t>(n)); break;
    case VT_I2: v.setI2(static_cast<std::int16_t>(n)); break;
    case VT_I4: v.setI4(static_cast<std::int32_t>(n)); break;
    case VT_INT: v.setINT(static_cast<std::int32_t>(n)); break;
    case VT_UI1: v.setUI1(static_cast<std::uint8_t>(n)); break;
    case VT_UI2: v.setUI2(static_cast<std::uint16_t>(n)); break;
    case VT_UI4: v.setUI4(static_cast<std::uint32_t>(n)); break;
    case VT_UINT: v.setUINT(static_cast<std::uint32_t>(n)); break;
    default: break;
  }
}

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool isSupportedVarType(std::uint16_t vt) noexcept {
  switch (vt) {
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BSTR: case VT_BOOL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

const char* varTypeName(std::uint16_t vt) noexcept {
  switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_BSTR: return "VT_BSTR";
    case VT_BOOL: return "VT_BOOL";
    case VT_I1: return "VT_I1";
    case VT_UI1: return "VT_UI1";
    case VT_UI2: return "VT_UI2";
    case VT_UI4: return "VT_UI4";
    case VT_INT: return "VT_INT";
    case VT_UINT: return "VT_UINT";
    default: return "unknown";
  }
}

void Variant::store(VarType type, std::uint64_t raw) noexcept {
  type_ = type;
  raw_ = raw;
  text_.clear();
}

void Variant::setI1(std::int8_t v) noexcept { store(VT_I1, static_cast<std::uint8_t>(v)); }
void Variant::setI2(std::int16_t v) noexcept { store(VT_I2, static_cast<std::uint16_t>(v)); }
void Variant::setI4(std::int32_t v) noexcept { store(VT_I4, static_cast<std::uint32_t>(v)); }
void Variant::setINT(std::int32_t v) noexcept { store(VT_INT, static_cast<std::uint32_t>(v)); }
void Variant::setUI1(std::uint8_t v) noexcept { store(VT_UI1, v); }
void Variant::setUI2(std::uint16_t v) noexcept { store(VT_UI2, v); }
void Variant::setUI4(std::uint32_t v) noexcept { store(VT_UI4, v); }
void Variant::setUINT(std::uint32_t v) noexcept { store(VT_UINT, v); }
void Variant::setR4(float v) noexcept { store(VT_R4, std::bit_cast<std::uint32_t>(v)); }
void Variant::setR8(double v) noexcept { store(VT_R8, std::bit_cast<std::uint64_t>(v)); }
void Variant::setBOOL(bool v) noexcept {
  store(VT_BOOL, static_cast<std::uint16_t>(v ? VARIANT_TRUE : VARIANT_FALSE));
}
void Variant::setBSTR(std::string_view text) {
  store(VT_BSTR, 0);
  text_.assign(text);
}

float Variant::rawR4() const noexcept { return std::bit_cast<float>(static_cast<std::uint32_t>(raw_)); }
double Variant::rawR8() const noexcept { return std::bit_cast<double>(raw_); }

void Variant::clear() noexcept { store(VT_EMPTY, 0); }

long Variant::changeDatatype(std::uint16_t to) {
  if (!isSupportedVarType(to)) return DISP_E_BADVARTYPE;
  if (to == type_) return S_OK;
  Variant out;
  if (to == VT_EMPTY) {
    clear();
    return S_OK;
  }
  if (to == VT_BSTR) {
    out.setBSTR(toString());
    *this = std::move(out);
    return S_OK;
  }
  // The source as a number (or a boolean).
  std::optional<std::int64_t> whole;
  double real = 0;
  bool isReal = false;
  if (type_ == VT_EMPTY) {
    whole = 0;
  } else if (isInteger(type_) || type_ == VT_BOOL) {
    whole = integerValue(*this);
  } else if (type_ == VT_R4 || type_ == VT_R8) {
    real = type_ == VT_R4 ? rawR4() : rawR8();
    isReal = true;
  } else if (type_ == VT_BSTR) {
    const std::string t = trimmed(text_);
    if (equalsIgnoringCase(t, "true")) {
      whole = -1;
    } else if (equalsIgnoringCase(t, "false")) {
      whole = 0;
    } else {
      std::int64_t n = 0;
      auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
      if (!t.empty() && ec == std::errc() && p == t.data() + t.size()) {
        whole = n;
      } else if (ec == std::errc::result_out_of_range) {
        return DISP_E_OVERFLOW;
      } else {
        auto [q, ec2] = std::from_chars(t.data(), t.data() + t.size(), real);
        if (t.empty() || ec2 != std::errc() || q != t.data() + t.size()) return DISP_E_TYPEMISMATCH;
        isReal = true;
      }
    }
  }

  if (to == VT_BOOL) {
    out.setBOOL(isReal ? real != 0.0 : *whole != 0);
  } else if (to == VT_R4 || to == VT_R8) {
    const double d = isReal ? real : static_cast<double>(*whole);
    if (to == VT_R4 && std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
      return DISP_E_OVERFLOW;
    }
    if (to == VT_R4) out.setR4(static_cast<float>(d));
    else out.setR8(d);
  } else {
    const Range r = *rangeOf(to);
    std::int64_t n = 0;
    if (isReal) {
      // Round half to even, as VariantChangeType does.
      const double rounded = std::nearbyint(real);
      if (!std::isfinite(rounded) || rounded < static_cast<double>(r.min) || rounded > static_cast<double>(r.max)) {
        return DISP_E_OVERFLOW;
      }
      n = static_cast<std::int64_t>(rounded);
    } else {
      n = *whole;
      // A boolean true is -1; in an unsigned type that is the all-ones value of the type.
      if (type_ == VT_BOOL && n == -1 && r.min == 0) n = r.max;
      if (n < r.min || n > r.max) return DISP_E_OVERFLOW;
    }
    setInteger(out, to, n);
  }
  *this = std::move(out);
  return S_OK;
}

std::string Variant::toString() const {
  char buf[64];
  switch (type_) {
    case VT_EMPTY: return {};
    case VT_BSTR: return text_;
    case VT_BOOL: return rawBOOL() ? "true" : "false";
    case VT_R4: {
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, rawR4());
      return std::string(buf, p);
    }
    case VT_R8: {
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, rawR8());
      return std::string(buf, p);
    }
    default:
      return std::to_string(integerValue(*this));
  }
}

bool Variant::areEqual(const Variant& a, const Variant& b) noexcept {
  if (a.type_ != b.type_) return false;
  switch (a.type_) {
    case VT_BSTR: return a.text_ == b.text_;
    case VT_R4: return a.rawR4() == b.rawR4();
    case VT_R8: return a.rawR8() == b.rawR8();
    case VT_EMPTY: return true;
    default: return integerValue(a) == integerValue(b);
  }
}

}  // namespace OpcToolbox
