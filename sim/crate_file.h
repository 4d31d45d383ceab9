#pragma once
// A simulated mainframe as declared in a crate file. The format is line-based text; see
// sim/README.md. Every damage is refused with the line number and what was wrong.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv::sim {

struct ParamSpec {
  std::string name;
  std::uint32_t type = 0;  // 0 numeric, 1 on/off, 2 channel status, 3 board status, 4 binary, 5 text
  std::uint32_t mode = 0;  // 0 read-only, 1 write-only, 2 read-write
  float min = 0.0f;
  float max = 0.0f;
  std::uint16_t unit = 0;
  std::int16_t exp = 0;
  std::uint16_t resol = 0;
  std::string onLabel = "On";
  std::string offLabel = "Off";
  double number = 0.0;  // initial value of non-text parameters
  std::string text;     // initial value of text parameters
};

struct PropertySpec {
  std::string name;
  std::uint32_t type = 0;  // 0 text, 1 float, 2 ui2, 3 ui4, 4 i2, 5 i4, 6 bool
  std::uint32_t mode = 0;
  double number = 0.0;
  std::string text;
};

struct BoardSpec {
  std::uint16_t slot = 0;
  std::string model;
  std::string description;
  std::uint16_t serial = 0;
  std::uint8_t firmwareMajor = 0;
  std::uint8_t firmwareMinor = 0;
  std::uint16_t channels = 0;
  double loadMegaOhm = 100.0;  // every channel's load
  std::vector<ParamSpec> boardParams;
  std::vector<ParamSpec> channelParams;
  std::map<std::uint16_t, std::string> channelNames;
};

struct CrateSpec {
  std::string name;
  std::uint32_t address = 0;  // host order, inside 127.0.0.0/8
  std::uint32_t systemType = 0;
  std::string user;
  std::string password;
  std::uint16_t slots = 0;
  std::vector<PropertySpec> properties;
  std::vector<std::string> commands;
  std::vector<BoardSpec> boards;  // ascending slots

  const BoardSpec* board(std::uint16_t slot) const;
};

// On failure error reads "line N: what was wrong".
bool parseCrateText(std::string_view text, CrateSpec& out, std::string& error);
bool readCrateFile(const std::string& path, CrateSpec& out, std::string& error);

}  // namespace vexahv::sim
