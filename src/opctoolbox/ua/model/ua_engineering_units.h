#pragma once
// Engineering units as OPC UA publishes them (Part 8, EUInformation): the UN/CEFACT common
// code of a unit as its UnitId, with its symbol and name. An item's unit comes as the
// text its "EU" property holds: a decimal prefix symbol and a unit name ("kVolt",
// "uAmpere", "Celsius"); a unit without a code keeps its text, with UnitId -1.

#include <cstdint>
#include <string>
#include <string_view>

namespace OpcToolbox::ua {

inline constexpr const char* kUnitsNamespaceUri = "http://www.opcfoundation.org/UA/units/un/cefact";

struct EngineeringUnit {
  std::int32_t unitId = -1;
  std::string symbol;       // EUInformation.DisplayName
  std::string description;  // EUInformation.Description
};

EngineeringUnit engineeringUnitOf(std::string_view euText);
// The UnitId of a common code: its characters, big-endian, in the low bytes ("VLT" is
// 0x564C54).
std::int32_t unitIdOf(std::string_view commonCode);

}  // namespace OpcToolbox::ua
