#pragma once
// The OPC server's own class registration in HKEY_CLASSES_ROOT of the registry stand-in:
// the ProgID, the version-independent ProgID and the CLSID with its description and
// executable path, as a COM local server would leave them.

#include <string>

namespace OpcToolbox {

struct RegistrationInfo {
  std::string clsid;        // "{...}"
  std::string progId;       // "Vendor.Server.5"
  std::string verIndProgId; // "Vendor.Server"
  std::string description;
  std::string serviceName;
  std::string executable;   // path of the running program
};

// All keys in one registry transaction: every key or none. S_OK or E_FAIL.
long registerServer(const RegistrationInfo& info, bool asService);
long unregisterServer(const RegistrationInfo& info);

// What a command line asks: 0 nothing, 1 register, 2 register as a service, 3 unregister.
// Switches begin with '-' or '/', any letter case.
int registrationSwitch(const std::string& commandLine);

}  // namespace OpcToolbox
