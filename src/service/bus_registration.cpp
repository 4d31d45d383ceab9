#include "service/bus_registration.h"

#include <cstdlib>

#include "config/automation_names.h"
#include "platform/atomic_file.h"
#include "platform/platform_root.h"

namespace vexahv {
namespace {

constexpr const char* kReadMethods[] = {"getClients",       "getEntry",          "getPowerSupplies",
                                        "getRelease",       "getServerActivity", "getConnectionStatus"};

std::string allowSend(const std::string& attributes) {
  return std::string("    <allow send_destination=\"") + kAutomationBusName + "\"" + attributes + "/>\n";
}

}  // namespace

BusFiles busFilesForProcess() {
  const std::string name = kAutomationBusName;
  const char* root = std::getenv("VEXAHV_ROOT");
  if (root != nullptr && *root != '\0') {
    const std::filesystem::path dir = platform::platformRoot() / "dbus";
    return {dir / "system.d" / (name + ".conf"), dir / "system-services" / (name + ".service")};
  }
  return {std::filesystem::path("/etc/dbus-1/system.d") / (name + ".conf"),
          std::filesystem::path("/usr/share/dbus-1/system-services") / (name + ".service")};
}

std::string busPolicyText(const std::string& serviceUser) {
  std::string t =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<!-- The HV OPC server's configuration interface. Installed by its registration. -->\n"
      "<busconfig>\n";
  if (serviceUser.empty()) {
    t += "  <!-- The service runs as root: only root owns the name and may change the systems list. -->\n"
         "  <policy user=\"root\">\n";
    t += std::string("    <allow own=\"") + kAutomationBusName + "\"/>\n";
    t += allowSend("");
  } else {
    t += "  <!-- The service's own user owns the name; it and root may change the systems list. -->\n"
         "  <policy user=\"" + serviceUser + "\">\n";
    t += std::string("    <allow own=\"") + kAutomationBusName + "\"/>\n";
    t += allowSend("");
    t += "  </policy>\n"
         "  <policy user=\"root\">\n";
    t += allowSend("");
  }
  t += "  </policy>\n"
       "  <!-- Any local user may read what the server serves and how it is. -->\n"
       "  <policy context=\"default\">\n";
  for (const char* method : kReadMethods) {
    t += allowSend(std::string(" send_interface=\"") + kAutomationInterface + "\" send_member=\"" + method + "\"");
  }
  t += allowSend(" send_interface=\"org.freedesktop.DBus.Introspectable\"");
  t += allowSend(" send_interface=\"org.freedesktop.DBus.Peer\"");
  t += "  </policy>\n</busconfig>\n";
  return t;
}

std::string busActivationText(const std::filesystem::path& executable, const std::string& unitName,
                              const std::string& serviceUser) {
  std::string t = "[D-BUS Service]\n";
  t += std::string("Name=") + kAutomationBusName + "\n";
  t += "Exec=" + executable.string() + "\n";
  t += "User=" + (serviceUser.empty() ? std::string("root") : serviceUser) + "\n";
  // Started as the installed service, so that it runs with the service's environment.
  t += "SystemdService=" + unitName + ".service\n";
  return t;
}

std::string installBusFiles(const BusFiles& files, const std::filesystem::path& executable,
                            const std::string& unitName, const std::string& serviceUser) {
  for (const auto& [file, text] : {std::pair{files.policy, busPolicyText(serviceUser)},
                                   std::pair{files.activation, busActivationText(executable, unitName, serviceUser)}}) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (const std::error_code w = platform::replaceFileAtomically(file, text, 0644)) {
      return "cannot write " + file.string() + ": " + w.message();
    }
  }
  return {};
}

std::string removeBusFiles(const BusFiles& files) {
  for (const std::filesystem::path& file : {files.policy, files.activation}) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) return "cannot remove " + file.string() + ": " + ec.message();
  }
  return {};
}

}  // namespace vexahv
