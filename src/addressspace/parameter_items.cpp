#include "addressspace/parameter_items.h"

#include <cstring>

#include "addressspace/item_reader.h"
#include "addressspace/name_tables.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

// Frees a library list on every path.
struct LibraryList {
  char* list = nullptr;
  ~LibraryList() { VEXAHV_Free(list); }
};

}  // namespace

VEXAHVElementPtr makeParameterItem(const std::string& name, ElementKind kind, std::uint16_t systemIndex,
                                   std::uint16_t slot, std::uint32_t type, std::uint32_t mode) {
  auto item = VEXAHVElement::create();
  item->setName(name, kind);
  item->setSystemIndex(systemIndex);
  item->setParamType(static_cast<std::int32_t>(type));
  item->setSlot(slot);
  item->setDatatype(parameterDataType(type));
  item->setAccessRights(accessRightsOfMode(mode));
  return item;
}

std::vector<std::string> parameterPropertyNames(std::int32_t paramType, std::int32_t systemType) {
  switch (paramType) {
    case 0:
      if (systemType == 0 || systemType == 2) return {"LowEU", "HighEU", "EU"};
      return {"LowEU", "HighEU", "EU", "Resol"};
    case 1: return {"CoOpen", "CoClose"};
    case 4: return {"LowEU", "HighEU", "EU"};
    default: return {};
  }
}

namespace {

// The library's property call for a board (channel < 0) or a channel parameter.
int askProperty(std::int32_t handle, const std::string& parameter, std::uint16_t slot, int channel,
                const char* property, void* value) {
  if (channel < 0) return VEXAHV_GetBdParamProp(handle, slot, parameter.c_str(), property, value);
  return VEXAHV_GetChParamProp(handle, slot, static_cast<std::uint16_t>(channel), parameter.c_str(),
                               property, value);
}

int readProperty(const std::string& property, std::int32_t handle, const std::string& parameter,
                 std::uint16_t slot, int channel, ValueQT& out) {
  Variant v;
  int rc = 1;
  if (property == "LowEU" || property == "Minval" || property == "HighEU" || property == "Maxval") {
    const bool low = property == "LowEU" || property == "Minval";
    float f = 0;
    rc = askProperty(handle, parameter, slot, channel, low ? "Minval" : "Maxval", &f);
    v.setR4(rc == VEXAHV_OK ? f : 0.0f);
  } else if (property == "Unit") {
    std::uint16_t unit = 0;
    rc = askProperty(handle, parameter, slot, channel, "Unit", &unit);
    v.setBSTR(rc == VEXAHV_OK ? unitName(unit) : "");
  } else if (property == "Exp") {
    std::int16_t exp = 0;
    rc = askProperty(handle, parameter, slot, channel, "Exp", &exp);
    v.setBSTR(rc == VEXAHV_OK ? prefixName(exp) : "");
  } else if (property == "EU") {
    std::int16_t exp = 0;
    std::uint16_t unit = 0;
    const int rcExp = askProperty(handle, parameter, slot, channel, "Exp", &exp);
    const int rcUnit = askProperty(handle, parameter, slot, channel, "Unit", &unit);
    std::string text = rcExp == VEXAHV_OK ? prefixSymbol(exp) : "";
    text += rcUnit == VEXAHV_OK ? unitName(unit) : "";
    v.setBSTR(text);
    // Counts as read when either part came.
    rc = (rcExp == VEXAHV_OK || rcUnit == VEXAHV_OK) ? 0 : 1;
  } else if (property == "CoOpen" || property == "Onstate" || property == "CoClose" ||
             property == "Offstate") {
    const bool on = property == "CoOpen" || property == "Onstate";
    std::vector<char> label(VEXAHV_PROP_TEXT_SIZE, '\0');
    rc = askProperty(handle, parameter, slot, channel, on ? "Onstate" : "Offstate", label.data());
    label.back() = '\0';
    v.setBSTR(rc == VEXAHV_OK ? label.data() : "");
  } else if (property == "Resol" && channel >= 0) {
    std::uint16_t resol = 0;
    rc = askProperty(handle, parameter, slot, channel, "Resol", &resol);
    v.setUI2(rc == VEXAHV_OK ? resol : 0);
  } else {
    v.setI4(0);
    rc = 1;
  }
  if (rc == VEXAHV_OK) {
    out = ValueQT(v, OpcToolbox::kQualityGood, DateTime::now());
    return 0;
  }
  if (channel < 0) {
    logError("Error getting board [", slot, "], parameter [", parameter, "] property [", property, "] value",
             " (system [", SystemName{handle}, "])");
  } else {
    logError("Error getting board [", slot, "], parameter [", parameter, "] property [", property, "] value",
             " (system [", SystemName{handle}, "], channel [", channel, "])");
  }
  out = ValueQT(v, OpcToolbox::kQualityBad, DateTime::now());
  return rc;
}

}  // namespace

std::vector<std::string> parameterNames(const char* list, std::size_t fieldCount) {
  std::vector<std::string> names;
  if (list == nullptr) return names;
  for (std::size_t i = 0; i < fieldCount; ++i) {
    const char* field = list + i * VEXAHV_PARAM_NAME_SIZE;
    if (field[0] == '\0') break;
    names.emplace_back(field, ::strnlen(field, VEXAHV_PARAM_NAME_SIZE));
  }
  return names;
}

int readBoardParameterProperty(const std::string& property, std::int32_t handle,
                               const std::string& parameter, std::uint16_t slot, ValueQT& value) {
  return readProperty(property, handle, parameter, slot, -1, value);
}

int readChannelParameterProperty(const std::string& property, std::int32_t handle,
                                 const std::string& parameter, std::uint16_t slot,
                                 std::uint16_t channel, ValueQT& value) {
  return readProperty(property, handle, parameter, slot, channel, value);
}

std::vector<VEXAHVElementPtr> createBoardParameterItems(std::int32_t handle, std::uint16_t systemIndex,
                                                        std::uint16_t slot, std::stop_token stop) {
  std::vector<VEXAHVElementPtr> items;
  LibraryList names;
  if (VEXAHV_GetBdParamInfo(handle, slot, &names.list) != VEXAHV_OK) {
    logCritical("Error getting parameters for board in slot [", slot, "]", " (system [", SystemName{handle}, "])");
    return items;
  }
  // The library ends the list with an empty field and never lists more than its maximum.
  for (const std::string& name : parameterNames(names.list, VEXAHV_MAX_LIST)) {
    if (stop.stop_requested()) break;
    std::uint32_t type = 0, mode = 0;
    const int rcType = VEXAHV_GetBdParamProp(handle, slot, name.c_str(), "Type", &type);
    const int rcMode = VEXAHV_GetBdParamProp(handle, slot, name.c_str(), "Mode", &mode);
    if (rcType != VEXAHV_OK || rcMode != VEXAHV_OK) {
      logCritical("Error getting properties for param [", name, "]", " (system [", SystemName{handle}, "], slot [",
                  slot, "])");
      continue;
    }
    auto item = makeParameterItem(name, ElementKind::BoardParam, systemIndex, slot, type, mode);
    item->setCachedValue(readBoardParameter(handle, slot, name, static_cast<std::int32_t>(type)));
    items.push_back(std::move(item));
  }
  return items;
}

VEXAHVElementPtr makeChannelNameItem(std::int32_t handle, std::uint16_t systemIndex, std::uint16_t slot) {
  (void)handle;  // the builder attaches the item to its crate
  return makeParameterItem("Name", ElementKind::ChannelParam, systemIndex, slot, 5, 2);
}

bool listChannelParameters(std::int32_t handle, std::uint16_t slot, std::uint16_t channel,
                           std::vector<std::string>& names) {
  LibraryList list;
  int count = 0;
  if (VEXAHV_GetChParamInfo(handle, slot, channel, &list.list, &count) != VEXAHV_OK) {
    logCritical("Error getting board in slot [", slot, "], channel [", channel, "] parameters", " (system [",
                SystemName{handle}, "])");
    return false;
  }
  // The walk ends at the first empty field, and never reads past the count the library gave.
  names = parameterNames(list.list, count > 0 ? static_cast<std::size_t>(count) : 0);
  return true;
}

VEXAHVElementPtr describeChannelParameter(std::int32_t handle, std::uint16_t systemIndex, std::uint16_t slot,
                                          std::uint16_t channel, const std::string& name) {
  std::uint32_t type = 0, mode = 0;
  const int rcType = VEXAHV_GetChParamProp(handle, slot, channel, name.c_str(), "Type", &type);
  const int rcMode = VEXAHV_GetChParamProp(handle, slot, channel, name.c_str(), "Mode", &mode);
  if (rcType != VEXAHV_OK || rcMode != VEXAHV_OK) {
    logCritical("Error getting board in slot [", slot, "], channel [", channel, "] parameter [", name,
                " properties", " (system [", SystemName{handle}, "])");
    return nullptr;
  }
  return makeParameterItem(name, ElementKind::ChannelParam, systemIndex, slot, type, mode);
}

std::vector<VEXAHVElementPtr> createChannelParameterItems(std::int32_t handle, std::uint16_t systemIndex,
                                                          bool withName, std::uint16_t slot,
                                                          std::uint16_t channel, std::stop_token stop) {
  std::vector<VEXAHVElementPtr> items;
  if (withName) {
    auto name = makeChannelNameItem(handle, systemIndex, slot);
    name->setCachedValue(readChannelParameter(handle, slot, "Name", channel, 5));
    items.push_back(std::move(name));
  }
  std::vector<std::string> names;
  if (!listChannelParameters(handle, slot, channel, names)) return items;
  for (const std::string& name : names) {
    if (stop.stop_requested()) break;
    auto item = describeChannelParameter(handle, systemIndex, slot, channel, name);
    if (!item) continue;
    item->setCachedValue(readChannelParameter(handle, slot, name, channel, item->getParamType()));
    items.push_back(std::move(item));
  }
  return items;
}

VEXAHVElementPtr makePropertyItem(ElementKind kind, std::int32_t systemType, std::uint16_t systemIndex,
                                  const std::string& parameter, const std::string& property,
                                  const ValueQT& value) {
  auto item = VEXAHVElement::create();
  item->setName(parameter + "#" + property, kind);
  (void)systemType;  // the builder attaches the item to its crate
  item->setSystemIndex(systemIndex);
  item->setDatatype(propertyDataType(property));
  item->setAccessRights(OpcToolbox::kReadable);
  item->setCachedValue(value);
  return item;
}

std::vector<VEXAHVElementPtr> createParameterPropertyItems(ElementKind kind, std::int32_t handle,
                                                           std::int32_t systemType,
                                                           std::uint16_t systemIndex,
                                                           const std::string& parameter,
                                                           std::int32_t paramType, std::uint16_t slot,
                                                           std::uint16_t channel) {
  std::vector<VEXAHVElementPtr> items;
  for (const std::string& property : parameterPropertyNames(paramType, systemType)) {
    ValueQT value(Variant{}, OpcToolbox::kQualityWaitingForInitialData, DateTime::now());
    const int rc = kind == ElementKind::BoardParamProperty
                       ? readBoardParameterProperty(property, handle, parameter, slot, value)
                       : readChannelParameterProperty(property, handle, parameter, slot, channel, value);
    // The item is made (and dropped) even when the read failed, as the walk always did.
    auto item = makePropertyItem(kind, systemType, systemIndex, parameter, property, value);
    if (rc == 0) items.push_back(std::move(item));
  }
  return items;
}

}  // namespace vexahv
