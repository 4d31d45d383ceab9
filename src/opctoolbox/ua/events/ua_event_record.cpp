#include "opctoolbox/ua/events/ua_event_record.h"

#include <cstdint>
#include <vector>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::uint8_t kVersion = 1;  // the first byte: a later layout can tell itself apart

}  // namespace

std::string encodeEventRecord(const UaEvent& event) {
  std::vector<std::uint8_t> bytes;
  Encoder e(bytes);
  e.byte(kVersion);
  e.nodeId(event.eventType);
  e.nodeId(event.conditionId);
  e.string(event.source);
  e.arrayLength(static_cast<std::int32_t>(event.fields.size()));
  for (const auto& [path, value] : event.fields) {
    e.string(path);
    e.variant(value);
  }
  return std::string(bytes.begin(), bytes.end());
}

bool decodeEventRecord(std::string_view bytes, UaEvent& out) {
  Decoder d({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
  if (d.byte() != kVersion) return false;
  out.eventType = d.nodeId();
  out.conditionId = d.nodeId();
  out.source = d.string().value_or("");
  const std::size_t n = d.arrayLength();
  out.fields.clear();
  // A field takes 5 bytes at the least: no reservation beyond what the bytes can hold.
  out.fields.reserve(std::min(n, d.remaining() / 5));
  for (std::size_t i = 0; i < n && d.ok(); ++i) {
    std::string path = d.string().value_or("");
    Variant value = d.variant();
    out.fields.emplace_back(std::move(path), std::move(value));
  }
  return d.ok() && d.remaining() == 0;
}

}  // namespace OpcToolbox::ua
