#pragma once
// What a crate's boards are and what their parameters mean, looked at again while the
// server runs: after a live insertion signal names a slot, and after a reconnection (the
// crate may have been power-cycled with other boards, and its property items show "not
// connected" until read). The address space keeps its shape: a board where none was, or
// one with another channel count, is shown at the next start, and the log says so.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>

#include "addressspace/crate_map.h"
#include "addressspace/vexahv_element.h"

namespace vexahv {

// Reads after which a board's properties are given up for now: a crate that went away
// would otherwise cost a library time-out per property.
inline constexpr std::size_t kPropertyFailuresInARow = 3;

struct PropertyRefresh {
  std::size_t read = 0, failed = 0;
  std::size_t parametersChanged = 0;  // whose limits, unit, resolution or labels are new
  bool abandoned = false;             // stopped after kPropertyFailuresInARow failures
};

// Each property item of the board and its channels ("VSet#HighEU") takes the value the
// board gives now; each parameter whose properties changed tells its watchers
// (semanticsChanged), once. A failed read leaves its item as it was.
PropertyRefresh refreshBoardProperties(VEXAHVElement& board, std::stop_token stop = {});

// The board's identity items ("Model", "Description", "Fmw Release", "SerNum") and facts
// set to what its slot holds now; true when any of them differed.
bool updateBoardIdentity(VEXAHVElement& board, const SlotContent& now);

// The boards of a system looked at again: those of the slots given, or every one when
// slots is empty. Each board still in its slot gets its identity and properties read
// again; an empty slot, a new board or another channel count is logged.
void reviewBoards(VEXAHVElement& system, std::span<const std::uint16_t> slots, std::stop_token stop = {});

}  // namespace vexahv
