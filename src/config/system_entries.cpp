#include "config/system_entries.h"

#include "config/system_entry.h"

#include <optional>

#include "platform/registry.h"
#include "logging/logging.h"

namespace vexahv {
namespace {

using platform::Hive;
using platform::RegResult;
using platform::RegType;
using platform::Registry;
using platform::RegistryTransaction;

// One entry as the reader takes it: a string type, read into the 80-byte buffer, empty or
// ending with its zero. Otherwise nullopt, and why when asked.
std::optional<std::string> readEntry(const RegistryTransaction& tx, std::uint32_t index,
                                     const char** why = nullptr) {
  char buffer[kSystemEntryBuffer] = {};
  std::uint32_t size = sizeof buffer;
  RegType type{};
  const char* ignored = nullptr;
  const char*& reason = why ? *why : ignored;
  RegResult r = tx.queryValue(kSettingsKey, std::to_string(index), &type, buffer, &size);
  if (r == RegResult::MoreData) {
    reason = "longer than 79 characters";
    return std::nullopt;
  }
  if (r != RegResult::Success) {
    reason = platform::regResultText(r);
    return std::nullopt;
  }
  if (type != RegType::String && type != RegType::ExpandString) {
    reason = "not a string";
    return std::nullopt;
  }
  if (size == 0) return std::string();
  if (buffer[size - 1] != '\0') {
    reason = "not ended by a zero";
    return std::nullopt;
  }
  return std::string(buffer);  // up to the first zero
}

}  // namespace

std::vector<std::string> readSystemEntries() {
  std::vector<std::string> entries;
  RegistryTransaction tx;
  const Registry registry = Registry::forProcess();
  // Where and why, after the fixed text, so that a person can mend the hive.
  const std::string hive = registry.hiveFile(Hive::CurrentUser).string();
  const RegResult opened = registry.begin(Hive::CurrentUser, Registry::Access::Read, tx);
  if (opened != RegResult::Success || !tx.keyExists(kSettingsKey)) {
    logError("Error opening Windows registry key", " [", kSettingsKey, "] of [", hive, "]: ",
             opened != RegResult::Success ? platform::regResultText(opened) : "no such key");
    return entries;
  }
  unsigned char number[4] = {};
  std::uint32_t size = sizeof number;
  const RegResult counted = tx.queryValue(kSettingsKey, "HVPSNum", nullptr, number, &size);
  if (counted != RegResult::Success || size != 4) {
    logError("Error reading entries number from Windows registry key", " [", hive, "]: value [HVPSNum] ",
             counted == RegResult::Success ? "is not 4 bytes long" : platform::regResultText(counted));
    return entries;
  }
  const std::uint32_t count = number[0] | (number[1] << 8) | (number[2] << 16) |
                              (static_cast<std::uint32_t>(number[3]) << 24);
  for (std::uint32_t i = 0; i < count; ++i) {
    const char* why = "";
    if (auto entry = readEntry(tx, i, &why)) {
      entries.push_back(std::move(*entry));
    } else {
      logError("Error reading string value from Windows registry key", " [", hive, "]: value [", i, "] ", why);
    }
  }
  return entries;
}

// The stored "HVPSNum": the number of values the list has, readable or not (0 without it).
std::uint32_t storedCount(const RegistryTransaction& tx) {
  unsigned char number[4] = {};
  std::uint32_t size = sizeof number;
  if (tx.queryValue(kSettingsKey, "HVPSNum", nullptr, number, &size) != RegResult::Success || size != 4) return 0;
  return number[0] | (number[1] << 8) | (number[2] << 16) | (static_cast<std::uint32_t>(number[3]) << 24);
}

// Moves value `from` to `to` as it is stored, type and bytes, readable or not; a missing
// value leaves `to` missing.
bool moveValue(RegistryTransaction& tx, std::uint32_t from, std::uint32_t to) {
  const std::string source = std::to_string(from);
  RegType type{};
  std::uint32_t size = 0;
  (void)tx.deleteValue(kSettingsKey, std::to_string(to));
  if (tx.queryValue(kSettingsKey, source, &type, nullptr, &size) != RegResult::Success) return true;
  std::string data(size, '\0');
  if (tx.queryValue(kSettingsKey, source, &type, data.data(), &size) != RegResult::Success) return false;
  return tx.setValue(kSettingsKey, std::to_string(to), type, data) == RegResult::Success &&
         tx.deleteValue(kSettingsKey, source) == RegResult::Success;
}

void addSystemEntry(std::string_view entry, std::uint32_t& count) {
  if (entry.size() >= kSystemEntryBuffer || entry.find('\0') != std::string_view::npos) {
    logError("Error adding system entry [", maskSystemEntry(entry.substr(0, entry.find('\0'))),
             "]: an entry holds at most ", kSystemEntryBuffer - 1,
             " characters and no zero byte; the list is unchanged");
    return;
  }
  RegistryTransaction tx;
  if (Registry::forProcess().begin(Hive::CurrentUser, Registry::Access::Write, tx) !=
          RegResult::Success ||
      tx.createKey(kSettingsKey) != RegResult::Success) {
    return;
  }
  // After every value the list has, under the hive's lock: an unreadable value or another
  // writer's entry is never overwritten, whatever count the caller holds.
  const std::uint32_t position = storedCount(tx);
  if (tx.setValue(kSettingsKey, std::to_string(position), RegType::String,
                  platform::stringData(entry)) != RegResult::Success ||
      tx.setValue(kSettingsKey, "HVPSNum", RegType::Dword, platform::dwordData(position + 1)) !=
          RegResult::Success) {
    return;  // nothing was committed
  }
  if (tx.commit() == RegResult::Success) ++count;
}

void removeSystemEntry(std::uint32_t index, std::uint32_t& count) {
  if (count == 0 || index >= count) {
    logError("Error removing system entry [", index, "]: the list holds ", count,
             " entries; the list is unchanged");
    return;
  }
  RegistryTransaction tx;
  if (Registry::forProcess().begin(Hive::CurrentUser, Registry::Access::Write, tx) !=
          RegResult::Success ||
      !tx.keyExists(kSettingsKey)) {
    return;
  }
  // The index counts readable entries, as the list is read; find where that one is stored.
  const std::uint32_t stored = storedCount(tx);
  std::uint32_t position = stored;
  for (std::uint32_t j = 0, readable = 0; j < stored; ++j) {
    if (!readEntry(tx, j)) continue;
    if (readable++ == index) {
      position = j;
      break;
    }
  }
  if (position == stored) {
    logError("Error removing system entry [", index, "]: the stored list holds fewer readable entries; the list is unchanged");
    return;
  }
  // Every later value moves down one place as it is stored, so the list keeps no hole.
  if (tx.deleteValue(kSettingsKey, std::to_string(position)) != RegResult::Success) return;
  for (std::uint32_t j = position + 1; j < stored; ++j) {
    if (!moveValue(tx, j, j - 1)) return;  // nothing was committed
  }
  if (tx.setValue(kSettingsKey, "HVPSNum", RegType::Dword, platform::dwordData(stored - 1)) != RegResult::Success) {
    return;
  }
  if (tx.commit() == RegResult::Success) --count;
}

}  // namespace vexahv
