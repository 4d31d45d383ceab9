#include "addressspace/event_ports.h"

namespace vexahv {

std::atomic<std::uint16_t> udpEventPort{1527};
std::atomic<std::uint16_t> tcpEventPort{4527};
std::atomic<bool> eventsAvailable{false};

}  // namespace vexahv
