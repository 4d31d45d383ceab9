#include "addressspace/property_refresh.h"

#include <algorithm>
#include <string>
#include <vector>

#include "addressspace/parameter_items.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

bool isProperty(ElementKind k) { return k == ElementKind::BoardParamProperty || k == ElementKind::ChannelParamProperty; }
bool isParameter(ElementKind k) { return k == ElementKind::BoardParam || k == ElementKind::ChannelParam; }

// The property items of one branch (the board's own parameters, or a channel's), read
// again; the names of the parameters whose properties changed are added to changed.
void refreshBranch(VEXAHVElement& branch, std::int32_t handle, std::uint16_t slot, int channel,
                   std::stop_token& stop, PropertyRefresh& out, std::size_t& inARow) {
  const std::vector<VEXAHVElementPtr> children = branch.getOwnChildren();
  std::vector<std::string> changed;
  for (const VEXAHVElementPtr& item : children) {
    if (stop.stop_requested() || out.abandoned) return;
    if (!isProperty(item->getKind())) continue;
    const std::string name = item->getName();
    const std::size_t hash = name.rfind('#');
    if (hash == std::string::npos) continue;
    const std::string parameter = name.substr(0, hash), property = name.substr(hash + 1);
    ValueQT now;
    const int rc = channel < 0 ? readBoardParameterProperty(property, handle, parameter, slot, now)
                               : readChannelParameterProperty(property, handle, parameter, slot,
                                                              static_cast<std::uint16_t>(channel), now);
    if (rc != 0) {
      ++out.failed;
      if (++inARow >= kPropertyFailuresInARow) out.abandoned = true;
      continue;
    }
    inARow = 0;
    ++out.read;
    // What it held (a lost connection shows "not connected" but keeps the value), and
    // what clients see.
    const ValueQT kept = item->getCachedValue();
    ValueQT shown;
    item->getCacheValue(shown);
    const bool meaning = !(kept.getData() == now.getData()) || kept.getQuality() != OpcToolbox::kQualityGood;
    if (meaning || shown.getQuality() != now.getQuality()) item->setCachedValue(now);
    if (meaning && std::find(changed.begin(), changed.end(), parameter) == changed.end()) changed.push_back(parameter);
  }
  for (const VEXAHVElementPtr& item : children) {
    if (!isParameter(item->getKind())) continue;
    if (std::find(changed.begin(), changed.end(), item->getName()) == changed.end()) continue;
    item->semanticsChanged();
    ++out.parametersChanged;
  }
}

}  // namespace

PropertyRefresh refreshBoardProperties(VEXAHVElement& board, std::stop_token stop) {
  PropertyRefresh out;
  const std::int32_t handle = board.getHandle();
  const std::uint16_t slot = board.getSlot();
  std::size_t inARow = 0;
  refreshBranch(board, handle, slot, -1, stop, out, inARow);
  for (const VEXAHVElementPtr& child : board.getOwnChildren()) {
    if (stop.stop_requested() || out.abandoned) break;
    if (child->getKind() == ElementKind::Channel) refreshBranch(*child, handle, slot, child->getChannel(), stop, out, inARow);
  }
  return out;
}

bool updateBoardIdentity(VEXAHVElement& board, const SlotContent& now) {
  const bool same = board.getBoardModel() == now.model && board.getBoardDescription() == now.description &&
                    board.getBoardSerial() == now.serial && board.getFirmwareMajor() == now.firmwareMajor &&
                    board.getFirmwareMinor() == now.firmwareMinor;
  if (same) return false;
  board.setBoardModel(now.model);
  board.setBoardDescription(now.description);
  board.setBoardSerial(now.serial);
  board.setFirmwareMajor(now.firmwareMajor);
  board.setFirmwareMinor(now.firmwareMinor);
  const DateTime when = DateTime::now();
  for (const VEXAHVElementPtr& item : board.getOwnChildren()) {
    if (item->getKind() != ElementKind::BoardInfo) continue;
    const Variant v = boardInfoValue(item->getName(), board);
    if (!v.isEmpty()) item->setCachedValue(ValueQT(v, OpcToolbox::kQualityGood, when));
  }
  return true;
}

void reviewBoards(VEXAHVElement& system, std::span<const std::uint16_t> slots, std::stop_token stop) {
  const std::string name = system.getName();
  std::vector<SlotContent> map;
  if (const int rc = readCrateMap(system.getHandle(), map); rc != VEXAHV_OK) {
    logWarning("The boards of system [", name, "] were not looked at again: its crate map could not be read ([", rc,
               "])");
    return;
  }
  const auto wanted = [&](std::uint16_t s) { return slots.empty() || std::find(slots.begin(), slots.end(), s) != slots.end(); };
  std::vector<bool> shown(map.size(), false);
  for (const VEXAHVElementPtr& board : system.getOwnChildren()) {
    if (stop.stop_requested()) return;
    if (board->getKind() != ElementKind::Board) continue;
    const std::uint16_t slot = board->getSlot();
    if (slot < shown.size()) shown[slot] = true;
    if (!wanted(slot)) continue;
    if (slot >= map.size() || !map[slot].holdsBoard()) {
      logNotice("Slot [", slot, "] of system [", name, "] is empty: its board was removed");
      continue;
    }
    const SlotContent& now = map[slot];
    if (now.channels != board->getChannelCount()) {
      logWarning("Board [", slot, "] of system [", name, "] has [", now.channels, "] channels where the address space shows [",
                 board->getChannelCount(), "]: they are shown after the next start");
    }
    if (updateBoardIdentity(*board, now)) {
      logNotice("Board [", slot, "] of system [", name, "] is another board: model [", now.model, "], serial [", now.serial,
                "], firmware [", now.firmwareMajor, ".", now.firmwareMinor, "]");
    }
    const PropertyRefresh r = refreshBoardProperties(*board, stop);
    if (r.abandoned) {
      logWarning("Reading the properties of board [", slot, "] of system [", name, "] again stopped after [",
                 kPropertyFailuresInARow, "] failed reads in a row");
    } else if (r.parametersChanged > 0) {
      logNotice("Board [", slot, "] of system [", name, "]: [", r.parametersChanged, "] parameters have new properties");
    } else {
      logInformational("Board [", slot, "] of system [", name, "]: its properties are as they were");
    }
    if (r.abandoned) return;  // the crate is likely gone: its other boards wait for the next look
  }
  for (std::uint16_t s = 0; s < map.size(); ++s) {
    if (wanted(s) && map[s].holdsBoard() && !shown[s]) {
      logWarning("Slot [", s, "] of system [", name, "] holds a board ([", map[s].model,
                 "]) that the address space does not show: it is shown after the next start");
    }
  }
}

}  // namespace vexahv
