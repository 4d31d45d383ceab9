#pragma once
// The periodic verification: when the UDP event channel has been silent for a whole
// verification period, the items clients watch on UDP-reporting systems are read from
// the hardware again, so that a value whose event was lost is corrected.

#include <stop_token>

namespace vexahv::events {

// The timer's procedure: every active item of every system of type 0 is read and stored;
// a stop request ends it between items.
void verifySystems(std::stop_token stop = {});

}  // namespace vexahv::events
