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
  // A percent deadband needs an engineering-unit range, which items do not carry.
  if (!f.ok() || filter.trigger > 2 || filter.deadbandType > 1 || !(filter.deadband >= 0) ||
      !std::isfinite(filter.deadband)) {
    return kBadMonitoredItemFilterUnsupported;
  }
  return kGood;
}

}  // namespace OpcToolbox::ua
