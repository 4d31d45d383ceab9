#pragma once
// Names the parameter property items show: data types of property items, unit names by
// the library's unit code, decimal prefixes by its exponent.

#include <cstdint>
#include <string_view>

namespace vexahv {

std::uint16_t propertyDataType(std::string_view propertyName) noexcept;
const char* unitName(std::uint16_t code) noexcept;
const char* prefixName(std::int16_t exp) noexcept;
const char* prefixSymbol(std::int16_t exp) noexcept;

// OPC data type and access rights of a parameter by the library's "Type" and "Mode".
std::uint16_t parameterDataType(std::uint32_t type) noexcept;
std::uint32_t accessRightsOfMode(std::uint32_t mode) noexcept;

}  // namespace vexahv
