#include "logging/logging.h"

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <syslog.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/diagnostics.h"
#include "platform/log_file.h"
#include "platform/platform_root.h"
#include "platform/system_log.h"
#include "platform/unique_fd.h"

namespace vexahv {
namespace {

constexpr std::int32_t kCeilingBeforeStart = 5;
constexpr const char* kProcessIdentity = "VEXAHVOPCServerLog";

struct LogState {
  std::mutex mutex;  // serialises entries and guards fd and checked
  platform::UniqueFd fd;
  std::time_t checked = 0;  // when the file's name was last checked against fd
};

LogState& state() {
  static LogState s;
  return s;
}

// Under systemd the unit's LogsDirectory= (/var/log/vexahv), which it passes as
// LOGS_DIRECTORY; otherwise beside the rest of the platform root's state.
std::filesystem::path logDirectory() {
  if (const char* logs = std::getenv("LOGS_DIRECTORY"); logs != nullptr && *logs != '\0') {
    const std::string first(logs, std::strcspn(logs, ":"));
    if (!first.empty()) return first;
  }
  return platform::platformRoot() / "VEXA_Log";
}

void writeErrorFile() {
  platform::UniqueFd fd(::open(logErrorFilePath().c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return;
  static constexpr char kLine[] = "failed to initialise logger\n";
  [[maybe_unused]] ssize_t n = ::write(fd.get(), kLine, sizeof kLine - 1);
}

void diagnosticToLog(std::string_view message) { logError(message); }

// The file under its name again (made anew when it was moved away). While it cannot be
// opened, the entries go on to the old file rather than nowhere.
bool reopenLocked(LogState& st) {
  (void)platform::ensureDirectory(logDirectory());
  platform::UniqueFd fd = platform::openLogForAppend(logFilePath());
  if (!fd) return false;
  st.fd = std::move(fd);
  return true;
}

}  // namespace

namespace logging_detail {

std::atomic<std::int32_t> ceiling{kCeilingBeforeStart};

void appendPart(std::string& out, double value) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%g", value);
  if (n > 0) out.append(text, static_cast<std::size_t>(n));
}

void writeEntry(Severity s, std::string_view message) noexcept {
  try {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char when[128];
    std::size_t whenLen = std::strftime(when, sizeof when, "%x %X", &local);

    std::string line;
    line.reserve(64 + message.size());
    line.append("[").append(kProcessIdentity).append(".");
    line.append(std::to_string(static_cast<long>(::gettid())));
    line.append(", ").append(when, whenLen).append("; ").append(severityName(s)).append("]: ");
    line.append(message).push_back('\n');

    LogState& st = state();
    std::lock_guard lock(st.mutex);
    if (!st.fd) return;
    // A rotation that moved the file away is followed within a second, without a signal.
    if (now != st.checked) {
      st.checked = now;
      if (!platform::stillNamedBy(st.fd.get(), logFilePath())) reopenLocked(st);
    }
    // One write per entry on an O_APPEND descriptor: lines of this process never
    // interleave, and a reader of the file sees whole lines.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(st.fd.get(), p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the entry is lost; callers are not told
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  } catch (...) {
    // Out of memory while building the line: the entry is lost.
  }
}

}  // namespace logging_detail

const char* severityName(Severity s) noexcept {
  switch (static_cast<std::int32_t>(s) & 15) {
    case 0: return "Emergency";
    case 1: return "Alert";
    case 2: return "Critical";
    case 3: return "Error";
    case 4: return "Warning";
    case 5: return "Notice";
    case 6: return "Informational";
    case 7: return "Debug";
    default: return "Debug";
  }
}

std::filesystem::path logFilePath() { return logDirectory() / "VEXAHVOPCServer.log"; }
std::filesystem::path logErrorFilePath() { return logDirectory() / "VEXAHVOPCLogError.log"; }

void startLogging(std::int32_t logLevel) {
  std::setlocale(LC_TIME, "");
  // A failure to create the directory shows as the failure to open the file below.
  (void)platform::ensureDirectory(logDirectory());
  platform::UniqueFd fd = platform::openLogForAppend(logFilePath());
  if (!fd) {
    // Said once, where a person or the service manager's journal will see it.
    const std::string why = "cannot open log file " + logFilePath().string() + ": " +
                            std::strerror(errno) + "; the server runs without a log";
    writeErrorFile();
    std::fprintf(stderr, "vexahv-opcserver: %s\n", why.c_str());
    platform::systemLog(LOG_ERR, why);
    return;
  }
  {
    LogState& st = state();
    std::lock_guard lock(st.mutex);
    st.fd = std::move(fd);
  }
  logging_detail::ceiling.store(logLevel, std::memory_order_relaxed);
  platform::setDiagnosticSink(&diagnosticToLog);
}

bool reopenLog() noexcept {
  bool reopened = false;
  {
    LogState& st = state();
    std::lock_guard lock(st.mutex);
    if (!st.fd) return false;
    try {
      reopened = reopenLocked(st);
    } catch (...) {
      return false;
    }
  }
  if (reopened) logNotice("Log file reopened [", logFilePath().string(), "]");
  return reopened;
}

std::int32_t setLogLevel(std::uint32_t level) noexcept {
  return logging_detail::ceiling.exchange(static_cast<std::int32_t>(level),
                                          std::memory_order_relaxed);
}

void stopLogging() noexcept {
  platform::setDiagnosticSink(nullptr);
  logging_detail::ceiling.store(kCeilingBeforeStart, std::memory_order_relaxed);
  LogState& st = state();
  std::lock_guard lock(st.mutex);
  st.fd.reset();
}

bool loggingStarted() noexcept {
  LogState& st = state();
  std::lock_guard lock(st.mutex);
  return static_cast<bool>(st.fd);
}

}  // namespace vexahv
