#pragma once
// The process-wide text log: eight severities, one ceiling, one file under
// <platform root>/VEXA_Log/ (or the service's LOGS_DIRECTORY). A line is
//   [VEXAHVOPCServerLog.<thread id>, <locale date> <locale time>; <severity>]: <message>
// where the message is the caller's parts concatenated with nothing between them.
//
// Every log call tests the ceiling first and returns before any text is built when the
// line is filtered out, so disabled levels cost one relaxed atomic load.

#include <atomic>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vexahv {

enum class Severity : std::int32_t {
  Emergency = 0,
  Alert = 1,
  Critical = 2,
  Error = 3,
  Warning = 4,
  Notice = 5,
  Informational = 6,
  Debug = 7,
};

const char* severityName(Severity s) noexcept;

namespace logging_detail {
extern std::atomic<std::int32_t> ceiling;

void writeEntry(Severity s, std::string_view message) noexcept;

inline void appendPart(std::string& out, std::string_view text) { out.append(text); }
inline void appendPart(std::string& out, const char* text) { out.append(text ? text : ""); }
inline void appendPart(std::string& out, char c) { out.push_back(c); }
// Floating point as a default-formatted stream shows it (six significant digits).
void appendPart(std::string& out, double value);
template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void appendPart(std::string& out, T value) {
  out.append(std::to_string(value));
}
// A part whose text costs something to find (a look-up) is found only when the line is written.
template <class T>
  requires requires(const T& part, std::string& out) { part.appendTo(out); }
void appendPart(std::string& out, const T& part) {
  part.appendTo(out);
}
}  // namespace logging_detail

// (s & 15) <= ceiling, signed: ceilings 8 and 9 pass every severity, as 7 does.
inline bool logEnabled(Severity s) noexcept {
  return (static_cast<std::int32_t>(s) & 15) <=
         logging_detail::ceiling.load(std::memory_order_relaxed);
}

// Opens the log file for appending and sets the ceiling to logLevel. When the log cannot be
// opened, writes "failed to initialise logger" into VEXAHVOPCLogError.log beside it; the
// ceiling then stays 5 and nothing is logged for the rest of the run.
void startLogging(std::int32_t logLevel);

// Stores the new ceiling and returns the previous one. Takes effect for the next message.
std::int32_t setLogLevel(std::uint32_t level) noexcept;

// Closes the log and returns to the state before startLogging (ceiling 5, no file). For the
// end of the process and for tests.
void stopLogging() noexcept;

bool loggingStarted() noexcept;
// Opens the log file under its name again (SIGUSR1 after a rotation); false when logging
// is not started or the file cannot be opened (the old one is kept then). A file moved
// away is also followed by itself, within a second of the next entry.
bool reopenLog() noexcept;
std::filesystem::path logFilePath();
std::filesystem::path logErrorFilePath();

template <class... Parts>
void logAt(Severity s, const Parts&... parts) {
  if (!logEnabled(s)) return;
  std::string message;
  (logging_detail::appendPart(message, parts), ...);
  logging_detail::writeEntry(s, message);
}

template <class... Parts>
void logEmergency(const Parts&... parts) { logAt(Severity::Emergency, parts...); }
template <class... Parts>
void logAlert(const Parts&... parts) { logAt(Severity::Alert, parts...); }
template <class... Parts>
void logCritical(const Parts&... parts) { logAt(Severity::Critical, parts...); }
template <class... Parts>
void logError(const Parts&... parts) { logAt(Severity::Error, parts...); }
template <class... Parts>
void logWarning(const Parts&... parts) { logAt(Severity::Warning, parts...); }
template <class... Parts>
void logNotice(const Parts&... parts) { logAt(Severity::Notice, parts...); }
template <class... Parts>
void logInformational(const Parts&... parts) { logAt(Severity::Informational, parts...); }
template <class... Parts>
void logDebug(const Parts&... parts) { logAt(Severity::Debug, parts...); }

}  // namespace vexahv
