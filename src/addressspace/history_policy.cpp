#include "addressspace/history_policy.h"

#include <charconv>
#include <cmath>
#include <map>
#include <mutex>

#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace vexahv {
namespace {

struct Table {
  std::mutex mutex;  // leaf
  std::map<std::string, HistoryPolicy, std::less<>> byName;
};

Table& table() {
  static Table t;
  return t;
}

// A number of the text as a whole, within [low, high].
std::optional<double> numberIn(std::string_view text, double low, double high) {
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < low || v > high) {
    return std::nullopt;
  }
  return v;
}

}  // namespace

std::string parseHistoryPolicy(std::string_view text) {
  std::map<std::string, HistoryPolicy, std::less<>> byName;
  const std::string error = OpcToolbox::ua::forEachSetting(text, [&](std::string_view key, std::string_view value) {
    const std::string name = OpcToolbox::ua::shownSetting(key);
    HistoryPolicy p;
    p.kept = true;
    // Words, blanks between them: on, off, deadband X, interval S.
    std::size_t pos = 0;
    auto next = [&]() -> std::string_view {
      while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t' || value[pos] == ',')) ++pos;
      const std::size_t from = pos;
      while (pos < value.size() && value[pos] != ' ' && value[pos] != '\t' && value[pos] != ',') ++pos;
      return value.substr(from, pos - from);
    };
    bool said = false;
    for (std::string_view word = next(); !word.empty(); word = next(), said = true) {
      if (word == "on") {
        p.kept = true;
      } else if (word == "off") {
        p.kept = false;
      } else if (word == "deadband" || word == "interval") {
        const std::string_view number = next();
        const bool deadband = word == "deadband";
        const auto v = numberIn(number, 0, deadband ? 1e12 : 86400);
        if (!v) {
          return "the " + std::string(word) + " of [" + name + "] is " +
                 (deadband ? "a number, 0 or more" : "a number of seconds from 0 to 86400") + ", not [" +
                 OpcToolbox::ua::shownSetting(number) + "]";
        }
        (deadband ? p.deadband : p.interval) = *v;
      } else {
        return "[" + name + "] is on, off, deadband <number> or interval <seconds>, not [" +
               OpcToolbox::ua::shownSetting(word) + "]";
      }
    }
    if (!said) return "[" + name + "] says nothing: on, off, deadband <number> or interval <seconds>";
    byName[std::string(key)] = p;
    return std::string();
  });
  if (!error.empty()) return error;
  std::lock_guard lock(table().mutex);
  table().byName = std::move(byName);
  return {};
}

std::string loadHistoryPolicy(const std::filesystem::path& file) {
  const std::string error = OpcToolbox::ua::readSettingsFile(file, parseHistoryPolicy);
  // A missing file: the defaults.
  if (error.empty() && !std::filesystem::exists(file)) (void)parseHistoryPolicy({});
  return error;
}

HistoryPolicy historyPolicyFor(std::string_view parameter, bool keptByDefault) {
  std::lock_guard lock(table().mutex);
  auto it = table().byName.find(parameter);
  if (it != table().byName.end()) return it->second;
  HistoryPolicy p;
  p.kept = keptByDefault;
  return p;
}

}  // namespace vexahv
