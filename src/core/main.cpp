// vexahv-opcserver: the OPC server for HV power-supply mainframes.
//
// "/RegServer" or "/Service" registers it (AppID and class keys, the service with the
// machine's service manager, the firewall rules) and "/UnregServer" removes all of that;
// either ends the run. Otherwise it serves: as the installed service when it is registered
// as one (until SIGTERM), else as a local server (until SIGTERM, SIGINT or SIGHUP); then
// it stops in order and exits 0. It exits 1 at once, with one line on stderr and in the
// log, when it cannot serve at all. --add-user, --remove-user and --list-users manage the
// OPC UA users and exit; --help and --version print and exit; any other word exits 2.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/automation_bus.h"
#include "core/automation_server.h"
#include "core/command_line.h"
#include "core/server_process.h"
#include "core/user_admin.h"
#include "platform/heap_tuning.h"
#include "platform/stop_signal.h"
#include "logging/logging.h"
#include "service/service_module.h"

namespace {

using vexahv::VEXAHVOPCServerModule;

std::unique_ptr<vexahv::platform::Firewall> processFirewall() {
  vexahv::platform::FirewallPorts ports;
  ports.opcUa = vexahv::serviceDefinition().listenPort;
  return vexahv::platform::Firewall::forProcess(ports);
}

// The configuration interface's bus: the system bus for a service run, the session bus
// otherwise. A service run in a root of its own (tests, private installations) takes the
// system bus only when DBUS_SYSTEM_BUS_ADDRESS names one, never the machine's.
vexahv::AutomationBusKind automationBusKind(bool serviceRun) {
  if (!serviceRun) return vexahv::AutomationBusKind::Session;
  const char* root = std::getenv("VEXAHV_ROOT");
  const char* system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const bool ownRoot = root != nullptr && *root != '\0';
  return !ownRoot || (system != nullptr && *system != '\0') ? vexahv::AutomationBusKind::System
                                                             : vexahv::AutomationBusKind::Session;
}

// Serves the configuration interface for the run; without a bus the server serves on.
void startAutomation(vexahv::AutomationBus& bus, vexahv::VEXAHVOPCService& object, bool serviceRun) {
  const vexahv::AutomationBusKind kind = automationBusKind(serviceRun);
  const char* name = kind == vexahv::AutomationBusKind::System ? "system" : "session";
  if (const std::string why = bus.start(object, kind); !why.empty()) {
    vexahv::logWarning("Configuration interface not served on the ", name, " bus: ", why,
                       "; the server serves on without it");
  } else {
    vexahv::logNotice("Configuration interface served on the ", name, " bus as [", vexahv::kAutomationBusName, "]");
  }
}

// A restarted run is the same process with a new image; a stop signal that came while the
// old one stopped must not end the new one at once.
void discardPendingStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, s);
  const timespec now{0, 0};
  while (::sigtimedwait(&set, nullptr, &now) > 0) {
  }
}

// The next stop signal; SIGUSR1 on the way reopens the log (logrotate's postrotate).
int waitForStop(vexahv::platform::StopSignal& stopSignal) {
  for (;;) {
    const int signal = stopSignal.wait();
    if (signal != SIGUSR1) return signal;
    vexahv::reopenLog();
  }
}

// The service run: the service manager is told this process runs the service, which then
// serves until the stop control. True when the run is to start again.
bool runAsService(VEXAHVOPCServerModule& module, vexahv::VEXAHVServerProcess& process,
                  vexahv::platform::StopSignal& stopSignal, vexahv::AutomationBus& bus,
                  vexahv::VEXAHVOPCService& automation, int& exitCode) {
  vexahv::logDebug("Windows service [", vexahv::kServiceName, "] is starting");
  if (const std::uint32_t r = module.startServiceRun([&process] { return process.statusLine(); }); r != 0) {
    vexahv::logDebug("Error starting service control dispatcher");
    std::fprintf(stderr,
                 "vexahv-opcserver: registered as the service [%s], but %s (%s); start it through the service "
                 "manager (systemctl start %s) or unregister it (/UnregServer)\n",
                 vexahv::kServiceName, vexahv::platform::serviceErrorText(r), module.services().backEndName(),
                 vexahv::kServiceUnitName);
    exitCode = 1;
    process.stop();
    return false;
  }
  startAutomation(bus, automation, true);
  while (!module.stopControl(waitForStop(stopSignal))) {
  }
  module.beginStop();
  // No call reaches the server object once the stop sequence may delete it.
  bus.stop();
  process.stop();
  return module.endServiceRun();
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto done = vexahv::answerHelpOrVersion(argc, argv)) return *done;
  // The user switches act on the users file and exit; nothing is served.
  if (const auto done = vexahv::runUserAdministration(argc, argv)) return *done;
  // Nothing starts on a word no switch knows: a mistyped switch must not serve.
  if (const auto done = vexahv::refuseUnknownWords(argc, argv)) return *done;
  vexahv::platform::tuneHeapForServer();
  // Opened before any thread starts, so every thread inherits the blocked stop signals.
  vexahv::platform::StopSignal stopSignal;
  if (const std::error_code ec = stopSignal.open()) {
    std::fprintf(stderr, "vexahv-opcserver: cannot take the stop signals: %s\n", ec.message().c_str());
    return 1;
  }
  bool restart = false;
  int exitCode = 0;
  {
    VEXAHVOPCServerModule module(
        vexahv::platform::ServiceManager::forProcess(vexahv::kServiceName, vexahv::kServiceUnitName), processFirewall,
        vexahv::serviceDefinition());
    vexahv::VEXAHVServerProcess process([&stopSignal] { stopSignal.wake(); });
    process.setOnReady([&module] { module.reportReady(); });
    process.startUp(vexahv::joinCommandLine(argc, argv));

    long registration = 0;
    if (!module.ParseCommandLine(vexahv::joinCommandLine(argc, argv, 1), registration)) {
      // A registration run: its failure is the exit code's, so that scripts see it.
      process.stop();
      return registration >= 0 && process.registrationSucceeded() ? 0 : 1;
    }
    if (!process.serving()) {
      process.stop();
      return process.exitCode();
    }
    vexahv::ProcessAutomationServer automationServer;
    vexahv::VEXAHVOPCService automation(automationServer);
    vexahv::AutomationBus bus;
    if (module.IsRegisteredAsService() == 0) {
      restart = runAsService(module, process, stopSignal, bus, automation, exitCode);
    } else {
      // A local server: any stop signal ends it.
      startAutomation(bus, automation, false);
      waitForStop(stopSignal);
      bus.stop();
      process.stop();
    }
    if (exitCode == 0) exitCode = process.exitCode();
  }
  if (!restart) return exitCode;

  // The stand-in's restart: this process runs again, as the service manager would start it.
  discardPendingStopSignals();
  vexahv::logNotice("Restarting VEXAHVOPCServer: [", argv[0], "]");
  vexahv::stopLogging();
  std::fflush(nullptr);
  ::execv("/proc/self/exe", argv);
  std::fprintf(stderr, "vexahv-opcserver: cannot start again: %s\n", std::strerror(errno));
  return 1;
}
