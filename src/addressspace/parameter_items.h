#pragma once
// One item per board or channel parameter the hardware reports, with its data type and
// access from the parameter's "Type" and "Mode" and its first value; and per parameter
// the read-only property items "<parameter>#<property>" (limits, unit, labels).

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "addressspace/vexahv_element.h"

namespace vexahv {

// A stop request ends the walk before the next parameter's library calls.
std::vector<VEXAHVElementPtr> createBoardParameterItems(std::int32_t handle, std::uint16_t systemIndex,
                                                        std::uint16_t slot, std::stop_token stop = {});
std::vector<VEXAHVElementPtr> createChannelParameterItems(std::int32_t handle, std::uint16_t systemIndex,
                                                          bool withName, std::uint16_t slot,
                                                          std::uint16_t channel, std::stop_token stop = {});
std::vector<VEXAHVElementPtr> createParameterPropertyItems(ElementKind kind, std::int32_t handle,
                                                           std::int32_t systemType,
                                                           std::uint16_t systemIndex,
                                                           const std::string& parameter,
                                                           std::int32_t paramType, std::uint16_t slot,
                                                           std::uint16_t channel);

// The pieces of the channel walk, for a walk that shares what siblings have in common.
// An item with its type, access and binding fields, no first value yet.
VEXAHVElementPtr makeParameterItem(const std::string& name, ElementKind kind, std::uint16_t systemIndex,
                                   std::uint16_t slot, std::uint32_t type, std::uint32_t mode);
VEXAHVElementPtr makeChannelNameItem(std::int32_t handle, std::uint16_t systemIndex, std::uint16_t slot);
// The channel's parameter names; false (and the walk's Critical line) when the list failed.
bool listChannelParameters(std::int32_t handle, std::uint16_t slot, std::uint16_t channel,
                           std::vector<std::string>& names);
// The item of one listed parameter from its "Type" and "Mode"; null (and the walk's
// Critical line) when either read failed.
VEXAHVElementPtr describeChannelParameter(std::int32_t handle, std::uint16_t systemIndex, std::uint16_t slot,
                                          std::uint16_t channel, const std::string& name);
VEXAHVElementPtr makePropertyItem(ElementKind kind, std::int32_t systemType, std::uint16_t systemIndex,
                                  const std::string& parameter, const std::string& property,
                                  const OpcToolbox::ValueQT& value);
// The property items a parameter of that type gets on a system of that type, in order.
std::vector<std::string> parameterPropertyNames(std::int32_t paramType, std::int32_t systemType);

// 0 on success, else the library's code or 1; value is filled on every path.
int readBoardParameterProperty(const std::string& property, std::int32_t handle,
                               const std::string& parameter, std::uint16_t slot,
                               OpcToolbox::ValueQT& value);
int readChannelParameterProperty(const std::string& property, std::int32_t handle,
                                 const std::string& parameter, std::uint16_t slot,
                                 std::uint16_t channel, OpcToolbox::ValueQT& value);

// The names of a library name list: 10-byte fields up to the first empty one, and never
// past the list's real size.
std::vector<std::string> parameterNames(const char* list, std::size_t fieldCount);

}  // namespace vexahv
