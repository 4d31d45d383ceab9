#pragma once
// The toolbox's value type with the COM VARIANT semantics the server relies on: a type
// code, an 8-byte data field that every setter clears first and that can be read as
// another type (the server reads "the low 16 bits" of whatever a client wrote), and text.

#include <cstdint>
#include <string>
#include <string_view>

#include "opctoolbox/results.h"

namespace OpcToolbox {

enum VarType : std::uint16_t {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_INT = 22,
  VT_UINT = 23,
};

inline constexpr std::int16_t VARIANT_TRUE = -1;
inline constexpr std::int16_t VARIANT_FALSE = 0;

bool isSupportedVarType(std::uint16_t vt) noexcept;
const char* varTypeName(std::uint16_t vt) noexcept;

class Variant {
 public:
  Variant() = default;

  VarType vartype() const noexcept { return type_; }
  bool isEmpty() const noexcept { return type_ == VT_EMPTY; }

  void setI1(std::int8_t v) noexcept;
  void setI2(std::int16_t v) noexcept;
  void setI4(std::int32_t v) noexcept;
  void setINT(std::int32_t v) noexcept;
  void setUI1(std::uint8_t v) noexcept;
  void setUI2(std::uint16_t v) noexcept;
  void setUI4(std::uint32_t v) noexcept;
  void setUINT(std::uint32_t v) noexcept;
  void setR4(float v) noexcept;
  void setR8(double v) noexcept;
  // true is VARIANT_TRUE: all 16 bits set.
  void setBOOL(bool v) noexcept;
  void setBSTR(std::string_view text);

  // The data field read as a type, whatever was stored (little-endian, as on x86).
  std::int8_t rawI1() const noexcept { return static_cast<std::int8_t>(raw_); }
  std::uint8_t rawUI1() const noexcept { return static_cast<std::uint8_t>(raw_); }
  std::int16_t rawI2() const noexcept { return static_cast<std::int16_t>(raw_); }
  std::uint16_t rawUI2() const noexcept { return static_cast<std::uint16_t>(raw_); }
  std::int32_t rawI4() const noexcept { return static_cast<std::int32_t>(raw_); }
  std::uint32_t rawUI4() const noexcept { return static_cast<std::uint32_t>(raw_); }
  float rawR4() const noexcept;
  double rawR8() const noexcept;
  bool rawBOOL() const noexcept { return rawI2() != 0; }
  // The text of a BSTR value; empty for every other type.
  const std::string& text() const noexcept { return text_; }

  // Converts in place; on failure the value is unchanged and the result says why
  // (DISP_E_OVERFLOW: does not fit; DISP_E_TYPEMISMATCH: text that is no number;
  // DISP_E_BADVARTYPE: a type this toolbox does not know).
  long changeDatatype(std::uint16_t to);

  // Integers in decimal, floats in shortest round-trip form, "true"/"false", text as is,
  // "" when empty.
  std::string toString() const;
  static bool areEqual(const Variant& a, const Variant& b) noexcept;
  bool operator==(const Variant& o) const noexcept { return areEqual(*this, o); }
  void clear() noexcept;

 private:
  void store(VarType type, std::uint64_t raw) noexcept;
  VarType type_ = VT_EMPTY;
  std::uint64_t raw_ = 0;
  std::string text_;
};

}  // namespace OpcToolbox
