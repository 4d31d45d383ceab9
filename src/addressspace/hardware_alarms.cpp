#include "addressspace/hardware_alarms.h"

#include <array>
#include <cstdio>
#include <span>
#include <string_view>

#include "addressspace/name_tables.h"
#include "opctoolbox/application.h"
#include "opctoolbox/client_access.h"
#include "opctoolbox/da_address_space_root.h"

namespace vexahv {
namespace {

// OPC UA's TripAlarmType and OffNormalAlarmType, which ours derive from.
constexpr std::uint32_t kTripAlarmType = 10751, kOffNormalAlarmType = 10637;
// A crate that does not answer leaves its high voltage unwatched: the most severe.
constexpr std::uint32_t kConnectionLostType = 0x10010;
constexpr std::uint16_t kConnectionLostSeverity = 1000;

struct BitAlarm {
  unsigned bit;
  const char* name;       // the condition's name, the end of its id
  const char* cause;      // in the message
  const char* typeName;
  std::uint32_t type;     // namespace 1
  std::uint32_t baseType;
  std::uint16_t severity;
};

// Status bits: 3 over-current, 4 over-voltage, 5 under-voltage, 6 at the software
// maximum, 7 tripped, 8 killed. A trip is the most severe; sitting at the software
// maximum is a notice.
constexpr std::array<BitAlarm, 6> kBitAlarms = {{
    {7, "Trip", "tripped", "ChannelTripAlarmType", 0x10001, kTripAlarmType, 900},
    {8, "Killed", "killed", "ChannelKilledAlarmType", 0x10002, kTripAlarmType, 800},
    {3, "OverCurrent", "over current", "ChannelOverCurrentAlarmType", 0x10003, kOffNormalAlarmType, 700},
    {4, "OverVoltage", "over voltage", "ChannelOverVoltageAlarmType", 0x10004, kOffNormalAlarmType, 700},
    {5, "UnderVoltage", "under voltage", "ChannelUnderVoltageAlarmType", 0x10005, kOffNormalAlarmType, 500},
    {6, "AtMaximum", "at its software maximum", "ChannelAtMaximumAlarmType", 0x10006, kOffNormalAlarmType, 300},
}};

// The kinds of condition of a channel with a status word, and of a crate.
constexpr std::array<OpcToolbox::ConditionClass, kBitAlarms.size()> kChannelClasses = [] {
  std::array<OpcToolbox::ConditionClass, kBitAlarms.size()> out{};
  for (std::size_t i = 0; i < kBitAlarms.size(); ++i) out[i] = {kBitAlarms[i].name, kBitAlarms[i].type, kBitAlarms[i].severity};
  return out;
}();
constexpr std::array<OpcToolbox::ConditionClass, 1> kCrateClasses = {{
    {"ConnectionLost", kConnectionLostType, kConnectionLostSeverity},
}};

std::span<const OpcToolbox::ConditionClass> conditionsOfSource(std::string_view source) {
  const OpcToolbox::DaAddressSpaceRoot* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  if (root == nullptr) return {};
  const auto element = std::dynamic_pointer_cast<VEXAHVElement>(root->findElement(std::string(source)));
  if (!element) return {};
  if (element->getKind() == ElementKind::System) return kCrateClasses;
  if (element->getKind() != ElementKind::Channel) return {};
  const auto status = std::dynamic_pointer_cast<VEXAHVElement>(root->findElement(std::string(source) + ".Status"));
  if (status && status->getKind() == ElementKind::ChannelParam &&
      status->getParamType() == static_cast<std::int32_t>(kChannelStatusType)) {
    return kChannelClasses;
  }
  return {};
}

// "1502.3 V" from the channel's parameter item and its engineering unit ("<item>#EU");
// nothing when the item is not kept current (no one watches it, so no event renews it).
std::string valueOf(const OpcToolbox::DaAddressSpaceRoot& root, const std::string& itemId) {
  const auto item = root.findElement(itemId);
  if (!item || !item->getActive()) return {};
  OpcToolbox::ValueQT v;
  item->getCacheValue(v);
  if (v.getData().isEmpty() || v.getQuality() != OpcToolbox::kQualityGood) return {};
  std::string text = v.getData().toString();
  if (v.getData().vartype() == OpcToolbox::VT_R4) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(v.getData().rawR4()));
    text = buf;
  }
  if (const auto unit = root.findElement(itemId + "#EU")) {
    OpcToolbox::ValueQT u;
    unit->getCacheValue(u);
    const std::string symbol = unitSymbol(u.getData().text());
    if (!symbol.empty()) text += " " + symbol;
  }
  return text;
}

std::string spaced(std::string id) {
  for (char& c : id) c = c == '.' ? ' ' : c;
  return id;
}

// Observes nothing: the reports come from the items themselves. Never destroyed, so no
// element can outlive it.
class Unobserved : public OpcToolbox::ValueObserver {
 public:
  void onValueChanged(OpcToolbox::DaAddressSpaceElement&, const OpcToolbox::ValueQT&) override {}
};

}  // namespace

void declareAlarmTypes(OpcToolbox::ConditionTable& table) {
  for (const BitAlarm& a : kBitAlarms) {
    if (table.baseTypeOf(a.type) == 0) table.declareType({a.type, a.typeName, a.baseType});
  }
  if (table.baseTypeOf(kConnectionLostType) == 0) {
    table.declareType({kConnectionLostType, "CrateConnectionLostAlarmType", kOffNormalAlarmType});
  }
  table.setSourceConditions(conditionsOfSource);
}

void reportCrateConnection(OpcToolbox::ConditionTable& table, const std::string& crate, const std::string& address,
                           std::int32_t status) {
  if (status != kStatusOk && status != kStatusKo) return;
  OpcToolbox::ConditionReport r;
  r.id = crate + "#ConnectionLost";
  r.source = crate;
  r.name = "ConnectionLost";
  r.type = kConnectionLostType;
  r.active = status == kStatusKo;
  r.severity = kConnectionLostSeverity;
  r.time = OpcToolbox::DateTime::now();
  r.message = r.active ? crate + " lost: no answer from " + address : crate + " answers again";
  table.report(r);
}

void reportChannelStatus(OpcToolbox::ConditionTable& table, const VEXAHVElement& status, std::uint32_t word,
                         const OpcToolbox::DateTime& when) {
  const auto channel = status.getParentElement();
  if (!channel) return;
  const std::string source = channel->getItemId();
  const OpcToolbox::DaAddressSpaceRoot* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  for (const BitAlarm& a : kBitAlarms) {
    OpcToolbox::ConditionReport r;
    r.active = ((word >> a.bit) & 1u) != 0;
    r.id = source + "#" + a.name;
    // Most words change no alarm: the message is made only for one that may be news.
    if (r.active == table.isActive(r.id)) continue;
    r.source = source;
    r.name = a.name;
    r.type = a.type;
    r.severity = a.severity;
    r.time = when;
    r.message = spaced(source) + " " + (r.active ? a.cause : std::string("no longer ") + a.cause);
    if (r.active && root != nullptr) {
      std::string values = valueOf(*root, source + ".VMon");
      const std::string current = valueOf(*root, source + ".IMon");
      if (!values.empty() && !current.empty()) values += ", ";
      values += current;
      if (!values.empty()) r.message += " at " + values;
    }
    table.report(r);
  }
}

void watchStatusItems(const std::vector<VEXAHVElementPtr>& items) {
  static Unobserved observer;
  OpcToolbox::ClientAccess* clients = OpcToolbox::getApp()->clients();
  if (clients == nullptr) return;
  {
    const OpcToolbox::ClientAccess::ActivationHold gather(clients);
    for (const auto& item : items) {
      if (item->getIoMode() != OpcToolbox::kIoReport) continue;
      std::uint64_t handle = 0;
      clients->monitor(item, 1000, &observer, handle);
    }
  }
  // Subscribed before the crate counts as built: nothing of it is left to run behind.
  clients->flushActivations();
}

}  // namespace vexahv
