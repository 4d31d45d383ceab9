// The service shell's own files under the platform root: the service record and the
// firewall rule collection. Damage is refused, never half read; what is read is written
// back the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/firewall.h"
#include "platform/service_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vexahv::platform::ServiceRecord record;
  if (vexahv::platform::parseServiceRecord(text, record)) {
    vexahv::platform::ServiceRecord again;
    if (!vexahv::platform::parseServiceRecord(vexahv::platform::formatServiceRecord(record), again)) std::abort();
    if (vexahv::platform::formatServiceRecord(again) != vexahv::platform::formatServiceRecord(record)) std::abort();
  }
  std::vector<vexahv::platform::FirewallRule> rules;
  if (vexahv::platform::parseFirewallRules(text, rules)) {
    std::vector<vexahv::platform::FirewallRule> again;
    const std::string written = vexahv::platform::formatFirewallRules(rules);
    if (!vexahv::platform::parseFirewallRules(written, again) || again.size() != rules.size()) std::abort();
    if (vexahv::platform::formatFirewallRules(again) != written) std::abort();
  } else if (!rules.empty()) {
    std::abort();
  }
  return 0;
}
