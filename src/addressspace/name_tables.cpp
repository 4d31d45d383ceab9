#include "addressspace/name_tables.h"

#include "opctoolbox/variant.h"

namespace vexahv {

std::uint16_t propertyDataType(std::string_view n) noexcept {
  if (n == "Unit" || n == "Exp" || n == "EU" || n == "Onstate" || n == "CoOpen" ||
      n == "Offstate" || n == "CoClose") {
    return OpcToolbox::VT_BSTR;
  }
  return OpcToolbox::VT_R4;
}

const char* unitName(std::uint16_t code) noexcept {
  static constexpr const char* kNames[] = {"None",    "Ampere", "Volt", "Watt",   "Celsius", "Hertz",
                                           "Bar",     "Vps",    "Second", "Rpm", "Count"};
  return code < std::size(kNames) ? kNames[code] : "";
}

const char* prefixName(std::int16_t exp) noexcept {
  switch (exp) {
    case -6: return "micro";
    case -3: return "milli";
    case 3: return "Kilo";
    case 6: return "Mega";
    default: return "";
  }
}

const char* prefixSymbol(std::int16_t exp) noexcept {
  switch (exp) {
    case -6: return "u";
    case -3: return "m";
    case 3: return "k";
    case 6: return "M";
    default: return "";
  }
}

std::string unitSymbol(std::string_view eu) {
  static constexpr std::pair<std::string_view, std::string_view> kSymbols[] = {
      {"Ampere", "A"}, {"Volt", "V"}, {"Watt", "W"}, {"Celsius", "°C"}, {"Hertz", "Hz"}, {"Bar", "bar"},
      {"Vps", "V/s"},  {"Second", "s"}, {"Rpm", "rpm"}, {"Count", ""}, {"None", ""}};
  static constexpr std::pair<std::string_view, std::string_view> kPrefixes[] = {
      {"", ""}, {"u", "µ"}, {"m", "m"}, {"k", "k"}, {"M", "M"}};
  for (auto [prefix, shown] : kPrefixes) {
    if (eu.substr(0, prefix.size()) != prefix) continue;
    for (auto [name, symbol] : kSymbols) {
      if (eu.substr(prefix.size()) == name) return std::string(shown) + std::string(symbol);
    }
  }
  return std::string(eu);
}

std::uint16_t parameterDataType(std::uint32_t type) noexcept {
  switch (type) {
    case 1: return OpcToolbox::VT_BOOL;
    case 2: case 3: case 4: return OpcToolbox::VT_I4;
    case 5: return OpcToolbox::VT_BSTR;
    default: return OpcToolbox::VT_R4;
  }
}

std::uint32_t accessRightsOfMode(std::uint32_t mode) noexcept {
  switch (mode) {
    case 1: return 2;
    case 2: return 3;
    default: return 1;
  }
}

}  // namespace vexahv
