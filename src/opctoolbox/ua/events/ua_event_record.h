#pragma once
// An event as history keeps it: its type, condition, source and fields in OPC UA's binary
// encoding, so that a read long after finds every field a filter may ask for. What comes
// back from the database is checked as any outside input is: damage is refused whole.

#include <string>
#include <string_view>

#include "opctoolbox/ua/events/ua_event_filter.h"

namespace OpcToolbox::ua {

std::string encodeEventRecord(const UaEvent& event);
// False, with out unspecified, for bytes that are not one whole event.
bool decodeEventRecord(std::string_view bytes, UaEvent& out);

}  // namespace OpcToolbox::ua
