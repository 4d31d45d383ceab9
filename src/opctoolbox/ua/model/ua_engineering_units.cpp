#include "opctoolbox/ua/model/ua_engineering_units.h"

namespace OpcToolbox::ua {
namespace {

struct KnownUnit {
  std::string_view euText;  // prefix symbol and unit name, as the item's "EU" property says
  std::string_view code;    // UN/CEFACT Recommendation 20
  std::string_view symbol;
  std::string_view description;
};

constexpr KnownUnit kUnits[] = {
    {"Volt", "VLT", "V", "volt"},
    {"kVolt", "KVT", "kV", "kilovolt"},
    {"mVolt", "2Z", "mV", "millivolt"},
    {"Ampere", "AMP", "A", "ampere"},
    {"kAmpere", "B22", "kA", "kiloampere"},
    {"mAmpere", "4K", "mA", "milliampere"},
    {"uAmpere", "B84", "\xC2\xB5" "A", "microampere"},
    {"Watt", "WTT", "W", "watt"},
    {"kWatt", "KWT", "kW", "kilowatt"},
    {"Celsius", "CEL", "\xC2\xB0" "C", "degree Celsius"},
    {"Hertz", "HTZ", "Hz", "hertz"},
    {"kHertz", "KHZ", "kHz", "kilohertz"},
    {"MHertz", "MHZ", "MHz", "megahertz"},
    {"Bar", "BAR", "bar", "bar"},
    {"mBar", "MBR", "mbar", "millibar"},
    {"Vps", "H46", "V/s", "volt per second"},
    {"Second", "SEC", "s", "second"},
    {"mSecond", "C26", "ms", "millisecond"},
};

}  // namespace

std::int32_t unitIdOf(std::string_view commonCode) {
  std::uint32_t id = 0;
  for (char c : commonCode) id = (id << 8) | static_cast<unsigned char>(c);
  return static_cast<std::int32_t>(id);
}

EngineeringUnit engineeringUnitOf(std::string_view euText) {
  for (const KnownUnit& u : kUnits) {
    if (u.euText == euText) return {unitIdOf(u.code), std::string(u.symbol), std::string(u.description)};
  }
  return {-1, std::string(euText), std::string(euText)};
}

}  // namespace OpcToolbox::ua
