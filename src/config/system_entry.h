#pragma once
// One system entry, the text that tells the server about one mainframe:
// "NAME,TYPE,LINK,ADDRESS" where for link 0 (TCP/IP) ADDRESS is "IP[:USER[:PASSWORD]]".
// parseSystemEntry reads any text as the server always has; checkSystemEntry says what
// is wrong with a text before it is stored, so that nothing unusable enters the list.

#include <cstdint>
#include <string>
#include <string_view>

namespace vexahv {

struct SystemEntry {
  std::string name;
  std::int32_t systemType = 2;
  std::int32_t linkType = 0;
  std::string address;
  std::string userName;
  std::string password;
};

// The longest system name whose item ids fit the library's identifiers (63 characters):
// "NAME.BoardSS.ChanCCC.PARAMETER" with parameter names of up to 9 characters.
std::size_t maxSystemNameLength() noexcept;

// Fields split at ',' (runs of separators count as one, leading ones are skipped); the
// type index 0..5 maps to the library's system type (any other value: 2); non-numbers
// read as 0; for link 0 the address splits the same way at ':'.
SystemEntry parseSystemEntry(std::string_view entry);

// Empty when the entry may be stored; otherwise a message naming the wrong field, e.g.
// "field 2 (type) [x] is not a system type index from 0 to 5".
std::string checkSystemEntry(std::string_view entry);

// The entry as it may be shown to anyone: for link 0, whatever follows the user name
// (the password, and anything after it) reads "********". An entry without a password
// is returned as it is. For log lines, the tool's output and unprivileged readers.
std::string maskSystemEntry(std::string_view entry);
inline constexpr std::string_view kMaskedPassword = "********";

}  // namespace vexahv
