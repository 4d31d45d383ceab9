#pragma once
// A channel is switched on only while its V0Set is within its board's hardware voltage
// limit (HVMax, where the board has one). Above it the channel would ramp into the limit
// and sit below its set-point, and whoever reads V0Set would believe a voltage that is
// not there. The same check serves a single write, a grouped write and the SwitchOn
// methods, so none of them switches on what another would refuse.

#include <cstdint>
#include <span>
#include <vector>

namespace vexahv {

class VEXAHVElement;

// For the channels (channel numbers) of one board, given its board folder: 0 for each
// that may be switched on, VEXAHV_ERR_OUT_OF_RANGE for one set above the limit, or the
// library's code when the limit or the set-points could not be read (nothing is
// switched on blind). A board without a numeric HVMax allows every channel and costs no
// call; otherwise one board read and one channel-list read, both fresh: a front panel
// may have changed either since the server last saw them. Each refusal is logged.
std::vector<std::int32_t> switchOnRefusals(const VEXAHVElement& board, std::int32_t handle, std::uint16_t slot,
                                           std::span<const std::uint16_t> channels);

// The board folder of a channel parameter item, or null.
const VEXAHVElement* boardOfChannelItem(const VEXAHVElement& item);

}  // namespace vexahv
