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

// The shortest text that reads back as the same double ("0.005", not "0.0050000000000000001").
std::string shortestNumber(double v);

std::string prometheusText(const ServerFigures& server, const ProcessFigures& process, const std::string& version);

}  // namespace vexahv::http
