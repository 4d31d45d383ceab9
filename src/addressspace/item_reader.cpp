#include "addressspace/item_reader.h"

#include <cstring>
#include <vector>

#include "addressspace/library_result.h"
#include "addressspace/vexahv_element.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::kQualityBad;
using OpcToolbox::kQualityGood;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

ValueQT make(const Variant& v, std::uint16_t quality, const DateTime& at) { return ValueQT(v, quality, at); }

}  // namespace

bool convertParameterValue(std::int32_t type, const std::uint8_t* raw, const char* text, Variant& out) {
  std::uint32_t u = 0;
  std::memcpy(&u, raw, 4);
  switch (type) {
    case 0: {
      float f = 0;
      std::memcpy(&f, raw, 4);
      out.setR4(f);
      return true;
    }
    case 1: out.setUI2(static_cast<std::uint16_t>(u)); return true;
    case 2: case 3: case 4: out.setI4(static_cast<std::int32_t>(u)); return true;
    case 5: out.setBSTR(text); return true;
    default: return false;
  }
}

Variant parameterFailureValue(std::int32_t type) {
  Variant v;
  switch (type) {
    case 0: v.setR4(0.0f); break;
    case 1: v.setUI2(0); break;
    case 5: v.setBSTR(""); break;
    default: v.setI4(0); break;
  }
  return v;
}

ValueQT readBoardParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                           std::int32_t paramType) {
  const DateTime now = DateTime::now();
  if (paramType < 0 || paramType > 5) {
    logError("Unknown type of data for [", handle, "]_Board[", slot, "]_[", name, "]");
    Variant zero;
    zero.setINT(0);
    logError("Error getting [", handle, "]_Board[", slot, "]_[", name, "] value - error code [", -1, "]", " (system [", SystemName{handle}, "])");
    return make(zero, kQualityBad, now);
  }
  // One slot: a 4-byte value, or one text field of the library's text size.
  std::vector<char> buffer(VEXAHV_TEXT_VALUE_SIZE, '\0');
  const std::uint16_t slots[1] = {slot};
  const int rc = VEXAHV_GetBdParam(handle, 1, slots, name.c_str(), buffer.data());
  Variant v;
  if (rc == VEXAHV_OK) {
    buffer.back() = '\0';
    convertParameterValue(paramType, reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.data(), v);
    return make(v, kQualityGood, now);
  }
  logError("Error getting [", handle, "]_Board[", slot, "]_[", name, "] value - error code [", rc, "]", " (system [", SystemName{handle}, "])");
  return make(parameterFailureValue(paramType), qualityOf(rc), now);
}

ValueQT readChannelParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                             std::uint16_t channel, std::int32_t paramType) {
  const DateTime now = DateTime::now();
  const std::uint16_t channels[1] = {channel};
  if (name == "Name") {
    char names[1][VEXAHV_CH_NAME_SIZE] = {};
    Variant v;
    const int rc = VEXAHV_GetChName(handle, slot, 1, channels, names);
    if (rc == VEXAHV_OK) {
      names[0][VEXAHV_CH_NAME_SIZE - 1] = '\0';
      v.setBSTR(names[0]);
      return make(v, kQualityGood, now);
    }
    v.setBSTR("");
    return make(v, qualityOf(rc), now);
  }
  if (paramType < 0 || paramType > 5) {
    logError("Unknown type of data for [", handle, "]_Board[", slot, "]_Channel[", channel, "]_[", name, "]");
    Variant zero;
    zero.setINT(0);
    logCritical("Error getting [", handle, "]_Board[", slot, "]_Channel[", channel, "]_[", name,
                "] value - error code [", -1, "]", " (system [", SystemName{handle}, "])");
    return make(zero, kQualityBad, now);
  }
  std::vector<char> buffer(VEXAHV_TEXT_VALUE_SIZE, '\0');
  const int rc = VEXAHV_GetChParam(handle, slot, name.c_str(), 1, channels, buffer.data());
  Variant v;
  if (rc == VEXAHV_OK) {
    buffer.back() = '\0';
    convertParameterValue(paramType, reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.data(), v);
    return make(v, kQualityGood, now);
  }
  logCritical("Error getting [", handle, "]_Board[", slot, "]_Channel[", channel, "]_[", name,
              "] value - error code [", rc, "]", " (system [", SystemName{handle}, "])");
  return make(parameterFailureValue(paramType), qualityOf(rc), now);
}

ValueQT readSystemProperty(std::int32_t handle, const std::string& name, std::int32_t type) {
  const DateTime now = DateTime::now();
  auto error = [&](int code) {
    logError("Error getting [", handle, "]_[", name, "] value - error code [", code, "]", " (system [", SystemName{handle}, "])");
  };
  Variant v;
  if (type == 0 && name == "IPAddr") {
    v.setBSTR("");
    if (!serverReady()) {
      error(-1);
      return make(v, kQualityBad, now);
    }
    for (const auto& node : VEXAHVOPCServer::getInstance()->getSystemList()->snapshot()) {
      if (node->getHandle() == handle) {
        v.setBSTR(node->getAddress());
        return make(v, kQualityGood, now);
      }
    }
    error(1);
    return make(v, kQualityGood, now);
  }
  if (type < 0 || type > 6) {
    logError("Unknown type of data for [", handle, "]_[", name, "]");
    v.setI2(0);
    error(1);
    return make(v, kQualityBad, now);
  }
  // Large enough for any text the library hands out.
  std::vector<char> buffer(2048, '\0');
  const int rc = VEXAHV_GetSysProp(handle, name.c_str(), buffer.data());
  std::uint32_t u = 0;
  std::uint16_t u2 = 0;
  std::memcpy(&u, buffer.data(), 4);
  std::memcpy(&u2, buffer.data(), 2);
  const bool ok = rc == VEXAHV_OK;
  switch (type) {
    case 0:
      buffer.back() = '\0';
      v.setBSTR(ok ? buffer.data() : "");
      break;
    case 1: {
      float f = 0;
      std::memcpy(&f, buffer.data(), 4);
      v.setR4(ok ? f : 0.0f);
      break;
    }
    case 2: v.setUI2(ok ? u2 : 0); break;
    case 3: v.setUI4(ok ? u : 0); break;
    case 5: v.setI4(ok ? static_cast<std::int32_t>(u) : 0); break;
    default: v.setI2(ok ? static_cast<std::int16_t>(u2) : 0); break;  // 4 and 6
  }
  if (!ok) error(rc);
  return make(v, qualityOf(rc), now);
}

ValueQT readItemValue(VEXAHVElement* element) {
  const DateTime now = DateTime::now();
  const ValueQT failed(Variant{}, kQualityBad, now);
  if (element == nullptr) return failed;
  if (element->getAccessRights() == OpcToolbox::kWriteable) return element->getCachedValue();
  const HardwareBinding* hw = element->hardware();
  if (hw == nullptr) {
    // Not the hardware's: what the builder (or a write) left in the cache, if it is an item.
    switch (element->getKind()) {
      case ElementKind::BoardInfo:
      case ElementKind::BoardParamProperty:
      case ElementKind::ChannelParamProperty:
      case ElementKind::ServerSetting:
        return element->getCachedValue();
      default:
        return failed;
    }
  }
  switch (hw->kind) {
    case ElementKind::SystemItem: {
      if (hw->parameter == "ConnStatus") {
        Variant text;
        text.setBSTR(statusText(hw->crate->connectionStatus()));
        return ValueQT(text, kQualityGood, now);
      }
      for (const char* cached : {"Slots", "EventStatus", "Kill", "ClearAlarm", "Format", "RS232CmdOff",
                                 "EnMsg", "DisMsg"}) {
        if (hw->parameter == cached) return element->getCachedValue();
      }
      return failed;
    }
    case ElementKind::SystemProperty:
      if (!serverReady()) return failed;
      if (hw->paramType == 0 && hw->parameter == "IPAddr") {
        // The address the crate was reached at, not the mainframe's own idea of it.
        Variant v;
        v.setBSTR(hw->crate->address());
        return ValueQT(v, kQualityGood, now);
      }
      return readSystemProperty(hw->handle(), hw->parameter, hw->paramType);
    case ElementKind::BoardParam:
      if (!serverReady()) return failed;
      return readBoardParameter(hw->handle(), hw->slot, hw->parameter, hw->paramType);
    case ElementKind::ChannelParam:
      if (!serverReady()) return failed;
      return readChannelParameter(hw->handle(), hw->slot, hw->parameter, hw->channel, hw->paramType);
    default:
      return failed;
  }
}

}  // namespace vexahv
