#include "platform/firewall.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/child_process.h"
#include "platform/diagnostics.h"
#include "platform/file_lock.h"
#include "platform/platform_root.h"
#include "platform/private_file.h"

namespace vexahv::platform {
namespace {

namespace fr = firewall_result;

constexpr std::size_t kFields = 10;
constexpr std::chrono::seconds kFirewallCmdTimeout{60};

// A field holds no separator, and a rule's line never reads as a comment.
bool clean(const std::string& s) { return s.find_first_of("\t\n") == std::string::npos; }

std::string formatRule(const FirewallRule& r) {
  std::string line;
  bool first = true;
  for (const std::string& f :
       {r.name, r.grouping, r.description, std::to_string(r.direction), std::to_string(r.action), r.applicationName,
        std::to_string(r.protocol), std::to_string(r.profiles), std::string(r.enabled ? "1" : "0"),
        std::string(r.edgeTraversal ? "1" : "0")}) {
    if (!first) line += '\t';  // an empty field keeps its place
    first = false;
    line += f;
  }
  return line + "\n";
}

bool toInt(const std::string& s, int& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::uint32_t fromError(const std::error_code& ec) {
  return ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
                 ec == std::errc::read_only_file_system
             ? fr::kAccessDenied
             : fr::kFail;
}

}  // namespace

bool parseFirewallRules(std::string_view text, std::vector<FirewallRule>& out) {
  out.clear();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line(text.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line.front() == '#') continue;
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (f.size() != kFields) {
      out.clear();
      return false;
    }
    FirewallRule r;
    r.name = f[0], r.grouping = f[1], r.description = f[2], r.applicationName = f[5];
    if (!toInt(f[3], r.direction) || !toInt(f[4], r.action) || !toInt(f[6], r.protocol) ||
        !toInt(f[7], r.profiles) || (f[8] != "0" && f[8] != "1") || (f[9] != "0" && f[9] != "1")) {
      out.clear();
      return false;
    }
    r.enabled = f[8] == "1", r.edgeTraversal = f[9] == "1";
    out.push_back(std::move(r));
  }
  return true;
}

std::string formatFirewallRules(const std::vector<FirewallRule>& rules) {
  std::string text = "# inbound rules: name, grouping, description, direction, action, application, protocol, "
                     "profiles, enabled, edge traversal\n";
  for (const FirewallRule& r : rules) text += formatRule(r);
  return text;
}

RecordFirewall::RecordFirewall(std::filesystem::path root) : dir_(std::move(root) / "firewall") {}

template <class Change>
std::uint32_t RecordFirewall::update(Change change) const {
  std::string reason;
  FileLock lock;
  if (const std::error_code ec = lockPrivateDirectory(dir_, lock, reason)) {
    reportDiagnostic("firewall rules: " + reason);
    return fromError(ec);
  }
  std::vector<FirewallRule> rules;
  if (const std::error_code ec = checkPrivateFile(rulesFile(), reason); ec != std::errc::no_such_file_or_directory) {
    if (ec) {
      reportDiagnostic("firewall rules refused: " + reason);
      return fr::kAccessDenied;
    }
    std::string text;
    if (const std::error_code r = readWholeFile(rulesFile(), text, 4u << 20)) return fromError(r);
    if (!parseFirewallRules(text, rules)) {
      reportDiagnostic("firewall rules: " + rulesFile().string() + " is damaged; it is left as it is");
      return fr::kFail;
    }
  }
  std::uint32_t result = fr::kOk;
  if (!change(rules, result)) return result;
  if (const std::error_code ec = replaceFileAtomically(rulesFile(), formatFirewallRules(rules), 0600)) {
    reportDiagnostic("firewall rules: cannot write " + rulesFile().string() + ": " + ec.message());
    return fromError(ec);
  }
  return result;
}

std::uint32_t RecordFirewall::add(const FirewallRule& rule) {
  if (!clean(rule.name) || rule.name.starts_with('#') || !clean(rule.grouping) || !clean(rule.description) || !clean(rule.applicationName)) {
    return fr::kInvalidArgument;
  }
  return update([&](std::vector<FirewallRule>& rules, std::uint32_t&) {
    rules.push_back(rule);
    return true;
  });
}

std::uint32_t RecordFirewall::removeByName(const std::string& name) {
  return update([&](std::vector<FirewallRule>& rules, std::uint32_t& result) {
    for (auto it = rules.begin(); it != rules.end(); ++it) {
      if (it->name == name) {
        rules.erase(it);
        return true;
      }
    }
    result = fr::kNotFound;
    return false;
  });
}

std::uint32_t RecordFirewall::list(std::vector<FirewallRule>& out) const {
  out.clear();
  return update([&](std::vector<FirewallRule>& rules, std::uint32_t&) {
    out = rules;
    return false;
  });
}

Firewalld::Firewalld(std::string firewallCmd, std::filesystem::path serviceDirectory, FirewallPorts ports)
    : firewallCmd_(std::move(firewallCmd)), serviceDirectory_(std::move(serviceDirectory)), ports_(ports) {}

std::uint32_t Firewalld::run(std::initializer_list<std::string> args, std::string* output) const {
  std::vector<std::string> argv{firewallCmd_};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandResult r = runCommand(argv, kFirewallCmdTimeout);
  if (output) *output = r.output;
  if (r.succeeded()) return fr::kOk;
  if (r.output.find("NOT_AUTHORIZED") != std::string::npos || r.output.find("Authorization failed") != std::string::npos ||
      r.exitStatus == 11) {
    return fr::kAccessDenied;
  }
  return fr::kFail;
}

std::string Firewalld::serviceDefinition(const FirewallRule& rule) const {
  auto port = [](const char* protocol, std::uint16_t first, std::uint16_t last) {
    const std::string range = first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
    return "  <port protocol=\"" + std::string(protocol) + "\" port=\"" + range + "\"/>\n";
  };
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<service>\n";
  xml += "  <short>" + rule.name + "</short>\n";
  xml += "  <description>" + rule.description + ": OPC UA clients and the mainframes' event channels</description>\n";
  xml += port("tcp", ports_.opcUa, ports_.opcUa);
  xml += port("tcp", ports_.tcpEventFirst, ports_.tcpEventLast);
  xml += port("udp", ports_.udpEventFirst, ports_.udpEventLast);
  xml += "</service>\n";
  return xml;
}

std::uint32_t Firewalld::add(const FirewallRule& rule) {
  const std::filesystem::path file = serviceDirectory_ / (std::string(kServiceName) + ".xml");
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    if (const std::error_code w = replaceFileAtomically(file, serviceDefinition(rule), 0644)) {
      reportDiagnostic("firewalld: cannot write " + file.string() + ": " + w.message());
      return fromError(w);
    }
    // firewalld reads service definitions when it (re)loads.
    if (const std::uint32_t r = run({"--reload"}); r != fr::kOk) return r;
  }
  std::string output;
  if (const std::uint32_t r = run({"--permanent", "--add-service=" + std::string(kServiceName)}, &output); r != fr::kOk)
    return r;
  if (output.find("ALREADY_ENABLED") != std::string::npos) return fr::kOk;  // the pair's second rule
  return run({"--reload"});
}

std::uint32_t Firewalld::removeByName(const std::string&) {
  const std::filesystem::path file = serviceDirectory_ / (std::string(kServiceName) + ".xml");
  std::string output;
  if (const std::uint32_t r = run({"--permanent", "--remove-service=" + std::string(kServiceName)}, &output);
      r != fr::kOk && output.find("INVALID_SERVICE") == std::string::npos) {
    return r;
  }
  const bool wasEnabled = output.find("NOT_ENABLED") == std::string::npos && output.find("INVALID_SERVICE") == std::string::npos;
  if (wasEnabled) return run({"--reload"});
  // The pair's second removal: the zone no longer names the service; its definition goes.
  std::error_code ec;
  if (!std::filesystem::remove(file, ec)) return ec ? fromError(ec) : fr::kNotFound;
  return run({"--reload"});
}

std::unique_ptr<Firewall> Firewall::forProcess(const FirewallPorts& ports) {
  const char* chosen = std::getenv("VEXAHV_FIREWALL");
  const char* cmd = std::getenv("VEXAHV_FIREWALL_CMD");
  const std::string firewallCmd = cmd != nullptr && *cmd != '\0' ? cmd : "firewall-cmd";
  bool firewalld = false;
  if (chosen != nullptr && *chosen != '\0') {
    firewalld = std::strcmp(chosen, "firewalld") == 0;
  } else {
    const char* root = std::getenv("VEXAHV_ROOT");
    firewalld = (root == nullptr || *root == '\0') &&
                runCommand({firewallCmd, "--state"}, std::chrono::seconds(10)).succeeded();
  }
  if (!firewalld) return std::make_unique<RecordFirewall>(platformRoot());
  const char* dir = std::getenv("VEXAHV_FIREWALLD_SERVICE_DIR");
  return std::make_unique<Firewalld>(firewallCmd, dir != nullptr && *dir != '\0' ? dir : "/etc/firewalld/services",
                                     ports);
}

}  // namespace vexahv::platform
