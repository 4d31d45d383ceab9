#pragma once
// Reading event data from the subscriber's own sockets.

#include <vector>

#include "hwlib/VEXAHVWrapper.h"

namespace vexahv::hwlib {

// One datagram from a bound UDP socket, decoded.
int receiveUdpEvents(int socket, std::vector<VEXAHVUdpEventRecord>& records);
// One batch from a connected TCP stream, decoded.
int receiveTcpBatch(int socket, VEXAHVSystemStatus& status,
                    std::vector<VEXAHVTcpEventRecord>& records);

}  // namespace vexahv::hwlib
