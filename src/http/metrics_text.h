#pragma once
// The Prometheus text exposition format (version 0.0.4) of the server's figures: names
// with the vexahv_ prefix in base units, the process's own under process_.

#include <string>

#include "http/server_figures.h"

namespace vexahv::http {

struct ProcessFigures {
  double cpuSeconds = 0;
  double residentBytes = 0;
};

std::string prometheusText(const ServerFigures& server, const ProcessFigures& process, const std::string& version);

}  // namespace vexahv::http
