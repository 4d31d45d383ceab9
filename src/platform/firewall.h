#pragma once
// The machine's firewall, as the registration needs it: inbound allow rules added, and
// removed by name (one rule per removal). Two back-ends, chosen at run time (forProcess):
// firewalld, where a rule stands for a firewalld service definition with the server's
// ports in the default zone, and a rule collection kept under <platform root>/firewall/
// for tests and hosts without firewalld.
//
// Results are HRESULT values, as the registration prints them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vexahv::platform {

namespace firewall_result {
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kFail = 0x80004005u;          // E_FAIL
inline constexpr std::uint32_t kAccessDenied = 0x80070005u;  // E_ACCESSDENIED
inline constexpr std::uint32_t kNotFound = 0x80070002u;      // no rule of that name
inline constexpr std::uint32_t kInvalidArgument = 0x80070057u;
}  // namespace firewall_result

struct FirewallRule {
  std::string name, grouping, description;
  int direction = 1;  // inbound
  int action = 1;     // allow
  std::string applicationName;
  int protocol = 6;   // 6 TCP, 17 UDP
  int profiles = 3;   // domain and private
  bool enabled = true;
  bool edgeTraversal = true;
};

// The ports the firewalld back-end opens: the OPC UA port and the event ports with the
// next ones the event channels move up to while a port is taken.
struct FirewallPorts {
  std::uint16_t opcUa = 4840;
  std::uint16_t udpEventFirst = 1527, udpEventLast = 1546;
  std::uint16_t tcpEventFirst = 4527, tcpEventLast = 4546;
};

// The stand-in's file: one rule per line, tab-separated fields. False (and out empty) for
// a damaged text; a name with a tab or a line break is never written.
bool parseFirewallRules(std::string_view text, std::vector<FirewallRule>& out);
std::string formatFirewallRules(const std::vector<FirewallRule>& rules);

class Firewall {
 public:
  virtual ~Firewall() = default;
  virtual const char* backEndName() const noexcept = 0;
  virtual std::uint32_t add(const FirewallRule& rule) = 0;
  // Removes one rule of that name: kNotFound when there is none.
  virtual std::uint32_t removeByName(const std::string& name) = 0;

  // VEXAHV_FIREWALL ("firewalld" or "record") when set; else the record under the
  // platform root when VEXAHV_ROOT is set; else firewalld when it runs; else the record.
  static std::unique_ptr<Firewall> forProcess(const FirewallPorts& ports);
};

// The stand-in: <root>/firewall/rules, one rule per line, replaced atomically under a
// lock, mode 0600, refused when another user could have written it.
class RecordFirewall final : public Firewall {
 public:
  explicit RecordFirewall(std::filesystem::path root);
  const char* backEndName() const noexcept override { return "rule record"; }
  std::uint32_t add(const FirewallRule& rule) override;
  std::uint32_t removeByName(const std::string& name) override;
  // Every rule, in the order added (for tests and inspection).
  std::uint32_t list(std::vector<FirewallRule>& out) const;
  std::filesystem::path rulesFile() const { return dir_ / "rules"; }

 private:
  template <class Change>
  std::uint32_t update(Change change) const;
  std::filesystem::path dir_;
};

// firewalld through firewall-cmd (VEXAHV_FIREWALL_CMD): the service definition
// "vexahv-opcserver" (in /etc/firewalld/services, VEXAHV_FIREWALLD_SERVICE_DIR) added to
// and removed from the default zone permanently, and the running firewall reloaded. One
// service covers both protocols, so the second rule of a pair changes nothing more.
class Firewalld final : public Firewall {
 public:
  Firewalld(std::string firewallCmd, std::filesystem::path serviceDirectory, FirewallPorts ports);
  const char* backEndName() const noexcept override { return "firewalld"; }
  std::uint32_t add(const FirewallRule& rule) override;
  std::uint32_t removeByName(const std::string& name) override;
  static constexpr const char* kServiceName = "vexahv-opcserver";
  std::string serviceDefinition(const FirewallRule& rule) const;

 private:
  std::uint32_t run(std::initializer_list<std::string> args, std::string* output = nullptr) const;
  std::string firewallCmd_;
  std::filesystem::path serviceDirectory_;
  FirewallPorts ports_;
};

}  // namespace vexahv::platform
