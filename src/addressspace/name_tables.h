#pragma once
// Names the parameter property items show: data types of property items, unit names by
// the library's unit code, decimal prefixes by its exponent.

#include <cstdint>
#include <string>
#include <string_view>

namespace vexahv {

std::uint16_t propertyDataType(std::string_view propertyName) noexcept;
const char* unitName(std::uint16_t code) noexcept;
const char* prefixName(std::int16_t exp) noexcept;
const char* prefixSymbol(std::int16_t exp) noexcept;

// The symbol of an "EU" property's text, for people: "uAmpere" is "µA", "Volt" is "V";
// a text it does not know is given back as it is.
std::string unitSymbol(std::string_view euText);

// OPC data type and access rights of a parameter by the library's "Type" and "Mode".
std::uint16_t parameterDataType(std::uint32_t type) noexcept;
std::uint32_t accessRightsOfMode(std::uint32_t mode) noexcept;

// A channel status word (parameter type 2): what each of its bits says.
inline constexpr std::uint32_t kChannelStatusType = 2;
inline constexpr const char* kChannelStatusDefinition =
    "Channel status bits: 0 on, 1 ramping up, 2 ramping down, 3 over-current, 4 over-voltage, 5 under-voltage, "
    "6 at the software maximum (SVMax), 7 tripped, 8 killed, 9 stopped by an external interlock";

// A board status word (parameter type 3): what each of its bits says.
inline constexpr std::uint32_t kBoardStatusType = 3;
inline constexpr const char* kBoardStatusDefinition =
    "Board status bits: 0 power failed, 1 over-temperature, 2 under-temperature, 3 calibration lost, "
    "4 firmware fault";

}  // namespace vexahv
