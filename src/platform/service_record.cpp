#include "platform/service_record.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "platform/atomic_file.h"
#include "platform/diagnostics.h"
#include "platform/file_lock.h"
#include "platform/private_file.h"
#include "platform/process_identity.h"

namespace vexahv::platform {
namespace {

namespace err = service_error;

const char* stateKey(ServiceState s) {
  switch (s) {
    case ServiceState::Stopped: return "stopped";
    case ServiceState::StartPending: return "start-pending";
    case ServiceState::Running: return "running";
    case ServiceState::StopPending: return "stop-pending";
  }
  return "stopped";
}

bool parseState(std::string_view text, ServiceState& out) {
  for (ServiceState s : {ServiceState::Stopped, ServiceState::StartPending, ServiceState::Running,
                         ServiceState::StopPending}) {
    if (text == stateKey(s)) {
      out = s;
      return true;
    }
  }
  return false;
}

template <class T>
bool parseNumber(std::string_view text, T& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

// One line per value: a line break inside a value would forge a key.
std::string oneLine(std::string_view text) {
  std::string s(text);
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s;
}

// The record's process, as long as it is the one that wrote it.
bool recordedProcessAlive(const ServiceRecord& r) {
  return r.state != ServiceState::Stopped && sameProcessAlive(r.pid, r.started);
}

}  // namespace

std::string formatServiceRecord(const ServiceRecord& r) {
  std::string out = "# service record: written by the service shell; do not edit while it runs\n";
  auto put = [&out](const char* key, std::string_view value) {
    out.append(key).append("=").append(oneLine(value)).append("\n");
  };
  put("name", r.definition.name);
  put("displayName", r.definition.displayName);
  put("executable", r.definition.executable.string());
  put("workingDirectory", r.definition.workingDirectory.string());
  put("startType", "demand");
  put("state", stateKey(r.state));
  put("pid", std::to_string(r.pid));
  put("started", std::to_string(r.started));
  put("restart", r.restart ? "1" : "0");
  put("status", r.status);
  return out;
}

bool parseServiceRecord(std::string_view text, ServiceRecord& out) {
  ServiceRecord r;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    bool ok = true;
    if (key == "name") r.definition.name = value;
    else if (key == "displayName") r.definition.displayName = value;
    else if (key == "executable") r.definition.executable = std::string(value);
    else if (key == "workingDirectory") r.definition.workingDirectory = std::string(value);
    else if (key == "startType") ok = value == "demand";
    else if (key == "state") ok = parseState(value, r.state);
    else if (key == "pid") ok = parseNumber(value, r.pid) && r.pid >= 0;
    else if (key == "started") ok = parseNumber(value, r.started);
    else if (key == "restart") ok = value == "0" || value == "1", r.restart = value == "1";
    else if (key == "status") r.status = value;
    else ok = false;
    if (!ok) return false;
  }
  if (r.definition.name.empty()) return false;
  out = std::move(r);
  return true;
}

RecordServiceManager::RecordServiceManager(std::filesystem::path root) : dir_(std::move(root) / "services") {}

std::filesystem::path RecordServiceManager::recordFile(std::string_view name) const {
  return dir_ / std::string(name);
}

template <class Change>
std::uint32_t RecordServiceManager::update(std::string_view name, Change change) {
  std::string reason;
  FileLock lock;
  if (const std::error_code ec = lockPrivateDirectory(dir_, lock, reason)) {
    reportDiagnostic("service record: " + reason);
    return ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
  }
  const std::filesystem::path file = recordFile(name);
  if (const std::error_code ec = checkPrivateFile(file, reason)) {
    if (ec == std::errc::no_such_file_or_directory) return err::kDoesNotExist;
    reportDiagnostic("service record refused: " + reason);
    return err::kAccessDenied;
  }
  std::string text;
  ServiceRecord record;
  if (const std::error_code ec = readWholeFile(file, text, 64 * 1024)) {
    reportDiagnostic("service record: cannot read " + file.string() + ": " + ec.message());
    return err::kIoError;
  }
  if (!parseServiceRecord(text, record) || record.definition.name != name) {
    reportDiagnostic("service record: " + file.string() + " is damaged; it is left as it is");
    return err::kIoError;
  }
  std::uint32_t result = err::kSuccess;
  if (!change(record, result)) return result;
  if (const std::error_code ec = replaceFileAtomically(file, formatServiceRecord(record), 0600)) {
    reportDiagnostic("service record: cannot write " + file.string() + ": " + ec.message());
    return ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
  }
  return result;
}

std::uint32_t RecordServiceManager::install(const ServiceDefinition& definition) {
  std::string reason;
  FileLock lock;
  if (const std::error_code ec = lockPrivateDirectory(dir_, lock, reason)) {
    reportDiagnostic("service record: " + reason);
    return ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
  }
  const std::filesystem::path file = recordFile(definition.name);
  const std::error_code exists = checkPrivateFile(file, reason);
  if (!exists) return err::kSuccess;  // installed already
  if (exists != std::errc::no_such_file_or_directory) {
    reportDiagnostic("service record refused: " + reason);
    return err::kAccessDenied;
  }
  ServiceRecord record;
  record.definition = definition;
  if (const std::error_code ec = replaceFileAtomically(file, formatServiceRecord(record), 0600)) {
    reportDiagnostic("service record: cannot write " + file.string() + ": " + ec.message());
    return ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
  }
  return err::kSuccess;
}

std::uint32_t RecordServiceManager::remove(std::string_view name) {
  bool gone = false;
  const std::uint32_t r = update(name, [&](ServiceRecord& record, std::uint32_t& result) {
    if (recordedProcessAlive(record)) {
      result = err::kAlreadyRunning;  // the caller stops it first
      return false;
    }
    std::error_code ec;
    gone = std::filesystem::remove(recordFile(name), ec);
    if (ec) result = ec == std::errc::permission_denied ? err::kAccessDenied : err::kIoError;
    return false;
  });
  return r == err::kSuccess && !gone ? err::kIoError : r;
}

std::uint32_t RecordServiceManager::query(std::string_view name, ServiceStatus& out) {
  return update(name, [&](ServiceRecord& record, std::uint32_t&) {
    out = {};
    if (recordedProcessAlive(record)) out = {record.state, record.pid};
    return false;
  });
}

std::uint32_t RecordServiceManager::signalStop(std::string_view name, bool restart) {
  return update(name, [&](ServiceRecord& record, std::uint32_t& result) {
    if (!recordedProcessAlive(record)) {
      result = err::kNotActive;
      return false;
    }
    if (::kill(record.pid, SIGTERM) != 0) {
      result = errno == EPERM ? err::kAccessDenied : err::kNotActive;
      return false;
    }
    if (!restart) return false;
    record.restart = true;
    return true;
  });
}

std::uint32_t RecordServiceManager::requestStop(std::string_view name) { return signalStop(name, false); }

std::uint32_t RecordServiceManager::requestRestart(std::string_view name) { return signalStop(name, true); }

std::uint32_t RecordServiceManager::attach(std::string_view name) {
  const pid_t self = ::getpid();
  const std::uint32_t r = update(name, [&](ServiceRecord& record, std::uint32_t& result) {
    // The same process again after a restart (the image is new, the process is not).
    if (recordedProcessAlive(record) && record.pid != self) {
      result = err::kAlreadyRunning;
      return false;
    }
    record.state = ServiceState::StartPending;
    record.pid = self;
    record.started = processStartTime(self);
    record.restart = false;
    record.status.clear();
    return true;
  });
  // No record: this service is not installed, so no service manager would have started it.
  if (r == err::kDoesNotExist) return err::kNoServiceManager;
  if (r == err::kSuccess) attached_ = std::string(name);
  return r;
}

void RecordServiceManager::reportRunning(std::string_view status) {
  if (attached_.empty()) return;
  update(attached_, [&](ServiceRecord& record, std::uint32_t&) {
    if (record.state == ServiceState::StopPending) return false;  // a stop came first
    record.state = ServiceState::Running;
    record.status = status;
    return true;
  });
}

void RecordServiceManager::reportStatus(std::string_view status) {
  if (attached_.empty()) return;
  update(attached_, [&](ServiceRecord& record, std::uint32_t&) {
    if (record.status == status) return false;
    record.status = status;
    return true;
  });
}

void RecordServiceManager::reportStopping() {
  if (attached_.empty()) return;
  update(attached_, [&](ServiceRecord& record, std::uint32_t&) {
    record.state = ServiceState::StopPending;
    return true;
  });
}

bool RecordServiceManager::detach() {
  if (attached_.empty()) return false;
  bool restart = false;
  update(attached_, [&](ServiceRecord& record, std::uint32_t&) {
    restart = record.restart;
    // A restart keeps the process: it is starting again, not stopped.
    record.state = restart ? ServiceState::StartPending : ServiceState::Stopped;
    if (!restart) record.pid = 0, record.started = 0;
    record.restart = false;
    record.status.clear();
    return true;
  });
  attached_.clear();
  return restart;
}

}  // namespace vexahv::platform
