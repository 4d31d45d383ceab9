#include "opctoolbox/ua/services/ua_monitoring_filters.h"

#include <cmath>

#include "opctoolbox/ua/encoding/ua_binary.h"
#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {

StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter) {
  if (e.typeId.isNull()) return kGood;
  if (!(e.typeId == NodeId::numericId(0, id::DataChangeFilter)) || e.encoding != 1) return kBadFilterNotAllowed;
  Decoder f(std::span(reinterpret_cast<const std::uint8_t*>(e.body.data()), e.body.size()));
  filter.trigger = f.uint32();
  filter.deadbandType = f.uint32();
  filter.deadband = f.float64();
  if (!f.ok() || filter.trigger > 2 || filter.deadbandType > 2 || !(filter.deadband >= 0) ||
      !std::isfinite(filter.deadband)) {
    return kBadMonitoredItemFilterUnsupported;
  }
  return kGood;
}

StatusCode applyPercentDeadband(DataChangeFilter& filter, std::optional<double> euRangeSpan) {
  constexpr StatusCode kBadDeadbandFilterInvalid = 0x808E0000u;
  if (filter.deadbandType != 2) return kGood;
  if (!euRangeSpan || filter.deadband > 100) return kBadDeadbandFilterInvalid;
  filter.deadband = filter.deadband / 100 * *euRangeSpan;
  filter.deadbandType = 1;
  return kGood;
}

}  // namespace OpcToolbox::ua
