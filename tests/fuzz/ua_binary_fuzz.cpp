// The OPC UA binary decoder over any bytes: no crash, no allocation past the limits, and
// whatever it accepts encodes to bytes that decode and encode to the same bytes again
// (bytes, not values: NaN is not equal to itself, and a Good status may be left out).
#include <cstdint>
#include <cstdlib>

#include "opctoolbox/ua/encoding/ua_binary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  const DecodeLimits limits{4096, 4096, 1024};
  Decoder d({data, size}, limits);
  while (d.ok() && d.remaining() > 0) {
    const std::size_t before = d.position();
    const DataValue value = d.dataValue();
    if (!d.ok()) break;
    std::vector<std::uint8_t> once, twice;
    Encoder(once).dataValue(value);
    Decoder check(once, limits);
    const DataValue back = check.dataValue();
    if (!check.ok()) std::abort();
    Encoder(twice).dataValue(back);
    if (once != twice) std::abort();
    if (d.position() == before) break;
  }
  Decoder n({data, size}, limits);
  (void)n.expandedNodeId();
  (void)n.localizedText();
  (void)n.qualifiedName();
  (void)n.extensionObject();
  return 0;
}
