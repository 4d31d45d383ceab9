// Writes the files the Debian package installs that the server's own registration also
// writes (the systemd units, the bus policy and activation file), from the same code, for
// the package's paths and user: what the package installs is what /Service would.
//
// usage: vexahv-package-files OUTPUT_DIR

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/atomic_file.h"
#include "platform/service_manager.h"
#include "platform/systemd_units.h"
#include "service/bus_registration.h"
#include "config/automation_names.h"
#include "service/service_module.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vexahv-package-files OUTPUT_DIR\n");
    return 2;
  }
  const std::filesystem::path out = argv[1];
  vexahv::platform::ServiceDefinition d;
  d.name = vexahv::kServiceName;
  d.displayName = vexahv::kServiceName;
  d.executable = "/usr/bin/vexahv-opcserver";
  d.platformRoot = d.workingDirectory = "/var/lib/vexahv";
  d.user = "vexahv";
  const std::string unit = vexahv::kServiceUnitName;
  const std::string bus = vexahv::kAutomationBusName;
  // The registration's first line says how it was installed and how to remove it; here
  // that is the package's doing.
  std::string service = vexahv::platform::serviceUnitText(d, unit);
  service = "# Installed by the vexahv-opcserver package.\n" + service.substr(service.find('\n') + 1);
  const std::pair<std::string, std::string> files[] = {
      {unit + ".service", service},
      {unit + ".socket", vexahv::platform::socketUnitText(d, unit)},
      {bus + ".conf", vexahv::busPolicyText(d.user)},
      {bus + ".service", vexahv::busActivationText(d.executable, unit, d.user)},
  };
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  for (const auto& [name, text] : files) {
    if (const std::error_code w = vexahv::platform::replaceFileAtomically(out / name, text, 0644)) {
      std::fprintf(stderr, "vexahv-package-files: cannot write %s: %s\n", (out / name).c_str(), w.message().c_str());
      return 1;
    }
  }
  return 0;
}
