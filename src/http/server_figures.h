#pragma once
// What the HTTP endpoint shows, as the process hands it over at each request: a copy, so
// that nothing here holds a lock of the server's while it formats or sends.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vexahv::http {

struct CrateFigures {
  std::string name;
  std::string address;
  std::int32_t connection = 0;  // 0 pending, 1 connected, 2 lost
  std::uint32_t keepAliveFailures = 0;
  std::size_t boards = 0;
  std::size_t channels = 0;
};

struct ServerFigures {
  std::vector<CrateFigures> crates;
  std::size_t opcUaSessions = 0;
  std::map<std::uint16_t, std::size_t> activeAlarmsBySeverity;
};

using FiguresSource = std::function<ServerFigures()>;

}  // namespace vexahv::http
