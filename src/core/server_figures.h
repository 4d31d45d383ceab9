#pragma once
// The running server's figures for the HTTP endpoint: its crates from the systems list,
// its OPC UA sessions and its active alarms, copied at the moment of the call.

#include "http/server_figures.h"

namespace OpcToolbox::ua {
class UaEndpoint;
}

namespace vexahv {

namespace events {
class UdpEventLoop;
}

// endpoint: the OPC UA endpoint whose sessions are shown; udp: the UDP event loop whose
// drops are counted (null: none).
http::ServerFigures collectServerFigures(const OpcToolbox::ua::UaEndpoint* endpoint, const events::UdpEventLoop* udp);

}  // namespace vexahv
