// The UDP event decoder over any datagram: accepted records are whole and terminated,
// and encode back to the same datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hwlib/event_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<VEXAHVUdpEventRecord> records;
  const int rc = vexahv::hwlib::decodeUdpDatagram({data, size}, records);
  if (rc != VEXAHV_OK) {
    if (!records.empty()) std::abort();
    return 0;
  }
  for (const auto& r : records) {
    if (::strnlen(r.id, sizeof r.id) == sizeof r.id) std::abort();
    if (::strnlen(r.text, sizeof r.text) == sizeof r.text) std::abort();
  }
  const auto again = vexahv::hwlib::encodeUdpDatagram(records);
  if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
  return 0;
}
