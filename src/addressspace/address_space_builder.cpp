// The address-space builder: system nodes from the system entries, and for every system
// that answers its properties, boards, channels, parameters and command items.

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_set>

#include "addressspace/hardware_alarms.h"
#include "opctoolbox/application.h"
#include "addressspace/channel_groups.h"
#include "addressspace/channel_walk.h"
#include "addressspace/crate_map.h"
#include "addressspace/event_ports.h"
#include "addressspace/item_reader.h"
#include "addressspace/name_tables.h"
#include "addressspace/parameter_items.h"
#include "addressspace/vexahv_opc_server.h"
#include "config/server_globals.h"
#include "config/system_entries.h"
#include "config/system_entry.h"
#include "addressspace/history_policy.h"
#include "history/history_service.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::kQualityGood;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;
namespace globals = VEXAHVServerGlobals;

namespace {

// The channel parameters whose history is kept unless the history file says otherwise:
// what is asked first after a trip.
bool keptByDefault(const std::string& parameter) {
  for (const char* name : {"VMon", "IMon", "Status", "Pw", "V0Set", "I0Set"}) {
    if (parameter == name) return true;
  }
  return false;
}

// An item history keeps, as the history file says, and the half of its last decimal (from
// its resolution) that a value must move by to count as a change, 0 for an item without one.
struct KeptItem {
  VEXAHVElementPtr element;
  HistoryPolicy policy;
  double halfStep = 0;
};

// The half step of a parameter whose properties say how many decimals it has.
double halfStepOf(const std::vector<VEXAHVElementPtr>& properties) {
  for (const auto& prop : properties) {
    const std::string& name = prop->getName();
    if (name.size() < 6 || name.compare(name.size() - 6, 6, "#Resol") != 0) continue;
    const ValueQT v = prop->getCachedValue();
    if (v.getQuality() != kQualityGood || v.getData().vartype() != OpcToolbox::VT_UI2) return 0;
    const unsigned decimals = std::min<unsigned>(v.getData().rawUI2(), 12);
    return 0.5 * std::pow(10.0, -static_cast<double>(decimals));
  }
  return 0;
}

// Hands one item to history with its deadband and interval.
void keepItem(history::HistoryService& h, const KeptItem& k) {
  const std::int64_t interval = k.policy.interval ? static_cast<std::int64_t>(*k.policy.interval * 1e7) : -1;
  k.element->setHistorySlot(h.keep(k.element->getItemId(), k.policy.deadband.value_or(k.halfStep), interval));
}

// Once the crate's items have their ids: history keeps them, and those that report events
// are watched by the server like the status words, so their values come whether or not a
// client watches them. A polled item's history follows the reads that are made of it
// anyway: polling every kept item would take the crate's link.
void keepHistory(const std::vector<KeptItem>& kept, std::vector<VEXAHVElementPtr>& watched) {
  history::HistoryService* h = OpcToolbox::getApp()->history();
  if (h == nullptr) return;
  std::unordered_set<const VEXAHVElement*> already;
  for (const auto& e : watched) already.insert(e.get());
  for (const KeptItem& k : kept) {
    keepItem(*h, k);
    if (k.element->getIoMode() == OpcToolbox::kIoReport && already.insert(k.element.get()).second) {
      watched.push_back(k.element);
    }
  }
}

VEXAHVElementPtr item(const std::string& name, ElementKind kind, std::uint16_t type,
                      std::uint32_t access, const Variant& first) {
  auto e = VEXAHVElement::create();
  e->setName(name, kind);
  e->setDatatype(type);
  e->setAccessRights(access);
  e->setHasChildren(false);
  e->setCachedValue(ValueQT(first, kQualityGood, DateTime::now()));
  return e;
}

Variant text(const std::string& s) {
  Variant v;
  v.setBSTR(s);
  return v;
}
Variant ui2(std::uint16_t n) {
  Variant v;
  v.setUI2(n);
  return v;
}
Variant i2(std::int16_t n) {
  Variant v;
  v.setI2(n);
  return v;
}
Variant boolean(bool b) {
  Variant v;
  v.setBOOL(b);
  return v;
}

std::uint16_t systemPropertyDataType(unsigned type) {
  static constexpr std::uint16_t kTypes[] = {OpcToolbox::VT_BSTR, OpcToolbox::VT_R4,  OpcToolbox::VT_UI2,
                                             OpcToolbox::VT_UI4,  OpcToolbox::VT_I2,  OpcToolbox::VT_I4,
                                             OpcToolbox::VT_BOOL};
  return type < std::size(kTypes) ? kTypes[type] : std::uint16_t{OpcToolbox::VT_EMPTY};
}

std::uint32_t systemPropertyAccess(unsigned mode) {
  return mode == 1 ? 2u : mode == 2 ? 3u : 1u;
}

// n NUL-ended texts back to back.
std::vector<std::string> splitTexts(const char* list, std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n && list != nullptr; ++i) {
    out.emplace_back(list);
    list += out.back().size() + 1;
  }
  return out;
}

// The I/O mode of items of a system of this type.
std::uint32_t ioModeFor(std::int32_t systemType, std::uint32_t eventIoMode) {
  if (systemType == 0) return eventIoMode;
  return systemType == 2 ? std::uint32_t{OpcToolbox::kIoReport} : std::uint32_t{OpcToolbox::kIoPoll};
}

// An element of a system: its crate (so its handle and type), I/O mode, and for type 2
// active from the start.
void bind(VEXAHVElement& e, const std::shared_ptr<Crate>& crate, std::uint32_t eventIoMode) {
  e.attachCrate(crate);
  const std::int32_t systemType = crate->systemType();
  e.setIoMode(ioModeFor(systemType, eventIoMode));
  if (systemType == 2) e.setActiveForClients(true);
}

// The item's resolved binding to its hardware, made once here.
void bindItem(VEXAHVElement& e, const VEXAHVElement& node, std::uint16_t slot, std::uint16_t channel) {
  HardwareBinding b;
  b.crate = node.crate();
  b.kind = e.getKind();
  b.systemName = node.getName();
  b.slot = slot;
  b.channel = channel;
  b.parameter = e.getName();
  b.paramType = e.getParamType();
  b.datatype = e.getDatatype();
  e.bindHardware(std::move(b));
}

}  // namespace

int VEXAHVOPCServer::connectSystem(VEXAHVElement* node) {
  if (node == nullptr) return -2;
  std::string address = node->getAddress();
  if (address.size() >= kSystemEntryBuffer) address.resize(kSystemEntryBuffer - 1);
  const std::int32_t linkType = node->getLinkType();
  const std::int32_t systemType = node->getSystemType();
  const std::string user = node->getUserName();
  const std::string password = node->getPassword();
  logInformational("Connecting to system [", node->getName(), "]");
  int rc = -1;
  int handle = -1;
  const bool typeCalls = systemType == 0 || systemType == 4 || systemType == 5 || systemType == 7 ||
                         systemType == 10;
  if (typeCalls || (systemType == 2 && !user.empty() && !password.empty())) {
    rc = VEXAHV_InitSystem(systemType, linkType, address.c_str(), user.c_str(), password.c_str(), &handle);
  }
  if (rc == 0) {
    node->setHandle(handle);
    node->setConnectionStatus(kStatusOk);
  } else {
    node->setConnectionStatus(kStatusKo);
    // Nothing of it exists to watch until a reconnection builds it.
    if (node->crate()) reportCrateBuilt(OpcToolbox::getApp()->conditions(), node->getName(), node->crate()->address(), rc);
  }
  return rc;
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createSystemPropertyItems(std::int32_t handle,
                                                                        std::uint16_t index) {
  std::vector<VEXAHVElementPtr> items;
  std::uint16_t count = 0;
  char* names = nullptr;
  if (VEXAHV_GetSysPropList(handle, &count, &names) != VEXAHV_OK || count == 0) {
    logCritical("Error getting system properties list", " (system [", SystemName{handle}, "])");
    VEXAHV_Free(names);
    return items;
  }
  for (const std::string& name : splitTexts(names, count)) {
    if (buildStopped()) break;
    unsigned mode = 0, type = 0;
    if (VEXAHV_GetSysPropInfo(handle, name.c_str(), &mode, &type) != VEXAHV_OK) {
      logCritical("Error getting system properties informations", " (system [", SystemName{handle}, "], property [",
                  name, "])");
      continue;
    }
    auto e = VEXAHVElement::create();
    e->setName(name, ElementKind::SystemProperty);
    e->setSystemIndex(index);
    e->setParamType(static_cast<std::int32_t>(type));
    e->setDatatype(systemPropertyDataType(type));
    e->setAccessRights(systemPropertyAccess(mode));
    e->setHasChildren(false);
    e->setCachedValue(readSystemProperty(handle, name, static_cast<std::int32_t>(type)));
    items.push_back(std::move(e));
  }
  VEXAHV_Free(names);
  return items;
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createBoards(const VEXAHVElementPtr& node,
                                                           std::int32_t handle, std::uint16_t index) {
  std::vector<VEXAHVElementPtr> boards;
  std::vector<SlotContent> slots;
  if (readCrateMap(handle, slots) != VEXAHV_OK) {
    logCritical("Error getting map of system [", node->getName(), "] crate");
    return boards;
  }
  node->setConnectionStatus(kStatusOk);
  node->setSlotCount(static_cast<std::uint16_t>(slots.size()));
  for (std::uint16_t s = 0; s < slots.size(); ++s) {
    const SlotContent& c = slots[s];
    if (!c.holdsBoard()) continue;
    auto b = VEXAHVElement::create();
    b->setName(boardBranchName(s), ElementKind::Board);
    b->setSystemIndex(index);
    b->setSlot(s);
    b->setChannelCount(c.channels);
    b->setBoardModel(c.model);
    b->setBoardDescription(c.description);
    b->setBoardSerial(c.serial);
    b->setFirmwareMinor(c.firmwareMinor);
    b->setFirmwareMajor(c.firmwareMajor);
    b->setHasChildren(true);
    b->setIoMode(OpcToolbox::kIoNone);
    boards.push_back(std::move(b));
  }
  return boards;
}

Variant boardInfoValue(std::string_view name, const VEXAHVElement& board) {
  if (name == "Model") return text(board.getBoardModel());
  if (name == "Description") return text(board.getBoardDescription());
  if (name == "Fmw Release") return text(board.getFirmwareMajor() + "." + board.getFirmwareMinor());
  if (name == "SerNum") return i2(static_cast<std::int16_t>(board.getBoardSerial()));
  if (name == "NrOfCh") return i2(static_cast<std::int16_t>(board.getChannelCount()));
  return Variant{};
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createBoardInfoItems(const VEXAHVElement& board) {
  const std::uint16_t index = board.getSystemIndex();
  std::vector<VEXAHVElementPtr> items;
  for (const char* name : {"Model", "Description", "Fmw Release", "SerNum", "NrOfCh"}) {
    const Variant v = boardInfoValue(name, board);
    items.push_back(item(name, ElementKind::BoardInfo, v.vartype(), 1, v));
  }
  for (auto& e : items) e->setSystemIndex(index);
  return items;
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createChannels(std::uint16_t index, std::int32_t handle,
                                                             std::uint16_t slot, std::uint16_t channelCount) {
  std::vector<VEXAHVElementPtr> channels;
  const VEXAHVElementPtr node = getSystemList() ? getSystemList()->at(index) : nullptr;
  const std::int32_t systemType = node ? node->getSystemType() : -1;
  const bool named = systemType == 0 || systemType == 2;
  // One call for the whole board when sharing; a failed one falls back to a call per
  // channel, which names the channel that failed.
  std::vector<std::string> boardNames;
  const bool batched = named && buildOptions_.shareChannelReads && channelCount > 1 &&
                       readBoardChannelNames(handle, slot, channelCount, boardNames);
  for (std::uint16_t c = 0; c < channelCount && !buildStopped(); ++c) {
    std::string name;
    if (batched) {
      name = boardNames[c];
    } else if (named) {
      char names[1][VEXAHV_CH_NAME_SIZE] = {};
      const std::uint16_t list[1] = {c};
      if (VEXAHV_GetChName(handle, slot, 1, list, names) == VEXAHV_OK) {
        names[0][VEXAHV_CH_NAME_SIZE - 1] = '\0';
        name = names[0];
      } else {
        logCritical("Error getting channel[", c, "] name for system with handle[", handle, "], in slot [", slot, "]",
                    " (system [", SystemName{handle}, "])");
      }
    }
    auto ch = VEXAHVElement::create();
    ch->setName(channelBranchName(c), ElementKind::Channel);
    ch->setSystemIndex(index);
    ch->setChannel(c);
    ch->setSlot(slot);
    ch->setChannelName(name);
    ch->setHasChildren(true);
    ch->setIoMode(OpcToolbox::kIoNone);
    channels.push_back(std::move(ch));
  }
  return channels;
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createSystemItems(std::uint16_t index) {
  return createSystemItems(index, eventsAvailable);
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createSystemItems(std::uint16_t index, bool eventsShown) {
  std::vector<VEXAHVElementPtr> items;
  const VEXAHVElementPtr node = getSystemList() ? getSystemList()->at(index) : nullptr;
  if (!node) return items;
  const std::int32_t type = node->getSystemType();
  if (type != 0 && type != 2) return items;
  auto slots = item("Slots", ElementKind::SystemItem, OpcToolbox::VT_UI2, 1, ui2(node->getSlotCount()));
  items.push_back(slots);
  items.push_back(item("Kill", ElementKind::SystemItem, OpcToolbox::VT_BOOL, 3, boolean(false)));
  items.push_back(item("ClearAlarm", ElementKind::SystemItem, OpcToolbox::VT_BOOL, 3, boolean(false)));
  if (type == 0) {
    items.push_back(item("EventStatus", ElementKind::SystemItem, OpcToolbox::VT_BSTR, 1,
                         text(eventsShown ? "Enabled" : "Disabled")));
    // The mainframe's own communication settings: admins only, as its properties.
    for (const char* name : {"Format", "RS232CmdOff", "EnMsg", "DisMsg"}) {
      items.push_back(item(name, ElementKind::SystemItem, OpcToolbox::VT_UI2, 3, ui2(0)));
      items.back()->setWriteRole(OpcToolbox::Role::Admin);
    }
  }
  for (auto& e : items) {
    e->setSystemIndex(index);
    e->attachCrate(node->crate());
  }
  return items;
}

VEXAHVElementPtr VEXAHVOPCServer::createConnStatusItem(std::uint16_t index) {
  const VEXAHVElementPtr node = getSystemList() ? getSystemList()->at(index) : nullptr;
  if (!node) return nullptr;
  const std::int32_t status = node->getConnectionStatus();
  auto e = item("ConnStatus", ElementKind::SystemItem, OpcToolbox::VT_BSTR, 1, text(statusText(status)));
  e->setSystemIndex(index);
  e->attachCrate(node->crate());
  return e;
}

std::vector<VEXAHVElementPtr> VEXAHVOPCServer::createServerSettingItems(bool eventEnabled,
                                                                       bool liveInsertRemoval,
                                                                       std::int32_t verifyTime) {
  return {
      item("OPCServerEventMode", ElementKind::ServerSetting, OpcToolbox::VT_BSTR, 3,
           text(eventEnabled ? "true" : "false")),
      item("OPCServerLiveInsertion", ElementKind::ServerSetting, OpcToolbox::VT_BSTR, 3,
           text(liveInsertRemoval ? "true" : "false")),
      item("OPCServerVerifyTime", ElementKind::ServerSetting, OpcToolbox::VT_UI2, 3,
           ui2(static_cast<std::uint16_t>(verifyTime))),
  };
}

VEXAHVElementPtr VEXAHVOPCServer::createLogLevelItem() {
  return item("OPCServerLogLevel", ElementKind::ServerSetting, OpcToolbox::VT_UI2, 3,
              ui2(static_cast<std::uint16_t>(globals::logLevel)));
}

VEXAHVElementPtr VEXAHVOPCServer::createBatchedGroupTransactionsItem() {
  return item("OPCServerUseBatchedGroupTransactions", ElementKind::ServerSetting, OpcToolbox::VT_BOOL, 3,
              boolean(globals::getUseBatchedGroupTransactions()));
}

int VEXAHVOPCServer::configureSystem(const VEXAHVElementPtr& node, std::uint16_t index,
                                     std::uint32_t& eventIoMode, std::optional<bool>* eventTest) {
  if (!node) return -1;
  const std::string name = node->getName();
  const std::int32_t handle = node->getHandle();
  const std::int32_t type = node->getSystemType();
  logNotice("Configuring system [", name, "], whit handle [", handle, "]");
  logNotice("Getting system properties");
  node->setNeedsConfiguration(false);
  node->setEventsEnabled(globals::eventEnabled);
  bool eventsShown = eventsAvailable;
  // Everything made here waits in this list and joins the node in one step at the end,
  // so a client never browses a half-built crate.
  std::vector<VEXAHVElementPtr> staged;
  std::vector<VEXAHVElementPtr> statusItems;  // the channels' and boards' status words, which alarms follow
  std::vector<KeptItem> kept;                 // what history may keep

  bool first = true;
  const std::shared_ptr<Crate>& crate = node->crate();
  for (auto& p : createSystemPropertyItems(handle, index)) {
    p->attachCrate(crate);
    if (type == 0) {
      if (first) {
        first = false;
        bool ok = false;
        if (globals::eventEnabled) {
          // The event test: a mainframe that takes a subscription delivers UDP events.
          p->setItemId(name + "." + p->getName());
          ok = p->subscribe(true) == 0;
          if (ok) p->subscribe(false);
        }
        eventsAvailable = ok;
        eventsShown = ok;
        if (eventTest != nullptr) *eventTest = ok;
        eventIoMode = globals::eventEnabled && ok ? std::uint32_t{OpcToolbox::kIoReport}
                                                   : std::uint32_t{OpcToolbox::kIoPoll};
      }
      p->setIoMode(eventIoMode);
    } else if (type == 2) {
      p->setIoMode(OpcToolbox::kIoReport);
      p->setActiveForClients(true);
    } else {
      p->setIoMode(OpcToolbox::kIoPoll);
    }
    bindItem(*p, *node, 0, 0);
    staged.push_back(p);
  }

  logNotice("Getting board items");
  const auto boards = createBoards(node, handle, index);
  for (std::size_t b = 0; b < boards.size() && !buildStopped(); ++b) {
    const auto& board = boards[b];
    board->attachCrate(crate);
    if (type == 2) board->setActiveForClients(true);
    staged.push_back(board);

    logNotice("Getting board [", b, "] informations");
    for (auto& info : createBoardInfoItems(*board)) {
      bind(*info, crate, eventIoMode);
      board->addElement(info);
    }
    logNotice("Getting board [", b, "] parameters");
    const std::uint16_t slot = board->getSlot();
    for (auto& param : createBoardParameterItems(handle, index, slot, buildStop_)) {
      if (buildStopped()) break;
      bind(*param, crate, eventIoMode);
      bindItem(*param, *node, slot, 0);
      if (param->getParamType() == kBoardStatusType) {
        param->setDefinition(kBoardStatusDefinition);
        statusItems.push_back(param);
        if (HistoryPolicy p = historyPolicyFor(param->getName(), true); p.kept) kept.push_back({param, p, 0});
      }
      board->addElement(param);
      logNotice("Getting board [", b, "] parameter [", param->getName(), "] properties");
      for (auto& prop : createParameterPropertyItems(ElementKind::BoardParamProperty, handle, type, index,
                                                     param->getName(), param->getParamType(), slot, 0)) {
        bind(*prop, crate, eventIoMode);
        prop->setHasChildren(false);
        board->addElement(prop);
      }
    }
    logNotice("Getting board [", b, "] channels");
    const bool withName = type == 0 || type == 1 || type == 2 || type == 3;
    BoardChannelWalk walk({handle, index, type, slot, board->getChannelCount()}, buildOptions_.shareChannelReads,
                          buildStop_);
    for (auto& channel : createChannels(index, handle, slot, board->getChannelCount())) {
      if (buildStopped()) break;
      channel->attachCrate(crate);
      if (type == 2) channel->setActiveForClients(true);
      board->addElement(channel);
      const std::uint16_t c = channel->getChannel();
      logNotice("Getting board [", b, "] channel [", c, "] parameters");
      for (auto& param : walk.parameterItems(c, withName)) {
        if (buildStopped()) break;
        bind(*param, crate, eventIoMode);
        bindItem(*param, *node, slot, c);
        param->setHasChildren(false);
        if (param->getParamType() == kChannelStatusType) {
          param->setDefinition(kChannelStatusDefinition);
          statusItems.push_back(param);
        }
        channel->addElement(param);
        logNotice("Getting board [", b, "] channel [", c, "] parameter [", param->getName(), "] properties");
        auto properties = walk.propertyItems(c, *param);
        for (auto& prop : properties) {
          bind(*prop, crate, eventIoMode);
          prop->setHasChildren(false);
          channel->addElement(prop);
        }
        if (HistoryPolicy p = historyPolicyFor(param->getName(), keptByDefault(param->getName())); p.kept) {
          kept.push_back({param, p, halfStepOf(properties)});
        }
      }
    }
  }

  if (buildStopped()) return -1;
  for (auto& e : createSystemItems(index, eventsShown)) {
    e->setIoMode(ioModeFor(type, eventIoMode));
    if (type == 2) e->setActiveForClients(true);
    bindItem(*e, *node, 0, 0);
    staged.push_back(e);
  }
  node->addElements(staged);
  keepHistory(kept, statusItems);
  logNotice("End system [", name, "] configuration");

  if (type == 2) {
    subscribeParameterEvents(node.get());
    crate->eventsSubscribed();
  }
  // Type 2 crates report every parameter anyway; the others' status words flow only for
  // items someone watches, and the alarms need them all.
  if (type != 2) watchStatusItems(name, statusItems);
  logNotice("System [", name, "] address space built");
  reportCrateBuilt(OpcToolbox::getApp()->conditions(), name, crate ? crate->address() : std::string(), 0);
  return 0;
}

VEXAHVOPCServer::BuildOptions VEXAHVOPCServer::buildOptionsFromEnvironment() {
  BuildOptions options;
  const char* text = std::getenv("VEXAHV_CONFIGURE_WORKERS");
  if (text == nullptr || *text == '\0') return options;
  unsigned n = 0;
  const auto [end, ec] = std::from_chars(text, text + std::strlen(text), n);
  if (ec == std::errc() && *end == '\0' && n >= 1 && n <= 64) {
    options.workers = n;
  } else {
    logWarning("VEXAHV_CONFIGURE_WORKERS [", text, "] is not a number from 1 to 64: ", options.workers,
               " systems are configured at once");
  }
  return options;
}

long VEXAHVOPCServer::buildAddressSpace(std::stop_token stop) {
  buildStop_ = std::move(stop);
  logNotice("Building address space");
  OpcToolbox::Application* app = OpcToolbox::getApp();
  OpcToolbox::DaAddressSpaceRoot* root = app->getDaAddressSpaceRoot();
  if (root == nullptr) return -1;
  const std::uint32_t firstIoMode = globals::eventEnabled ? std::uint32_t{OpcToolbox::kIoReport}
                                                          : std::uint32_t{OpcToolbox::kIoPoll};
  SystemList* list = nullptr;
  {
    std::lock_guard l(mutex_);
    if (!systemList_) systemList_ = std::make_unique<SystemList>();
    list = systemList_.get();
  }
  const std::vector<std::string> entries = readSystemEntries();
  list->setEntryCount(static_cast<std::int32_t>(entries.size()));
  logDebug("HV Power Supplies Number [", entries.size(), "]");
  auto logLevelItem = createLogLevelItem();
  auto batchedItem = createBatchedGroupTransactionsItem();
  if (entries.empty()) logError("No system registered");

  // Crates are independent: each is connected, and later configured, by a worker of its
  // own; the list, the tree and the supervision still take them in entry order.
  std::vector<VEXAHVElementPtr> nodes(entries.size());
  forEachOnWorkers(entries.size(), [&](std::size_t i) {
    auto node = VEXAHVElement::create();
    node->setSystemIndex(static_cast<std::uint16_t>(i));
    node->setName(entries[i], ElementKind::System);
    node->setAccessRights(OpcToolbox::kReadable);
    node->setIoMode(OpcToolbox::kIoNone);
    logNotice("Creating system root node");
    const int rc = connectSystem(node.get());
    node->setHasChildren(true);
    if (rc != 0) logError("Some problems occourred connecting to system [", maskSystemEntry(entries[i]), "]");
    nodes[i] = std::move(node);
  });
  if (buildStopped()) return -1;
  for (const auto& node : nodes) {
    list->append(node);
    root->addChild(node);
    if (node->getSystemType() == 2) node->setActiveForClients(true);
    if (keepAliveStarter_) keepAliveStarter_(node);
  }

  std::vector<std::optional<bool>> eventTests(nodes.size());
  forEachOnWorkers(nodes.size(), [&](std::size_t i) {
    const auto& node = nodes[i];
    const auto index = static_cast<std::uint16_t>(i);
    std::uint32_t eventIoMode = firstIoMode;
    if (node->getConnectionStatus() == kStatusOk) configureSystem(node, index, eventIoMode, &eventTests[i]);
    if (buildStopped()) return;
    logNotice("Getting system connection status");
    if (auto status = createConnStatusItem(index)) {
      status->setIoMode(OpcToolbox::kIoReport);
      status->setActiveForClients(true);
      bindItem(*status, *node, 0, 0);
      node->addElement(status);
      // Kept whether or not the crate could be built: its history shows when it was lost.
      if (history::HistoryService* h = OpcToolbox::getApp()->history()) {
        if (HistoryPolicy p = historyPolicyFor("ConnStatus", true); p.kept) keepItem(*h, {status, p, 0});
      }
    }
    logNotice("Getting global settings");
    if (node->getSystemType() == 0) {
      for (auto& s : createServerSettingItems(globals::eventEnabled, globals::liveInsertRemoval,
                                              globals::verifyTime)) {
        s->attachCrate(node->crate());
        s->setIoMode(eventIoMode);
        node->addElement(s);
      }
      const bool events = eventTests[i].value_or(eventsAvailable.load());
      if (!globals::eventEnabled || !events) node->setKeepAliveState(0);
    }
  });
  if (buildStopped()) return -1;
  // As when the crates were taken one after another: the last event test decides.
  for (const auto& test : eventTests) {
    if (test) eventsAvailable = *test;
  }
  for (auto& e : {logLevelItem, batchedItem}) {
    e->setIoMode(OpcToolbox::kIoReport);
    e->setActiveForClients(true);
    root->addChild(e);
  }
  addGroupsFolder(*root, nodes);
  return 0;
}

void VEXAHVOPCServer::addGroupsFolder(OpcToolbox::DaAddressSpaceRoot& root, const std::vector<VEXAHVElementPtr>& systems) {
  if (channelGroups().empty()) return;
  for (const auto& s : systems) {
    if (s->getName() == "Groups") {
      logError("No folder of the operators' groups: a system is named [Groups]");
      return;
    }
  }
  auto branch = [](const std::string& name) {
    auto e = VEXAHVElement::create();
    e->setName(name, ElementKind::Group);
    e->setAccessRights(OpcToolbox::kReadable);
    e->setIoMode(OpcToolbox::kIoNone);
    e->setHasChildren(true);
    return e;
  };
  auto folder = branch("Groups");
  root.addChild(folder);
  for (const ChannelGroup& g : channelGroups()) folder->addElement(branch(g.name));
}

void VEXAHVOPCServer::forEachOnWorkers(std::size_t count, const std::function<void(std::size_t)>& work) {
  const std::size_t workers = std::min<std::size_t>(count, std::max(1u, buildOptions_.workers));
  std::atomic<std::size_t> next{0};
  auto drain = [&] {
    for (std::size_t i = next++; i < count && !buildStopped(); i = next++) {
      try {
        work(i);
      } catch (const std::exception& e) {
        logError("Configuring system [", i, "] failed: ", e.what());
      }
    }
  };
  if (workers <= 1) {
    drain();
    return;
  }
  std::vector<std::jthread> threads;
  threads.reserve(workers);
  for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(drain);
}

void VEXAHVOPCServer::subscribeParameterEvents(VEXAHVElement* node) {
  if (node == nullptr) return;
  const std::int32_t handle = node->getHandle();
  const std::uint16_t port = tcpEventPort.load();
  std::vector<char> codes(1024);
  auto joined = [&codes](const std::vector<std::string>& names) {
    // One result byte per name, whatever the count.
    if (codes.size() < names.size()) codes.resize(names.size());
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ":") + n;
    return list;
  };
  std::vector<std::string> systemNames;
  for (const auto& child : node->getOwnChildren()) {
    const ElementKind kind = child->getKind();
    if (kind == ElementKind::SystemProperty) {
      systemNames.push_back(child->getName());
    } else if (kind == ElementKind::Board) {
      std::vector<std::string> boardNames;
      const std::uint16_t slot = child->getSlot();
      for (const auto& b : child->getOwnChildren()) {
        if (b->getKind() == ElementKind::BoardParam) {
          boardNames.push_back(b->getName());
        } else if (b->getKind() == ElementKind::Channel) {
          std::vector<std::string> channelNames;
          for (const auto& p : b->getOwnChildren()) {
            if (p->getKind() == ElementKind::ChannelParam) channelNames.push_back(p->getName());
          }
          if (!channelNames.empty() && !buildStopped()) {
            const std::string list = joined(channelNames);
            VEXAHV_SubscribeChannelParams(handle, port, slot, b->getChannel(), list.c_str(),
                                          static_cast<std::uint16_t>(channelNames.size()), codes.data());
          }
        }
      }
      if (!boardNames.empty()) {
        const std::string list = joined(boardNames);
        VEXAHV_SubscribeBoardParams(handle, port, slot, list.c_str(),
                                    static_cast<std::uint16_t>(boardNames.size()), codes.data());
      }
    }
  }
  if (!systemNames.empty()) {
    const std::string list = joined(systemNames);
    VEXAHV_SubscribeSystemParams(handle, port, list.c_str(), static_cast<std::uint16_t>(systemNames.size()),
                                 codes.data());
  }
}

}  // namespace vexahv
