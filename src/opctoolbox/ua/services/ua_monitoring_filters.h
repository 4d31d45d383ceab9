#pragma once
// The filters of monitored items (OPC UA Part 4, 7.22): a DataChangeFilter's trigger and
// deadband, an EventFilter's select clauses and OfType where clause.

#include <vector>

#include "opctoolbox/ua/encoding/ua_types.h"
#include "opctoolbox/ua/services/ua_subscription.h"

namespace OpcToolbox::ua {

// A DataChangeFilter (none: the defaults); BadFilterNotAllowed or
// BadMonitoredItemFilterUnsupported for one this server does not apply.
StatusCode parseFilter(const ExtensionObject& e, DataChangeFilter& filter);
// An EventFilter: the select clauses (browse paths from the event type; the fields this
// server raises are one name deep) and a where clause that is empty or one OfType.
// selectResults: one status per clause, for the EventFilterResult.
StatusCode parseEventFilter(const ExtensionObject& e, EventFilterSpec& filter, std::vector<StatusCode>& selectResults);
ExtensionObject eventFilterResult(const std::vector<StatusCode>& selectResults);

}  // namespace OpcToolbox::ua
