// HistoryRead's request and its details over any bytes: the first byte picks the details'
// type, the rest is their body (and, read whole, a request), or, past them, an event as
// the history database holds it. Nothing crashes, no count read from the bytes is trusted
// for memory, and what a decoder accepts was read whole.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "opctoolbox/ua/encoding/ua_history_messages.h"
#include "opctoolbox/ua/events/ua_event_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  if (size == 0) return 0;
  if (data[0] % 5 == 4) {
    UaEvent event;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if (decodeEventRecord(bytes, event) && event.fields.size() > bytes.size()) std::abort();
    return 0;
  }
  const std::uint32_t types[] = {id::ReadRawModifiedDetails, id::ReadAtTimeDetails, id::ReadProcessedDetails, 646};
  ExtensionObject details;
  details.typeId = NodeId::numericId(0, types[data[0] % 4]);
  details.encoding = 1;
  details.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  if (auto raw = readRawDetailsOf(details); raw && details.body.size() != 22) std::abort();
  if (auto at = readAtTimeDetailsOf(details);
      at && details.body.size() != 5 + 8 * at->reqTimes.size()) {
    std::abort();
  }
  if (auto p = readProcessedDetailsOf(details); p && p->aggregateTypes.size() > details.body.size()) std::abort();
  Decoder d({data, size}, DecodeLimits{4096, 4096, 1024});
  const HistoryReadRequest request = decodeHistoryReadRequest(d);
  if (request.nodes.size() > size) std::abort();
  return 0;
}
