#pragma once
// What a crate holds, slot by slot, as the library's crate map tells it: the board's
// channel count, model, description, serial number and firmware release. The builder
// makes its boards of it; the supervision compares it with them.

#include <cstdint>
#include <string>
#include <vector>

namespace vexahv {

struct SlotContent {
  std::uint16_t channels = 0;
  std::string model, description;
  std::uint16_t serial = 0;
  std::string firmwareMajor, firmwareMinor;  // two digits each, as the board's items show them
  // An empty slot has no channels or no model.
  bool holdsBoard() const noexcept { return channels != 0 && !model.empty(); }
  bool operator==(const SlotContent&) const = default;
};

// One entry per slot of the crate; the library's result (VEXAHV_OK: slots is filled).
int readCrateMap(std::int32_t handle, std::vector<SlotContent>& slots);

// A firmware number as the boards' items show it ("07").
std::string twoDigits(unsigned n);

}  // namespace vexahv
