#include "requests/switch_on_guard.h"

#include <cmath>
#include <string>

#include "addressspace/vexahv_element.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {
namespace {

constexpr const char* kLimit = "HVMax";

// The board's limit item, when it is a numeric one the library reads as a float.
bool hasNumericLimit(const VEXAHVElement& board) {
  for (const auto& child : board.getOwnChildren()) {
    if (child->getKind() != ElementKind::BoardParam || child->getName() != kLimit) continue;
    const HardwareBinding* hw = child->hardware();
    return hw != nullptr && hw->paramType == 0;
  }
  return false;
}

}  // namespace

const VEXAHVElement* boardOfChannelItem(const VEXAHVElement& item) {
  const auto channel = item.getParentElement();
  if (!channel || channel->getKind() != ElementKind::Channel) return nullptr;
  const auto board = channel->getParentElement();
  return board && board->getKind() == ElementKind::Board ? board.get() : nullptr;
}

std::vector<std::int32_t> switchOnRefusals(const VEXAHVElement& board, std::int32_t handle, std::uint16_t slot,
                                           std::span<const std::uint16_t> channels) {
  std::vector<std::int32_t> refused(channels.size(), 0);
  if (channels.empty() || !hasNumericLimit(board)) return refused;
  const std::uint16_t slots[1] = {slot};
  float limit = 0;
  std::int32_t rc = VEXAHV_GetBdParam(handle, 1, slots, kLimit, &limit);
  std::vector<float> set(channels.size(), 0.0f);
  if (rc == VEXAHV_OK) {
    rc = VEXAHV_GetChParam(handle, slot, "V0Set", static_cast<std::uint16_t>(channels.size()), channels.data(),
                           set.data());
    // A board without set-points has none above its limit.
    if (rc == VEXAHV_ERR_NO_PARAMETER) return refused;
  }
  for (std::size_t i = 0; i < channels.size(); ++i) {
    if (rc != VEXAHV_OK) {
      refused[i] = rc;
      logError("Refused switching on [", SystemName{handle}, "]_Board[", slot, "]_Channel[", channels[i],
               "]: its V0Set or the board's HVMax could not be read - error code [", rc, "]");
    } else if (!(std::isfinite(set[i]) && std::isfinite(limit) && set[i] <= limit)) {
      refused[i] = VEXAHV_ERR_OUT_OF_RANGE;
      logError("Refused switching on [", SystemName{handle}, "]_Board[", slot, "]_Channel[", channels[i],
               "]: its V0Set [", set[i], "] is above the board's HVMax [", limit, "]");
    }
  }
  return refused;
}

}  // namespace vexahv
