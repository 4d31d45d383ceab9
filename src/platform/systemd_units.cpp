#include "platform/systemd_units.h"

namespace vexahv::platform {
namespace {

// systemd's quoting for a path in ExecStart= and WorkingDirectory=: specifiers and
// backslashes doubled, the whole in double quotes when it holds blanks.
std::string escaped(const std::filesystem::path& path) {
  std::string out;
  for (char c : path.string()) {
    if (c == '%') out += "%%";
    else if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else out += c;
  }
  return out;
}

std::string unitPath(const std::filesystem::path& path) {
  const std::string out = escaped(path);
  return out.find_first_of(" \t") == std::string::npos ? out : "\"" + out + "\"";
}

bool under(const std::filesystem::path& path, const char* top) {
  const std::string p = path.lexically_normal().string();
  const std::string t = top;
  return p == t || p.rfind(t + "/", 0) == 0;
}

constexpr const char* kDefaultStateDirectory = "/var/lib/vexahv";

}  // namespace

std::string serviceUnitText(const ServiceDefinition& d, const std::string& unitName) {
  std::string t;
  t += "# Installed by \"" + d.executable.string() + " /Service\"; removed by \"/UnregServer\".\n";
  t += "[Unit]\n";
  t += "Description=" + d.displayName + "\n";
  // The socket unit holds the OPC UA port; a client that connects while the service is
  // stopped starts it again.
  t += "Requires=" + unitName + ".socket\n";
  t += "After=" + unitName + ".socket network-online.target\n";
  t += "Wants=network-online.target\n";
  t += "\n[Service]\n";
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  t += "ExecStart=" + unitPath(d.executable) + "\n";
  t += "WorkingDirectory=" + escaped(d.workingDirectory) + "\n";
  // Under systemd whatever the environment of the installing shell said.
  t += "Environment=VEXAHV_SERVICE_MANAGER=systemd\n";
  const bool ownRoot = d.platformRoot.lexically_normal() != kDefaultStateDirectory;
  // A user other than root would look for its state in its home: it is told the state
  // directory's name.
  if (ownRoot || !d.user.empty()) t += "Environment=\"VEXAHV_ROOT=" + escaped(d.platformRoot) + "\"\n";
  // The stop sequence is bounded well inside this.
  t += "TimeoutStopSec=60\n";
  t += "WatchdogSec=60\n";
  t += "Restart=on-failure\n";
  t += "RestartSec=5\n";
  if (!d.user.empty()) {
    t += "User=" + d.user + "\n";
    t += "Group=" + d.user + "\n";
  }
  t += "NoNewPrivileges=yes\n";
  t += "ProtectSystem=strict\n";
  // A platform root in a home directory must stay reachable.
  const bool inHome = under(d.platformRoot, "/home") || under(d.platformRoot, "/root") ||
                      under(d.workingDirectory, "/home") || under(d.workingDirectory, "/root");
  if (!inHome) t += "ProtectHome=yes\n";
  t += "PrivateTmp=yes\n";
  t += "ProtectKernelTunables=yes\n";
  t += "ProtectKernelModules=yes\n";
  t += "ProtectControlGroups=yes\n";
  t += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
  if (!d.user.empty()) {
    // What an unprivileged server that only talks OPC UA, D-Bus and the mainframes'
    // protocol over IP can do without: no capability, no device, no other process, no
    // kernel knob, no code written at run time, only the system calls a service makes.
    t += "CapabilityBoundingSet=\n";
    t += "AmbientCapabilities=\n";
    t += "PrivateDevices=yes\n";
    t += "ProtectProc=invisible\n";
    t += "ProcSubset=pid\n";
    t += "ProtectClock=yes\n";
    t += "ProtectHostname=yes\n";
    t += "ProtectKernelLogs=yes\n";
    t += "RestrictNamespaces=yes\n";
    t += "RestrictRealtime=yes\n";
    t += "RestrictSUIDSGID=yes\n";
    t += "LockPersonality=yes\n";
    t += "MemoryDenyWriteExecute=yes\n";
    t += "PrivateMounts=yes\n";
    t += "RemoveIPC=yes\n";
    t += "PrivateIPC=yes\n";
    t += "SystemCallArchitectures=native\n";
    t += "SystemCallFilter=@system-service\n";
    t += "SystemCallFilter=~@privileged @resources\n";
    t += "SystemCallErrorNumber=EPERM\n";
    t += "UMask=0077\n";
  }
  // Registry hives, records, certificates and the configuration file; the log.
  t += "StateDirectory=vexahv\n";
  t += "StateDirectoryMode=0700\n";
  t += "LogsDirectory=vexahv\n";
  t += "LogsDirectoryMode=0750\n";
  if (ownRoot) t += "ReadWritePaths=" + unitPath(d.platformRoot) + "\n";
  if (d.workingDirectory.lexically_normal() != d.platformRoot.lexically_normal())
    t += "ReadWritePaths=" + unitPath(d.workingDirectory) + "\n";
  t += "\n[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

std::string socketUnitText(const ServiceDefinition& d, const std::string& unitName) {
  std::string t;
  t += "# Installed with " + unitName + ".service: the OPC UA port, held while the service is stopped.\n";
  t += "[Unit]\n";
  t += "Description=" + d.displayName + " OPC UA port\n";
  t += "\n[Socket]\n";
  t += "ListenStream=" + d.listenHost + ":" + std::to_string(d.listenPort) + "\n";
  t += "Service=" + unitName + ".service\n";
  t += "\n[Install]\n";
  t += "WantedBy=sockets.target\n";
  return t;
}

}  // namespace vexahv::platform
