#include "addressspace/hardware_alarms.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <span>
#include <string_view>

#include "addressspace/name_tables.h"
#include "config/server_globals.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"
#include "opctoolbox/application.h"
#include "opctoolbox/client_access.h"
#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace vexahv {
namespace {

// OPC UA's TripAlarmType and OffNormalAlarmType, which ours derive from.
constexpr std::uint32_t kTripAlarmType = 10751, kOffNormalAlarmType = 10637;
// A crate that does not answer leaves its high voltage unwatched: the most severe.
constexpr std::uint32_t kConnectionLostType = 0x10010;
constexpr std::uint16_t kConnectionLostSeverity = 1000;
// A crate that answers but sends no events: its values are stale while they look good.
constexpr std::uint32_t kEventChannelLostType = 0x10011;
constexpr std::uint16_t kEventChannelLostSeverity = 800;
// A crate whose items do not exist: nothing of it can be watched until it is built.
constexpr std::uint32_t kNotBuiltType = 0x10012;
constexpr std::uint16_t kNotBuiltSeverity = 900;

struct BitAlarm {
  unsigned bit;
  const char* name;       // the condition's name, the end of its id
  const char* cause;      // in the message
  const char* typeName;
  std::uint32_t type;     // namespace 1
  std::uint32_t baseType;
  std::uint16_t severity;
};

// Channel status bits: 3 over-current, 4 over-voltage, 5 under-voltage, 6 at the software
// maximum, 7 tripped, 8 killed, 9 an external interlock. A trip and an interlock are the
// most severe; sitting at the software maximum is a notice.
constexpr std::array<BitAlarm, 7> kChannelBits = {{
    {7, "Trip", "tripped", "ChannelTripAlarmType", 0x10001, kTripAlarmType, 900},
    {8, "Killed", "killed", "ChannelKilledAlarmType", 0x10002, kTripAlarmType, 800},
    {3, "OverCurrent", "over current", "ChannelOverCurrentAlarmType", 0x10003, kOffNormalAlarmType, 700},
    {4, "OverVoltage", "over voltage", "ChannelOverVoltageAlarmType", 0x10004, kOffNormalAlarmType, 700},
    {5, "UnderVoltage", "under voltage", "ChannelUnderVoltageAlarmType", 0x10005, kOffNormalAlarmType, 500},
    {6, "AtMaximum", "at its software maximum", "ChannelAtMaximumAlarmType", 0x10006, kOffNormalAlarmType, 300},
    {9, "Interlock", "stopped by an external interlock", "ChannelInterlockAlarmType", 0x10007, kOffNormalAlarmType,
     900},
}};
// Board status bits: 0 power failed, 1 over-temperature, 2 under-temperature, 3
// calibration lost, 4 firmware fault. A board without power leaves its channels without
// high voltage, one too hot is about to.
constexpr std::array<BitAlarm, 5> kBoardBits = {{
    {0, "PowerFail", "power failed", "BoardPowerFailAlarmType", 0x10020, kOffNormalAlarmType, 900},
    {1, "OverTemperature", "over temperature", "BoardOverTemperatureAlarmType", 0x10021, kOffNormalAlarmType, 800},
    {2, "UnderTemperature", "under temperature", "BoardUnderTemperatureAlarmType", 0x10022, kOffNormalAlarmType,
     500},
    {3, "CalibrationLost", "lost its calibration", "BoardCalibrationLostAlarmType", 0x10023, kOffNormalAlarmType,
     600},
    {4, "FirmwareFault", "has a firmware fault", "BoardFirmwareFaultAlarmType", 0x10024, kOffNormalAlarmType, 600},
}};

template <std::size_t N>
std::array<OpcToolbox::ConditionClass, N> defaultClasses(const std::array<BitAlarm, N>& bits) {
  std::array<OpcToolbox::ConditionClass, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = {bits[i].name, bits[i].type, bits[i].severity};
  return out;
}

// The kinds of condition of a channel or board with a status word, and of a crate, with
// the severities in force: the defaults, or the alarms file's, set before anything reports.
std::array<OpcToolbox::ConditionClass, kChannelBits.size()> gChannelClasses = defaultClasses(kChannelBits);
std::array<OpcToolbox::ConditionClass, kBoardBits.size()> gBoardClasses = defaultClasses(kBoardBits);
// The event channel last: only a UDP crate has it.
enum CrateKind : std::size_t { kConnectionLost, kNotBuilt, kEventChannelLost };
std::array<OpcToolbox::ConditionClass, 3> gCrateClasses = {{
    {"ConnectionLost", kConnectionLostType, kConnectionLostSeverity},
    {"NotBuilt", kNotBuiltType, kNotBuiltSeverity},
    {"EventChannelLost", kEventChannelLostType, kEventChannelLostSeverity},
}};

std::span<const OpcToolbox::ConditionClass> conditionsOfSource(std::string_view source) {
  const OpcToolbox::DaAddressSpaceRoot* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  if (root == nullptr) return {};
  const auto element = std::dynamic_pointer_cast<VEXAHVElement>(root->findElement(std::string(source)));
  if (!element) return {};
  // Only a crate that reports over UDP has an event channel of its own to lose; a TCP one
  // that loses its connection is lost.
  if (element->getKind() == ElementKind::System) {
    return element->getSystemType() == 0 ? std::span<const OpcToolbox::ConditionClass>(gCrateClasses)
                                         : std::span<const OpcToolbox::ConditionClass>(gCrateClasses).first(kEventChannelLost);
  }
  const bool channel = element->getKind() == ElementKind::Channel;
  if (!channel && element->getKind() != ElementKind::Board) return {};
  // Whatever the crate calls it: the parameter of the status word's type.
  const ElementKind param = channel ? ElementKind::ChannelParam : ElementKind::BoardParam;
  const auto type = static_cast<std::int32_t>(channel ? kChannelStatusType : kBoardStatusType);
  for (const auto& child : element->getChildren()) {
    const auto* item = dynamic_cast<const VEXAHVElement*>(child.get());
    if (item != nullptr && item->getKind() == param && item->getParamType() == type) {
      return channel ? std::span<const OpcToolbox::ConditionClass>(gChannelClasses)
                     : std::span<const OpcToolbox::ConditionClass>(gBoardClasses);
    }
  }
  return {};
}

// A crate's condition of that kind, now.
OpcToolbox::ConditionReport crateReport(const std::string& crate, CrateKind kind, bool active) {
  const OpcToolbox::ConditionClass& c = gCrateClasses[kind];
  OpcToolbox::ConditionReport r;
  r.id = crate + "#" + c.name;
  r.source = crate;
  r.name = c.name;
  r.type = c.type;
  r.active = active;
  r.severity = c.severity;
  r.time = OpcToolbox::DateTime::now();
  return r;
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
  for (const auto bits : {std::span<const BitAlarm>(kChannelBits), std::span<const BitAlarm>(kBoardBits)}) {
    for (const BitAlarm& a : bits) {
      if (table.baseTypeOf(a.type) == 0) table.declareType({a.type, a.typeName, a.baseType});
    }
  }
  if (table.baseTypeOf(kConnectionLostType) == 0) {
    table.declareType({kConnectionLostType, "CrateConnectionLostAlarmType", kOffNormalAlarmType});
  }
  if (table.baseTypeOf(kNotBuiltType) == 0) {
    table.declareType({kNotBuiltType, "CrateNotBuiltAlarmType", kOffNormalAlarmType});
  }
  if (table.baseTypeOf(kEventChannelLostType) == 0) {
    table.declareType({kEventChannelLostType, "CrateEventChannelLostAlarmType", kOffNormalAlarmType});
  }
  table.setSourceConditions(conditionsOfSource);
}

void reportCrateConnection(OpcToolbox::ConditionTable& table, const std::string& crate, const std::string& address,
                           std::int32_t status) {
  if (status != kStatusOk && status != kStatusKo) return;
  OpcToolbox::ConditionReport r = crateReport(crate, kConnectionLost, status == kStatusKo);
  r.message = r.active ? crate + " lost: no answer from " + address : crate + " answers again";
  table.report(r);
}

void reportCrateEvents(OpcToolbox::ConditionTable& table, const std::string& crate, bool lost) {
  OpcToolbox::ConditionReport r = crateReport(crate, kEventChannelLost, lost);
  r.message = lost ? crate + " sends no events: its values may be stale" : crate + " sends events again";
  table.report(r);
}

void reportCrateBuilt(OpcToolbox::ConditionTable& table, const std::string& crate, const std::string& address,
                      int initResult) {
  OpcToolbox::ConditionReport r = crateReport(crate, kNotBuilt, initResult != 0);
  if (!r.active) {
    r.message = crate + " is built";
  } else {
    const char* why = initResult == VEXAHV_ERR_LOGIN_REFUSED ? "its login was refused"
                      : initResult == VEXAHV_ERR_SYSTEM_TYPE ? "its system type is not the mainframe's"
                      : initResult < 0                       ? "its entry has no user name or password"
                                                             : nullptr;
    r.message = crate + " could not be built: " + (why != nullptr ? std::string(why) : "no answer from " + address);
  }
  table.report(r);
}

void reportStatusWord(OpcToolbox::ConditionTable& table, const VEXAHVElement& status, std::uint32_t word,
                      const OpcToolbox::DateTime& when) {
  const auto owner = status.getParentElement();
  if (!owner) return;
  const bool channel = status.getKind() == ElementKind::ChannelParam;
  const std::span<const BitAlarm> bits = channel ? std::span<const BitAlarm>(kChannelBits) : std::span<const BitAlarm>(kBoardBits);
  const std::span<const OpcToolbox::ConditionClass> classes =
      channel ? std::span<const OpcToolbox::ConditionClass>(gChannelClasses)
              : std::span<const OpcToolbox::ConditionClass>(gBoardClasses);
  const std::string source = owner->getItemId();
  const OpcToolbox::DaAddressSpaceRoot* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  for (std::size_t k = 0; k < bits.size(); ++k) {
    const BitAlarm& a = bits[k];
    OpcToolbox::ConditionReport r;
    r.active = ((word >> a.bit) & 1u) != 0;
    r.id = source + "#" + a.name;
    // Most words change no alarm: the message is made only for one that may be news.
    if (r.active == table.isActive(r.id)) continue;
    r.source = source;
    r.name = a.name;
    r.type = a.type;
    r.severity = classes[k].severity;
    r.time = when;
    r.message = spaced(source) + " " + (r.active ? a.cause : std::string("no longer ") + a.cause);
    if (r.active && root != nullptr) {
      // A channel's voltage and current, a board's temperature, where they are kept current.
      std::string values = valueOf(*root, source + (channel ? ".VMon" : ".Temp"));
      const std::string current = channel ? valueOf(*root, source + ".IMon") : std::string();
      if (!values.empty() && !current.empty()) values += ", ";
      values += current;
      if (!values.empty()) r.message += " at " + values;
    }
    table.report(r);
  }
}

std::string parseAlarmSeverities(std::string_view text) {
  auto channels = defaultClasses(kChannelBits);
  auto boards = defaultClasses(kBoardBits);
  auto crates = gCrateClasses;
  crates[kConnectionLost].severity = kConnectionLostSeverity;
  crates[kNotBuilt].severity = kNotBuiltSeverity;
  crates[kEventChannelLost].severity = kEventChannelLostSeverity;
  const std::string error = OpcToolbox::ua::forEachSetting(text, [&](std::string_view key, std::string_view value) {
    OpcToolbox::ConditionClass* kind = nullptr;
    for (auto& c : channels) kind = key == c.name ? &c : kind;
    for (auto& c : boards) kind = key == c.name ? &c : kind;
    for (auto& c : crates) kind = key == c.name ? &c : kind;
    if (kind == nullptr) {
      std::string known;
      for (const auto& c : channels) known += std::string(known.empty() ? "" : ", ") + c.name;
      for (const auto& c : boards) known += std::string(", ") + c.name;
      for (const auto& c : crates) known += std::string(", ") + c.name;
      return "no alarm is named [" + OpcToolbox::ua::shownSetting(key) + "] (there are " + known + ")";
    }
    unsigned severity = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), severity);
    if (ec != std::errc() || end != value.data() + value.size() || severity < 1 || severity > 1000) {
      return "the severity of [" + std::string(kind->name) + "] is a whole number from 1 to 1000, not [" +
             OpcToolbox::ua::shownSetting(value) + "]";
    }
    kind->severity = static_cast<std::uint16_t>(severity);
    return std::string();
  });
  if (!error.empty()) return error;
  gChannelClasses = channels;
  gBoardClasses = boards;
  gCrateClasses = crates;
  return {};
}

std::string loadAlarmSeverities(const std::filesystem::path& file) {
  const std::string error = OpcToolbox::ua::readSettingsFile(file, parseAlarmSeverities);
  // A missing file: the defaults, as when no file was ever read.
  if (error.empty() && !std::filesystem::exists(file)) (void)parseAlarmSeverities({});
  return error;
}

std::uint16_t alarmSeverity(std::string_view name) {
  for (const auto& c : gChannelClasses) {
    if (name == c.name) return c.severity;
  }
  for (const auto& c : gBoardClasses) {
    if (name == c.name) return c.severity;
  }
  for (const auto& c : gCrateClasses) {
    if (name == c.name) return c.severity;
  }
  return 0;
}

namespace {

Unobserved gUnobserved;

// The polled crates' status items the server watches while reads are batched, and the
// monitors it holds on them meanwhile (none while reads go item by item).
struct PolledWatch {
  const OpcToolbox::ClientAccess* clients;  // whose monitors the handles are
  std::string system;
  std::vector<std::weak_ptr<VEXAHVElement>> items;
  std::vector<std::uint64_t> handles;
};
std::mutex gPolledMutex;
std::vector<PolledWatch> gPolled;  // under gPolledMutex

void notWatched(const std::string& system) {
  logWarning("Status words of system [", system, "] are read only for the channels clients watch, so are its alarms:",
             " its reads are not batched");
}

// Under gPolledMutex: the watches of another application's crates, or of items that are
// gone, are dropped, so that no monitor handle is ever given to monitors it did not name.
void prunePolled(const OpcToolbox::ClientAccess* clients) {
  std::erase_if(gPolled, [clients](const PolledWatch& w) {
    return w.clients != clients ||
           std::none_of(w.items.begin(), w.items.end(), [](const auto& item) { return !item.expired(); });
  });
}

// Under gPolledMutex.
void monitorPolled(OpcToolbox::ClientAccess& clients, PolledWatch& w) {
  const OpcToolbox::ClientAccess::ActivationHold gather(&clients);
  for (const auto& weak : w.items) {
    if (const auto item = weak.lock()) {
      std::uint64_t handle = 0;
      if (clients.monitor(item, kStatusWatchMs, &gUnobserved, handle) == OpcToolbox::S_OK) w.handles.push_back(handle);
    }
  }
}

}  // namespace

void followBatchedReads(bool batched) {
  OpcToolbox::ClientAccess* clients = OpcToolbox::getApp()->clients();
  if (clients == nullptr) return;
  std::lock_guard lock(gPolledMutex);
  prunePolled(clients);
  for (PolledWatch& w : gPolled) {
    if (batched && w.handles.empty()) {
      monitorPolled(*clients, w);
    } else if (!batched && !w.handles.empty()) {
      const OpcToolbox::ClientAccess::ActivationHold gather(clients);
      for (const std::uint64_t handle : w.handles) clients->unmonitor(handle);
      w.handles.clear();
      notWatched(w.system);
    }
  }
}

void watchStatusItems(const std::string& system, const std::vector<VEXAHVElementPtr>& items) {
  OpcToolbox::ClientAccess* clients = OpcToolbox::getApp()->clients();
  if (clients == nullptr) return;
  PolledWatch polled{clients, system, {}, {}};
  {
    const OpcToolbox::ClientAccess::ActivationHold gather(clients);
    for (const auto& item : items) {
      if (item->getIoMode() == OpcToolbox::kIoPoll) {
        polled.items.push_back(item);
      } else if (item->getIoMode() == OpcToolbox::kIoReport) {
        std::uint64_t handle = 0;
        clients->monitor(item, kStatusWatchMs, &gUnobserved, handle);
      }
    }
  }
  // A polled crate's words are read in one call per board when reads are batched; item
  // by item, a call per channel each time would take the crate's link from its clients.
  if (!polled.items.empty()) {
    std::lock_guard lock(gPolledMutex);
    prunePolled(clients);
    // Built again: the watch of its items before goes.
    std::erase_if(gPolled, [&](const PolledWatch& w) {
      if (w.system != system) return false;
      for (const std::uint64_t handle : w.handles) clients->unmonitor(handle);
      return true;
    });
    if (VEXAHVServerGlobals::getUseBatchedGroupTransactions()) monitorPolled(*clients, polled);
    else notWatched(system);
    gPolled.push_back(std::move(polled));
  }
  // Subscribed before the crate counts as built: nothing of it is left to run behind.
  clients->flushActivations();
}

}  // namespace vexahv
