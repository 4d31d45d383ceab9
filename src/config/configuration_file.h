#pragma once
// The configuration file "VEXAHVOPCServer.cfg" in the working directory: entries separated
// by ';' (newlines are not separators), keys found case-insensitively anywhere in an entry.
// The text functions are pure so that tests and the fuzz target drive them without files.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace vexahv {

inline constexpr const char* kConfigurationFileName = "VEXAHVOPCServer.cfg";

// Settings of a plant beyond the five, kept in the same file ("StopOnLastClient = true;").
// They are not published as items: they change how the server watches its crates.
struct PlantSettings {
  // A service whose last client disconnects stops (the socket starts it again). Off: a
  // service keeps supervising its crates with nobody connected.
  bool stopOnLastClient = false;
  // Siblings of a board's first channel take its parameter types, modes and properties,
  // and first values are read for the whole board. Off for a plant whose boards mix
  // channels of different kinds.
  bool shareChannelReads = true;
  // History ("History = false" keeps none), its age bound in days and its size bound in
  // MiB; a bound out of range (1 to 3650 days, 16 MiB to 1 TiB) leaves the default.
  bool history = true;
  std::int32_t historyDays = 30;
  std::int32_t historyMaxMiB = 1024;
  // A PostgreSQL connection string or URI ("HistoryDatabase = host=db dbname=hv"): history
  // goes there instead of the file under the root. Kept as written (case and all); the
  // size bound is then the site's. Its items are kept under historySource, the host's
  // name when empty, so that several servers share one database.
  std::string historyDatabase;
  std::string historySource;
};

struct ConfigurationSettings {
  bool& eventEnabled;
  bool& liveInsertRemoval;
  std::int32_t& verifyTime;
  std::int32_t& logLevel;
  std::atomic<bool>& useBatchedGroupTransactions;
  PlantSettings* plant = nullptr;  // not read when null
};

// The log level of a run whose configuration file exists but cannot be read: its failure
// must reach the log.
inline constexpr std::int32_t kUnreadableFileLogLevel = 5;

// Sets the defaults, removes temporaries of interrupted writes, then applies every entry
// of the file when it can be read. A missing file is no error; a file that exists but
// cannot be read gives its error, and logLevel kUnreadableFileLogLevel. Logs nothing:
// logging has not started when this runs.
std::error_code readConfigurationFile(bool& eventEnabled, bool& liveInsertRemoval, std::int32_t& verifyTime,
                                      std::int32_t& logLevel, std::atomic<bool>& useBatchedGroupTransactions,
                                      PlantSettings* plant = nullptr);

// Applies the entries of text to settings (defaults are not set here). A carriage return
// before a newline has already been dropped by the caller or is dropped here.
void applyConfigurationText(std::string_view text, const ConfigurationSettings& settings);

// Rewrites the one setting that the server-setting item itemName stands for. True when the
// file now holds it; false with an Error line otherwise, the file then being untouched.
bool writeConfigurationEntry(std::string_view itemName, std::string_view value);

// The file key of a server-setting item, or nullopt for any other name.
std::optional<std::string_view> configurationKeyForItem(std::string_view itemName);

// The new file text for key = value given the old text (nullopt: no file). nullopt when
// the value is refused (a boolean other than "true"/"false", or a ';' or line break
// in the value, which would split the entry).
std::optional<std::string> rewriteConfigurationText(const std::optional<std::string>& oldText,
                                                    std::string_view key, std::string_view value);

}  // namespace vexahv
