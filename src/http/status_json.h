#pragma once
// The status view as JSON (/api/status): every crate with its state and size, the OPC UA
// endpoint with its clients, the active alarms.

#include <string>

#include "http/metrics_text.h"
#include "http/server_figures.h"

namespace vexahv::http {

std::string statusJson(const ServerFigures& server, const ProcessFigures& process, const std::string& version);

}  // namespace vexahv::http
