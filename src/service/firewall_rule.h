#pragma once
// The inbound allow rules for the server's executable, one for TCP and one for UDP, added
// when the server is registered and removed when it is unregistered. Every outcome is
// printed on standard output; nothing goes to the log, and the registration's own result
// never depends on the firewall.

#include <cstdint>

#include "platform/firewall.h"

namespace vexahv {

inline constexpr const char* kFirewallRuleText = "OPC Server for VEXA Power Supplies";

// Both return 0 whatever happened.
int addFirewallRule(platform::Firewall& firewall);
int removeFirewallRule(platform::Firewall& firewall);
// One rule of protocol (6 or 17): added, or removed by its name. The firewall's result.
std::uint32_t applyFirewallRule(platform::Firewall& firewall, int protocol, bool add);

}  // namespace vexahv
