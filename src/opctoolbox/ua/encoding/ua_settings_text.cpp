#include "opctoolbox/ua/encoding/ua_settings_text.h"

#include "platform/atomic_file.h"

namespace OpcToolbox::ua {

std::string_view trimSetting(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

std::string shownSetting(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 60)) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  if (s.size() > 60) out += "...";
  return out;
}

std::string forEachLine(std::string_view text, const std::function<std::string(std::string_view line)>& use) {
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::string bad = use(line); !bad.empty()) return "line " + std::to_string(lineNumber) + ": " + bad;
  }
  return {};
}

std::string forEachSetting(std::string_view text,
                           const std::function<std::string(std::string_view key, std::string_view value)>& use) {
  return forEachLine(text, [&](std::string_view line) -> std::string {
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    line = trimSetting(line);
    if (line.empty()) return {};
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return "[" + shownSetting(line) + "] is not \"key = value\"";
    return use(trimSetting(line.substr(0, eq)), trimSetting(line.substr(eq + 1)));
  });
}

std::string readSettingsFile(const std::filesystem::path& file,
                             const std::function<std::string(std::string_view text)>& parse) {
  std::string text;
  if (const std::error_code ec = vexahv::platform::readWholeFile(file, text, 1u << 20)) {
    if (ec == std::errc::no_such_file_or_directory) return {};
    return "cannot read [" + file.string() + "]: " + ec.message();
  }
  if (std::string bad = parse(text); !bad.empty()) return "[" + file.string() + "] " + bad;
  return {};
}

}  // namespace OpcToolbox::ua
