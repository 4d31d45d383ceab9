#pragma once
// The filter of a data item (OPC UA Part 4, 7.22.2): a DataChangeFilter's trigger and
// deadband. An event item's filter is in ua_event_filter.h.

#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"
#include "opctoolbox/ua/services/ua_subscription.h"

namespace OpcToolbox::ua {

// A DataChangeFilter (none: the defaults); BadFilterNotAllowed or
// BadMonitoredItemFilterUnsupported for one this server does not apply.
StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter);

}  // namespace OpcToolbox::ua
