#include "service/firewall_rule.h"

#include <cstdio>

#include "platform/process_identity.h"

namespace vexahv {

std::uint32_t applyFirewallRule(platform::Firewall& firewall, int protocol, bool add) {
  platform::FirewallRule rule;
  rule.name = rule.grouping = rule.description = kFirewallRuleText;
  rule.direction = 1;
  rule.action = 1;
  // The path as the rule's application, at most 1024 bytes as the rule keeps it.
  rule.applicationName = platform::executablePath().string().substr(0, 1024);
  rule.protocol = protocol;
  rule.profiles = 3;
  rule.enabled = true;
  rule.edgeTraversal = true;
  std::uint32_t hr = 0;
  if (add) {
    hr = firewall.add(rule);
    if (hr == 0) std::printf("Successfully added firewall rule !\n");
    else std::printf("Failed to add firewall rule to the firewall rules collection : 0x%08lx\n", static_cast<unsigned long>(hr));
  } else {
    hr = firewall.removeByName(rule.name);
    if (hr == 0) std::printf("Successfully removed firewall rule !\n");
    else std::printf("Failed to remove firewall rule from the firewall rules collection : 0x%08lx\n", static_cast<unsigned long>(hr));
  }
  std::fflush(stdout);
  return hr;
}

int addFirewallRule(platform::Firewall& firewall) {
  // A failure of the TCP rule does not keep the UDP rule out.
  applyFirewallRule(firewall, 6, true);
  applyFirewallRule(firewall, 17, true);
  return 0;
}

int removeFirewallRule(platform::Firewall& firewall) {
  applyFirewallRule(firewall, 6, false);
  applyFirewallRule(firewall, 17, false);
  return 0;
}

}  // namespace vexahv
