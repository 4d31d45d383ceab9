#include "service/service_module.h"

#include "platform/process_identity.h"

#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <thread>

#include "opctoolbox/results.h"
#include "platform/process_identity.h"
#include "platform/system_log.h"
#include "service/bus_registration.h"
#include "service/firewall_rule.h"
#include "logging/logging.h"
#include "service/service_registration.h"

namespace vexahv {
namespace {

namespace err = platform::service_error;
using OpcToolbox::E_FAIL;
using OpcToolbox::S_OK;

std::atomic<VEXAHVOPCServerModule*> gModule{nullptr};

// The restart waits this long, so that the answer to the write that asked for it leaves
// before the stop closes the client's session.
constexpr std::chrono::milliseconds kRestartDelay{300};
constexpr std::chrono::seconds kStatusPeriod{5};
constexpr std::chrono::milliseconds kStopPoll{100};

// The word at text[at...] is sw, in any letter case, and ends at a blank, a tab or the end.
bool switchAt(const std::string& text, std::size_t at, std::string_view sw) {
  std::size_t i = 0;
  for (; i < sw.size(); ++i) {
    if (at + i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[at + i])) != std::tolower(static_cast<unsigned char>(sw[i]))) {
      return false;
    }
  }
  return at + i == text.size() || text[at + i] == ' ' || text[at + i] == '\t';
}

}  // namespace

VEXAHVOPCServerModule* serviceModule() noexcept { return gModule.load(); }

int restartService() {
  VEXAHVOPCServerModule* module = serviceModule();
  if (module == nullptr) {
    logError("Cannot restart service [", kServiceName, "]: no service shell in this process");
    return -1;
  }
  return module->restartService();
}

void stopServiceLater(const std::string& name) {
  if (VEXAHVOPCServerModule* module = serviceModule()) module->stopServiceLater(name);
}

VEXAHVOPCServerModule::VEXAHVOPCServerModule(std::unique_ptr<platform::ServiceManager> services,
                                             FirewallFactory firewall, platform::ServiceDefinition definition)
    : services_(std::move(services)), firewall_(std::move(firewall)), definition_(std::move(definition)) {
  control_ = platform::WorkerThread("vexahv-service", [this](std::stop_token stop) { controlLoop(stop); });
  gModule.store(this);
}

VEXAHVOPCServerModule::~VEXAHVOPCServerModule() {
  VEXAHVOPCServerModule* self = this;
  gModule.compare_exchange_strong(self, nullptr);
  control_.requestStop();
  cv_.notify_all();
  control_.join();
}

void VEXAHVOPCServerModule::message(const char* text, std::uint32_t error) const {
  // A message box has no place here: one line on stderr, titled with the service name.
  std::fprintf(stderr, "%s: %s (%s, %s)\n", kServiceName, text, platform::serviceErrorText(error),
               services_->backEndName());
  std::fflush(stderr);
}

bool VEXAHVOPCServerModule::ParseCommandLine(const std::string& commandLine, long& result) {
  result = 0;
  for (std::size_t at = commandLine.find_first_of("-/"); at != std::string::npos;
       at = commandLine.find_first_of("-/", at + 1)) {
    if (switchAt(commandLine, at + 1, "UnregServer")) {
      long hr = unregisterServiceClass();
      if (hr >= 0) {
        if (const std::string why = removeBusFiles(busFilesForProcess()); !why.empty()) {
          std::fprintf(stderr, "%s: Could not remove the configuration interface's bus files: %s\n", kServiceName,
                       why.c_str());
          hr = E_FAIL;
        }
      }
      if (hr >= 0) hr = UnregisterAppId();
      result = hr;
      if (auto firewall = firewall_()) removeFirewallRule(*firewall);
      return false;
    }
    if (switchAt(commandLine, at + 1, "RegServer") || switchAt(commandLine, at + 1, "Service")) {
      long hr = RegisterAppId(true);
      if (hr >= 0) hr = registerServiceClass(definition_.executable);
      if (hr >= 0) {
        if (const std::string why =
                installBusFiles(busFilesForProcess(), definition_.executable, kServiceUnitName, definition_.user);
            !why.empty()) {
          std::fprintf(stderr, "%s: Could not install the configuration interface's bus files: %s\n", kServiceName,
                       why.c_str());
          hr = E_FAIL;
        }
      }
      if (auto firewall = firewall_()) addFirewallRule(*firewall);
      if (hr >= 0 && switchAt(commandLine, at + 1, "Service") && !definition_.user.empty()) {
        // What this registration made as root must be the service's user's to write.
        std::string why;
        // The service manager's, the firewall's and the bus's records stay root's.
        if (platform::handOverTree(definition_.platformRoot, definition_.user, {"services", "firewall", "dbus", "systemd"},
                                   why)) {
          std::fprintf(stderr, "%s: %s: the service could not write its state\n", kServiceName, why.c_str());
          hr = E_FAIL;
        }
      }
      result = hr;
      return false;
    }
  }
  return true;
}

long VEXAHVOPCServerModule::RegisterAppId(bool asService) {
  if (!Uninstall()) return E_FAIL;
  if (const long hr = registerAppIdKeys(definition_.executable, kServiceName, asService); hr != S_OK) return hr;
  if (asService && !Install()) {
    // "LocalService" would make every later start try a service that does not exist.
    registerAppIdKeys(definition_.executable, kServiceName, false);
    return E_FAIL;
  }
  return S_OK;
}

long VEXAHVOPCServerModule::UnregisterAppId() {
  if (!Uninstall()) return E_FAIL;
  return unregisterAppIdKeys(definition_.executable);
}

bool VEXAHVOPCServerModule::Install() {
  const std::uint32_t r = services_->install(definition_);
  if (r == err::kSuccess) return true;
  message(r == err::kAccessDenied ? "Couldn't open service manager" : "Couldn't create service", r);
  return false;
}

bool VEXAHVOPCServerModule::Uninstall() {
  platform::ServiceStatus status;
  std::uint32_t r = services_->query(kServiceName, status);
  if (r == err::kDoesNotExist) return true;
  if (r != err::kSuccess) {
    message("Could not open service", r);
    return false;
  }
  // Stopped first, and only once stopped removed: a service still running is kept.
  if (status.state != platform::ServiceState::Stopped) {
    r = stopServiceAndWait(kServiceName);
    if (r != err::kSuccess) {
      message("Could not stop service", r);
      return false;
    }
  }
  r = services_->remove(kServiceName);
  if (r != err::kSuccess && r != err::kDoesNotExist) {
    message("Could not delete service", r);
    return false;
  }
  return true;
}

long VEXAHVOPCServerModule::IsRegisteredAsService() const {
  std::string name;
  return queryLocalService(name);
}

void VEXAHVOPCServerModule::LogEvent(std::string_view text) const {
  platform::systemLog(LOG_INFO, text.substr(0, 255));
}

std::uint32_t VEXAHVOPCServerModule::startServiceRun(StatusProvider status) {
  logDebug("Starting module service main");
  const std::uint32_t r = services_->attach(kServiceName);
  if (r != err::kSuccess) {
    LogEvent("Handler not installed");
    return r;
  }
  // The status is found outside the lock: finding it takes the server's own locks.
  const std::string line = status ? status() : std::string();
  std::lock_guard lock(mutex_);
  attached_ = true;
  status_ = std::move(status);
  lastStatus_ = line;
  if (ready_) services_->reportRunning(lastStatus_);
  else services_->reportStatus(lastStatus_);
  ++generation_;
  cv_.notify_all();
  return r;
}

bool VEXAHVOPCServerModule::serviceRun() const {
  std::lock_guard lock(mutex_);
  return attached_;
}

void VEXAHVOPCServerModule::reportReady() {
  StatusProvider status;
  {
    std::lock_guard lock(mutex_);
    ready_ = true;
    if (!attached_ || stopping_) return;
    status = status_;
  }
  const std::string line = status ? status() : std::string();
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  lastStatus_ = line;
  services_->reportRunning(lastStatus_);
}

bool VEXAHVOPCServerModule::stopControl(int signal) const {
  if (signal == SIGTERM || signal == 0 || !serviceRun()) return true;
  LogEvent("Bad service request");
  logNotice("Ignored signal [", signal, "]: a service stops on SIGTERM only");
  return false;
}

void VEXAHVOPCServerModule::beginStop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  tasks_.clear();
  if (attached_) services_->reportStopping();
}

bool VEXAHVOPCServerModule::endServiceRun() {
  bool attached = false;
  {
    std::lock_guard lock(mutex_);
    attached = attached_;
    attached_ = false;
  }
  if (!attached) return false;
  const bool restart = services_->detach();
  LogEvent("Service stopped");
  return restart;
}

int VEXAHVOPCServerModule::restartService() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return -1;
  }
  platform::ServiceStatus status;
  std::uint32_t r = services_->query(kServiceName, status);
  if (r == err::kSuccess && status.state == platform::ServiceState::Stopped) r = err::kNotActive;
  if (r != err::kSuccess) {
    logError("Cannot restart service [", kServiceName, "]: ", platform::serviceErrorText(r),
             "; the new setting takes effect at the next start");
    return -1;
  }
  logNotice("Restarting service [", kServiceName, "] for the new setting");
  post(kRestartDelay, [this] {
    if (const std::uint32_t failed = services_->requestRestart(kServiceName); failed != err::kSuccess) {
      logError("Service [", kServiceName, "] not restarted: ", platform::serviceErrorText(failed),
               "; the new setting takes effect at the next start");
    }
  });
  return 0;
}

std::uint32_t VEXAHVOPCServerModule::stopServiceAndWait(const std::string& name) {
  platform::ServiceStatus status;
  std::uint32_t r = services_->query(name, status);
  if (r != err::kSuccess) return r;
  if (status.state != platform::ServiceState::Stopped && status.pid == ::getpid()) {
    // This process is the service: its stop is the caller's own end, never waited for.
    r = services_->requestStop(name);
    return r == err::kNotActive ? err::kSuccess : r;
  }
  r = services_->requestStop(name);
  if (r != err::kSuccess && r != err::kNotActive) return r;
  const auto deadline = std::chrono::steady_clock::now() + stopWait_;
  for (;;) {
    r = services_->query(name, status);
    if (r != err::kSuccess) return r;
    if (status.state == platform::ServiceState::Stopped) return err::kSuccess;
    if (std::chrono::steady_clock::now() >= deadline) return err::kRequestTimeout;
    std::this_thread::sleep_for(kStopPoll);
  }
}

void VEXAHVOPCServerModule::stopServiceLater(const std::string& name) {
  post(std::chrono::milliseconds(0), [this, name] {
    const std::uint32_t r = stopServiceAndWait(name);
    if (r == err::kSuccess) logNotice("Service [", name, "] stopped");
    else if (r == err::kDoesNotExist || r == err::kNotActive) logDebug("Service [", name, "] not stopped: ", platform::serviceErrorText(r));
    else logError("Service [", name, "] not stopped: ", platform::serviceErrorText(r));
  });
}

void VEXAHVOPCServerModule::post(std::chrono::milliseconds delay, std::function<void()> run) {
  std::lock_guard lock(mutex_);
  // Bounded: a flood of disconnects asks for one stop, not thousands.
  if (stopping_ || tasks_.size() >= 16) return;
  Task task{std::chrono::steady_clock::now() + delay, std::move(run)};
  auto at = std::upper_bound(tasks_.begin(), tasks_.end(), task.due,
                             [](auto due, const Task& t) { return due < t.due; });
  tasks_.insert(at, std::move(task));
  ++generation_;
  cv_.notify_all();
}

void VEXAHVOPCServerModule::refreshStatus() {
  StatusProvider provider;
  {
    std::lock_guard lock(mutex_);
    if (!attached_ || stopping_) return;
    const auto now = std::chrono::steady_clock::now();
    const auto watchdog = services_->watchdogInterval();
    if (watchdog.count() > 0 && now - lastPing_ >= watchdog / 2) {
      services_->watchdogPing();
      lastPing_ = now;
    }
    provider = status_;
  }
  const std::string status = provider ? provider() : std::string();
  std::lock_guard lock(mutex_);
  if (stopping_ || status == lastStatus_) return;
  lastStatus_ = status;
  services_->reportStatus(status);
}

void VEXAHVOPCServerModule::controlLoop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    auto wake = std::chrono::steady_clock::now() + kStatusPeriod;
    if (attached_) {
      const auto watchdog = services_->watchdogInterval();
      if (watchdog.count() > 0) {
        wake = std::min(wake, std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(watchdog / 4));
      }
    }
    if (!tasks_.empty()) wake = std::min(wake, tasks_.front().due);
    const std::uint64_t seen = generation_;
    const bool woken = cv_.wait_until(lock, stop, wake, [&] { return generation_ != seen; });
    if (stop.stop_requested()) break;
    if (woken) continue;  // the plan changed: wait again for what is due first
    if (!tasks_.empty() && tasks_.front().due <= std::chrono::steady_clock::now()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task.run();
      lock.lock();
      continue;
    }
    lock.unlock();
    refreshStatus();
    lock.lock();
  }
}

}  // namespace vexahv
