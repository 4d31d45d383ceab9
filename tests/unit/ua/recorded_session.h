#pragma once
// The client side of a session that node-opcua's client ran against the fixture
// (recorded from the interop tests; also the connection fuzz target's seed).

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::vector<std::uint8_t> recordedSession() {
  std::ifstream in(std::string(VEXAHV_SOURCE_DIR) + "/tests/fuzz/corpus/uaconn/node-opcua-session.bin", std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}
