// The OPC UA binary decoder over any bytes: no crash, no allocation past the limits, and
// whatever it accepts encodes back to bytes that decode to the same value.
#include <cstdint>
#include <cstdlib>

#include "opctoolbox/ua/ua_binary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  const DecodeLimits limits{4096, 4096, 1024};
  Decoder d({data, size}, limits);
  while (d.ok() && d.remaining() > 0) {
    const std::size_t before = d.position();
    const DataValue value = d.dataValue();
    if (!d.ok()) break;
    std::vector<std::uint8_t> again;
    Encoder e(again);
    e.dataValue(value);
    Decoder check(again, limits);
    if (!(check.dataValue() == value) || !check.ok()) std::abort();
    if (d.position() == before) break;
  }
  Decoder n({data, size}, limits);
  (void)n.expandedNodeId();
  (void)n.localizedText();
  (void)n.qualifiedName();
  (void)n.extensionObject();
  return 0;
}
