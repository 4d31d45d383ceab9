#pragma once
// Process-wide event settings shared by the address space and the event channels: the
// ports the subscriptions name (the events subsystem settles them at start-up, moving
// them upward while a port is taken) and whether the mainframes' UDP events work.

#include <atomic>
#include <cstdint>

namespace vexahv {

extern std::atomic<std::uint16_t> udpEventPort;  // initially 1527
extern std::atomic<std::uint16_t> tcpEventPort;  // initially 4527
extern std::atomic<bool> eventsAvailable;         // set by the event test of the build

}  // namespace vexahv
