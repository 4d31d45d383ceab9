#include "config/system_entry.h"

#include <arpa/inet.h>

#include <charconv>
#include <climits>
#include <vector>

#include "config/system_entries.h"
#include "hwlib/VEXAHVWrapper.h"

namespace vexahv {
namespace {

// Splits at sep; a run of separators counts as one and leading ones are skipped.
std::vector<std::string_view> fields(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == sep) ++i;
    if (i == text.size()) break;
    const std::size_t end = text.find(sep, i);
    out.push_back(text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
    if (end == std::string_view::npos) break;
    i = end;
  }
  return out;
}

// Decimal conversion as atoi does it: leading digits only, anything else gives 0.
std::int32_t decimal(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::int64_t value = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) return text.front() == '-' ? INT32_MIN : INT32_MAX;
  if (ec != std::errc()) return 0;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::int32_t systemTypeOfIndex(std::int32_t index) {
  switch (index) {
    case 0: return 0;
    case 1: return 2;
    case 2: return 4;
    case 3: return 5;
    case 4: return 7;
    case 5: return 10;
    default: return 2;
  }
}

// A whole number with nothing else in it.
bool wholeNumber(std::string_view text, std::int32_t& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string quoted(std::string_view text) { return "[" + std::string(text) + "]"; }

}  // namespace

std::size_t maxSystemNameLength() noexcept {
  constexpr std::size_t kIdLength = sizeof(VEXAHVUdpEventRecord::id) - 1;
  constexpr std::size_t kPath = std::string_view(".Board00.Chan000.").size() + (VEXAHV_PARAM_NAME_SIZE - 1);
  return kIdLength - kPath;
}

SystemEntry parseSystemEntry(std::string_view entry) {
  SystemEntry e;
  const auto f = fields(entry, ',');
  if (!f.empty()) e.name = std::string(f[0]);
  e.systemType = systemTypeOfIndex(decimal(f.size() > 1 ? f[1] : std::string_view{}));
  e.linkType = decimal(f.size() > 2 ? f[2] : std::string_view{});
  const std::string_view address = f.size() > 3 ? f[3] : std::string_view{};
  if (e.linkType != 0) {
    e.address = std::string(address);
    return e;
  }
  const auto parts = fields(address, ':');
  if (!parts.empty()) e.address = std::string(parts[0]);
  if (parts.size() > 1) e.userName = std::string(parts[1]);
  if (parts.size() > 2) e.password = std::string(parts[2]);
  return e;
}

std::string maskSystemEntry(std::string_view entry) {
  const auto f = fields(entry, ',');
  if (f.size() < 4 || decimal(f[2]) != 0) return std::string(entry);
  const auto parts = fields(f[3], ':');
  if (parts.size() < 3) return std::string(entry);
  const std::size_t secret = static_cast<std::size_t>(parts[2].data() - entry.data());
  return std::string(entry.substr(0, secret)) + std::string(kMaskedPassword);
}

std::string checkSystemEntry(std::string_view entry) {
  if (entry.size() >= kSystemEntryBuffer) {
    return "the entry has " + std::to_string(entry.size()) + " characters; at most " +
           std::to_string(kSystemEntryBuffer - 1) + " fit";
  }
  for (char c : entry) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "the entry holds a control character";
  }
  const auto f = fields(entry, ',');
  if (f.size() < 4) return "the entry has " + std::to_string(f.size()) + " fields; NAME,TYPE,LINK,ADDRESS are needed";
  if (f.size() > 4) {
    return "the entry has " + std::to_string(f.size()) +
           " fields; a ',' belongs in none of them (a user and password follow the address: IP:USER:PASSWORD)";
  }
  // The name starts every item id of the system ("NAME.Board00..."): no '.' and no blank,
  // and no ':', which separates the ids of one subscription.
  if (f[0].find_first_of(". :") != std::string_view::npos) {
    return "field 1 (name) " + quoted(f[0]) + " may hold no '.', ':' or blank";
  }
  if (f[0].size() > maxSystemNameLength()) {
    return "field 1 (name) " + quoted(f[0]) + " has " + std::to_string(f[0].size()) + " characters; at most " +
           std::to_string(maxSystemNameLength()) + " fit the library's item identifiers of 63";
  }
  std::int32_t type = 0;
  if (!wholeNumber(f[1], type) || type < 0 || type > 5) {
    return "field 2 (type) " + quoted(f[1]) + " is not a system type index from 0 to 5";
  }
  std::int32_t link = 0;
  if (!wholeNumber(f[2], link) || link < 0) return "field 3 (link) " + quoted(f[2]) + " is not a link type number";
  if (link != 0) return {};
  const auto parts = fields(f[3], ':');
  in_addr ip{};
  if (parts.empty() || ::inet_pton(AF_INET, std::string(parts[0]).c_str(), &ip) != 1) {
    return "field 4 (address) " + quoted(parts.empty() ? f[3] : parts[0]) + " is not an IPv4 address";
  }
  if (parts.size() > 3) return "field 4 (address) " + quoted(f[3]) + " has more than IP:USER:PASSWORD";
  return {};
}

}  // namespace vexahv
