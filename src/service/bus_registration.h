#pragma once
// The configuration interface's counterpart of the class registration: the system bus's
// policy file (who may own the name, who may call which method) and its activation file
// (the executable that serves the name). Written at registration, removed at
// unregistration, under /etc/dbus-1/system.d and /usr/share/dbus-1/system-services, or
// under <platform root>/dbus/ wherever VEXAHV_ROOT is set.

#include <filesystem>
#include <string>

namespace vexahv {

struct BusFiles {
  std::filesystem::path policy;      // <dir>/VEXAHVOPCService.VEXAHVOPCService.conf
  std::filesystem::path activation;  // <dir>/VEXAHVOPCService.VEXAHVOPCService.service
};

BusFiles busFilesForProcess();

// Only the service's user (root when empty) owns the name; it and root may change the
// systems list (putEntry, removeEntry); any local user may call the read methods.
std::string busPolicyText(const std::string& serviceUser = {});
std::string busActivationText(const std::filesystem::path& executable, const std::string& unitName,
                              const std::string& serviceUser = {});

// Empty on success, else why not (the file named).
std::string installBusFiles(const BusFiles& files, const std::filesystem::path& executable, const std::string& unitName,
                            const std::string& serviceUser);
std::string removeBusFiles(const BusFiles& files);

}  // namespace vexahv
