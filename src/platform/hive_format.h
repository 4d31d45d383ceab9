#pragma once
// In-memory form of one registry hive and its text file format.
//
// File format (UTF-8 or any 8-bit text, '\n' line ends, '\r\n' accepted):
//
//   VEXAHV-REGISTRY-HIVE 1
//   # comment lines and blank lines are ignored
//   [Software\VEXA/ZOLT\VEXAHVOPCServer\Settings]
//   "HVPSNum" = dword:2
//   "0" = sz:"S1,0,0,127.0.0.2"
//   "Path" = expand_sz:"$HOME/bin"
//   "Blob" = binary:00ff10
//   "Odd" = sz:hex:4142
//
// A key line holds the full path from the hive's root, components separated by '\'.
// Value names and string data are quoted with the escapes \\ \" \n \r \t \xHH. The
// string forms stand for the text plus its terminating zero byte; data that has no such
// canonical form (a string without its zero, a dword that is not 4 bytes) is written as
// "type:hex:" followed by its bytes. Keys and value names compare case-insensitively
// (ASCII), as the Windows registry does, and keep the case they were created with.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vexahv::platform {

enum class RegType : std::uint32_t {
  String = 1,        // REG_SZ
  ExpandString = 2,  // REG_EXPAND_SZ (never expanded here)
  Binary = 3,        // REG_BINARY
  Dword = 4,         // REG_DWORD, little-endian
};

struct RegValue {
  std::string name;
  RegType type = RegType::Binary;
  std::string data;  // raw bytes, as the registry stores them
};

struct RegKeyData {
  std::string path;                         // as created
  std::map<std::string, RegValue> values;  // by folded name
};

struct HiveData {
  std::map<std::string, RegKeyData> keys;  // by folded path; the root "" is implicit
};

inline constexpr std::size_t kMaxKeyComponent = 255;
inline constexpr std::size_t kMaxValueName = 16383;
inline constexpr std::size_t kMaxValueData = 1u << 20;

std::string foldName(std::string_view name);

// "A\\B\\" -> "A\B": empty components dropped. nullopt for a component that is too long
// or holds a control character (it could not be written as one line).
std::optional<std::string> normalizeKeyPath(std::string_view path);

// Parses a whole hive file. On damage returns false and sets error to a message naming
// the line and what is wrong; out is then unspecified.
bool parseHive(std::string_view text, HiveData& out, std::string& error);

std::string formatHive(const HiveData& hive);

}  // namespace vexahv::platform
