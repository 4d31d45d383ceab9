#pragma once
// Reading event data from the subscriber's own sockets.

#include <vector>

#include "hwlib/VEXAHVWrapper.h"

namespace vexahv::hwlib {

// One datagram from a bound UDP socket, decoded.
int receiveUdpEvents(int socket, std::vector<VEXAHVUdpEventRecord>& records);
// One batch from a connected TCP stream, decoded straight into a list of malloc's (count
// records; std::free releases it), through a receive buffer the calling thread keeps: no
// copy of a batch is made.
int receiveTcpBatchList(int socket, VEXAHVSystemStatus& status, VEXAHVTcpEventRecord*& list, unsigned& count);

}  // namespace vexahv::hwlib
