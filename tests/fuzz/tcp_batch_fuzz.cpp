// The TCP batch decoder over any bytes, read the way the event reader reads a stream:
// the header first, then exactly what it announces.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hwlib/event_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vexahv::hwlib;
  if (size < kTcpHeaderSize) return 0;
  const std::span<const std::uint8_t> header(data, kTcpHeaderSize);
  std::size_t rest = 0;
  if (decodeTcpBatchHeader(header, rest) != VEXAHV_OK) return 0;
  if (rest > size - kTcpHeaderSize) return 0;  // the stream would wait for more
  VEXAHVSystemStatus status{};
  std::vector<VEXAHVTcpEventRecord> records;
  if (decodeTcpBatchRest(header, {data + kTcpHeaderSize, rest}, status, records) != VEXAHV_OK) {
    if (!records.empty()) std::abort();
    return 0;
  }
  for (const auto& r : records) {
    if (::strnlen(r.name, sizeof r.name) == sizeof r.name) std::abort();
  }
  const auto again = encodeTcpBatch(status, records);
  if (again.size() != kTcpHeaderSize + rest || std::memcmp(again.data(), data, again.size()) != 0) {
    std::abort();
  }
  return 0;
}
