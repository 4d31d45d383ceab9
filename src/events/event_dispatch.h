#pragma once
// Event records and their application: a record names its item (a dotted identifier for
// UDP, system + slot + channel + name for TCP); the item is found in its crate's table,
// the value converted by the item's data type and stored with good quality, so that
// subscribed clients see it.

#include <cstdint>
#include <string_view>

#include "addressspace/vexahv_element.h"
#include "hwlib/VEXAHVWrapper.h"

namespace vexahv::events {

// The element of a dotted identifier: its first piece names a system node, pieces after
// the fourth are not looked at, empty pieces are dropped. Null when there is none.
VEXAHVElementPtr findElementById(std::string_view id);
// The same, with the system node the identifier starts with (when an element is found).
VEXAHVElementPtr findElementById(std::string_view id, VEXAHVElementPtr* system);
// The first system node of that exact name.
VEXAHVElementPtr findSystemByName(std::string_view name);
// A system property (slot negative), board parameter (channel negative) or channel
// parameter of the system node; null when there is none.
VEXAHVElementPtr findParameterElement(const VEXAHVElement* system, std::string_view name, std::int32_t slot,
                                      std::int32_t channel);
// The record's value as the element's data type, good, stamped now; an unknown data type
// gives an empty bad value. text is read up to textSize bytes, NUL or not.
OpcToolbox::ValueQT convertEvent(const std::uint8_t (&value)[4], const char* text, std::size_t textSize,
                                 const VEXAHVElement& element);

// A parameter event of a system whose connection is not Ok is not applied. The first
// finds the crate by the identifier's first piece; the second takes a record only for
// the crate it is given (the sender's), and only for one of its hardware parameters.
void applyUdpEvent(const VEXAHVUdpEventRecord& record);
void applyUdpEvent(Crate& crate, const VEXAHVUdpEventRecord& record);
// Applied only while the system's keep-alive state is 1 (both the subscription and the
// connection are in place); otherwise the batch is discarded.
void applyTcpBatch(VEXAHVElement& system, const VEXAHVTcpEventRecord* records, unsigned count);

}  // namespace vexahv::events
