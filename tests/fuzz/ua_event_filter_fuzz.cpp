// The EventFilter decoder over any bytes, and the filter it makes over an event: no crash,
// a refused filter says why element by element, and an accepted one selects one field per
// clause and evaluates in bounded work whatever its where clause.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/events/ua_event_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  const ExtensionObject filter{NodeId::numericId(0, 727), 1, std::string(reinterpret_cast<const char*>(data), size)};
  EventFilterSpec spec;
  EventFilterCheck check;
  const StatusCode rc = parseEventFilter(filter, isSubtypeOf, spec, check);
  if (rc != kGood && rc != 0x80470000u) std::abort();
  const ExtensionObject result = eventFilterResult(check);
  Decoder d(std::span(reinterpret_cast<const std::uint8_t*>(result.body.data()), result.body.size()));
  if (d.arrayLength() != check.select.size() || !d.ok()) std::abort();
  if (rc != kGood) {
    for (const auto& element : check.where) {
      if (element.status != kGood && element.why.empty()) std::abort();
    }
    return 0;
  }
  if (spec.select.size() != check.select.size() || spec.select.empty()) std::abort();
  UaEvent event;
  event.eventType = NodeId::numericId(0, 2133);
  event.fields = {{"Severity", Variant::scalar(BuiltinType::UInt16, std::uint16_t{100})},
                  {"Message", Variant::scalar(BuiltinType::LocalizedText, LocalizedText{"en", "Nodes added under Objects"})},
                  {"SourceName", Variant::scalar(BuiltinType::String, UaString{"Server"})}};
  (void)eventPasses(spec, event, isSubtypeOf);
  if (selectEventFields(spec, event, isSubtypeOf).size() != spec.select.size()) std::abort();
  return 0;
}
