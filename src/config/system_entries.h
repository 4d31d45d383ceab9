#pragma once
// The systems list: one system entry text per mainframe under the settings key of
// HKEY_CURRENT_USER, "HVPSNum" holding the count and "0".."N-1" the entries. Every operation
// is one registry transaction, so writers in other processes are serialised by the hive lock.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv {

inline constexpr const char* kSettingsKey = "Software\\VEXA/ZOLT\\VEXAHVOPCServer\\Settings\\";
inline constexpr std::size_t kSystemEntryBuffer = 80;  // holds 79 characters and the zero

std::vector<std::string> readSystemEntries();

// Appends entry after every value the list holds; count (the caller's count of readable
// entries) grows by one when the registry holds it.
void addSystemEntry(std::string_view entry, std::uint32_t& count);

// Removes the readable entry `index` (as readSystemEntries lists them) and moves every
// later value down one place; count shrinks by one when the registry was updated. An
// index at or beyond count is refused with an Error line.
void removeSystemEntry(std::uint32_t index, std::uint32_t& count);

}  // namespace vexahv
