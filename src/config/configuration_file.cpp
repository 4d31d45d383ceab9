#include "config/configuration_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <mutex>
#include <vector>

#include "platform/atomic_file.h"
#include "logging/logging.h"

namespace vexahv {
namespace {

struct KeyInfo {
  const char* itemName;
  const char* key;
  bool isBoolean;
};

constexpr KeyInfo kKeys[] = {
    {"OPCServerEventMode", "EventEnabled", true},
    {"OPCServerLiveInsertion", "LiveInsertRemoval", true},
    {"OPCServerVerifyTime", "VerifyTime", false},
    {"OPCServerLogLevel", "LogLevel", false},
    {"OPCServerUseBatchedGroupTransactions", "UseBatchedGroupTransactions", true},
};

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// Text mode: "\r\n" reads as "\n".
std::string dropCarriageReturns(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

// Entries as a stream read up to each ';' gives them: an empty entry between two ';' is
// read, the end of the text after a final ';' is not.
std::vector<std::string_view> splitEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t semi = text.find(';', pos);
    if (semi == std::string_view::npos) {
      entries.push_back(text.substr(pos));
      break;
    }
    entries.push_back(text.substr(pos, semi - pos));
    pos = semi + 1;
  }
  return entries;
}

// atoi: leading whitespace, optional sign, digits up to the first non-digit, no digits
// gives 0. Saturates instead of overflowing.
std::int32_t decimalPrefix(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The integer value of an entry; nullopt when the entry ends with its '='.
std::optional<std::int32_t> integerValue(std::string_view entry) {
  std::size_t eq = entry.find('=');
  if (eq != std::string_view::npos && eq + 1 == entry.size()) return std::nullopt;
  std::string_view value = eq == std::string_view::npos ? entry : entry.substr(eq + 1);
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
  while (!value.empty() && value.back() == ';') value.remove_suffix(1);
  return decimalPrefix(value);
}

// The value of an entry as written: after its first '=', without the blanks around it.
std::string textValue(std::string_view entry) {
  const std::size_t eq = entry.find('=');
  std::string_view value = eq == std::string_view::npos ? std::string_view() : entry.substr(eq + 1);
  while (!value.empty() && (isBlank(value.front()) || value.front() == '\n')) value.remove_prefix(1);
  while (!value.empty() && (isBlank(value.back()) || value.back() == '\n')) value.remove_suffix(1);
  return std::string(value);
}

void applyBoolean(std::string_view entry, bool& setting) {
  if (contains(entry, "true") || contains(entry, "1")) {
    setting = true;
  } else if (contains(entry, "false") || contains(entry, "0")) {
    setting = false;
  }
}

// Only one writer of the file at a time in this process.
std::mutex& writerMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

void applyConfigurationText(std::string_view rawText, const ConfigurationSettings& settings) {
  const std::string text = dropCarriageReturns(rawText);
  for (std::string_view rawEntry : splitEntries(text)) {
    const std::string entry = lowered(rawEntry);
    if (settings.plant != nullptr) {
      // Values kept as written; the rest of such an entry (a connection string's words)
      // is no other key.
      if (auto* text = contains(entry, "historydatabase") ? &settings.plant->historyDatabase
                       : contains(entry, "historysource") ? &settings.plant->historySource
                                                          : nullptr) {
        *text = textValue(rawEntry);
        continue;
      }
    }
    if (contains(entry, "eventenabled")) applyBoolean(entry, settings.eventEnabled);
    if (contains(entry, "liveinsertremoval")) applyBoolean(entry, settings.liveInsertRemoval);
    if (contains(entry, "verifytime")) {
      auto v = integerValue(entry);
      if (!v) continue;
      settings.verifyTime = *v;
    }
    if (contains(entry, "loglevel")) {
      auto v = integerValue(entry);
      if (!v) continue;
      settings.logLevel = (*v >= 0 && *v <= 9) ? *v : 3;
    }
    if (contains(entry, "usebatchedgrouptransactions")) {
      bool value = settings.useBatchedGroupTransactions.load(std::memory_order_relaxed);
      applyBoolean(entry, value);
      settings.useBatchedGroupTransactions.store(value, std::memory_order_relaxed);
    }
    if (settings.plant != nullptr) {
      if (contains(entry, "stoponlastclient")) applyBoolean(entry, settings.plant->stopOnLastClient);
      if (contains(entry, "sharechannelreads")) applyBoolean(entry, settings.plant->shareChannelReads);
      if (contains(entry, "historydays")) {
        if (auto v = integerValue(entry); v && *v >= 1 && *v <= 3650) settings.plant->historyDays = *v;
      } else if (contains(entry, "historymaxmib")) {
        if (auto v = integerValue(entry); v && *v >= 16 && *v <= (1 << 20)) settings.plant->historyMaxMiB = *v;
      } else if (contains(entry, "history")) {
        applyBoolean(entry, settings.plant->history);
      }
    }
  }
}

std::error_code readConfigurationFile(bool& eventEnabled, bool& liveInsertRemoval, std::int32_t& verifyTime,
                                      std::int32_t& logLevel, std::atomic<bool>& useBatchedGroupTransactions,
                                      PlantSettings* plant) {
  if (plant != nullptr) *plant = PlantSettings{};
  eventEnabled = false;
  liveInsertRemoval = false;
  verifyTime = 600;
  logLevel = 0;
  useBatchedGroupTransactions.store(false, std::memory_order_relaxed);
  // What an interrupted write left behind; nothing else in this process writes yet.
  platform::removeStaleTemporaries(kConfigurationFileName);
  std::string text;
  if (std::error_code ec = platform::readWholeFile(kConfigurationFileName, text)) {
    if (ec == std::errc::no_such_file_or_directory) return {};
    logLevel = kUnreadableFileLogLevel;
    return ec;
  }
  applyConfigurationText(text, {eventEnabled, liveInsertRemoval, verifyTime, logLevel,
                                useBatchedGroupTransactions, plant});
  return {};
}

std::optional<std::string_view> configurationKeyForItem(std::string_view itemName) {
  for (const KeyInfo& k : kKeys) {
    if (itemName == k.itemName) return std::string_view(k.key);
  }
  return std::nullopt;
}

std::optional<std::string> rewriteConfigurationText(const std::optional<std::string>& oldText,
                                                    std::string_view key,
                                                    std::string_view rawValue) {
  const std::string value = lowered(rawValue);
  const std::string lowKey = lowered(key);
  bool isBoolean = false;
  for (const KeyInfo& k : kKeys) {
    if (lowered(k.key) == lowKey) isBoolean = k.isBoolean;
  }
  if (isBoolean && value != "true" && value != "false") return std::nullopt;
  if (value.find_first_of(";\r\n") != std::string::npos) return std::nullopt;

  std::string out;
  if (oldText) {
    const std::string text = dropCarriageReturns(*oldText);
    for (std::string_view entry : splitEntries(text)) {
      if (entry.empty() || contains(lowered(entry), lowKey)) continue;
      while (!entry.empty() && entry.back() == ';') entry.remove_suffix(1);
      while (!entry.empty() && entry.back() == '\n') entry.remove_suffix(1);
      out.append(entry).push_back(';');
    }
  }
  out.append(key).append(" = ").append(value).push_back(';');
  return out;
}

bool writeConfigurationEntry(std::string_view itemName, std::string_view value) {
  auto key = configurationKeyForItem(itemName);
  if (!key) {
    logError("Configuration parameter error");
    return false;
  }
  std::lock_guard lock(writerMutex());
  platform::removeStaleTemporaries(kConfigurationFileName);
  std::optional<std::string> oldText;
  std::string text;
  if (auto ec = platform::readWholeFile(kConfigurationFileName, text); !ec) {
    oldText = std::move(text);
  } else if (ec != std::errc::no_such_file_or_directory) {
    // A file that exists but cannot be read would otherwise be replaced by one entry,
    // losing every other setting.
    logError("Failed to open configuration file [", kConfigurationFileName, "]: ", ec.message());
    return false;
  }
  auto newText = rewriteConfigurationText(oldText, *key, value);
  if (!newText) {
    logError("Configuration parameter error");
    return false;
  }
  // Written beside the old file and renamed over it: a crash or a full disk leaves the
  // old settings whole.
  if (std::error_code ec = platform::replaceFileAtomically(kConfigurationFileName, *newText)) {
    logError("Failed to open configuration file [", kConfigurationFileName, "]: ", ec.message());
    return false;
  }
  return true;
}

}  // namespace vexahv
