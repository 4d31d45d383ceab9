#pragma once
// The status view as JSON (/api/status), and the page (/) that shows it: every crate with
// its state and size, the OPC UA sessions, the active alarms. The page is one document of
// its own (no script or style from elsewhere), reads /api/status every two seconds and fits
// a phone's screen.

#include <string>

#include "http/metrics_text.h"
#include "http/server_figures.h"

namespace vexahv::http {

std::string statusJson(const ServerFigures& server, const ProcessFigures& process, const std::string& version);
const std::string& statusPage();

}  // namespace vexahv::http
