#pragma once
// The filter of a data item (OPC UA Part 4, 7.22.2): a DataChangeFilter's trigger and
// deadband. An event item's filter is in ua_event_filter.h.

#include <optional>
#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"
#include "opctoolbox/ua/services/ua_subscription.h"

namespace OpcToolbox::ua {

// A DataChangeFilter (none: the defaults); BadFilterNotAllowed or
// BadMonitoredItemFilterUnsupported for one this server does not apply. A percent
// deadband is kept as such until applyPercentDeadband makes it absolute.
StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter);
// A percent deadband (OPC UA Part 8, 6.2) as the absolute one it is of the item's EURange
// span; BadDeadbandFilterInvalid for an item without a range, or a percentage past 100.
// Any other filter is left as it is.
StatusCode applyPercentDeadband(DataChangeFilter& filter, std::optional<double> euRangeSpan);

}  // namespace OpcToolbox::ua
