#include "requests/item_writer.h"

#include <cstring>
#include <memory>
#include <vector>

#include "addressspace/item_reader.h"
#include "addressspace/vexahv_element.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "requests/server_setting_writer.h"
#include "requests/switch_on_guard.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::Variant;

namespace {

std::uint32_t low16(const Variant& v) { return v.rawUI2(); }

// A text the library's 80-byte formatting buffer cannot hold is refused whole rather
// than cut: a shortened name or address would be a different one.
bool textFits(const VEXAHVElement& element, const Variant& value) {
  if (value.text().size() < kWriteTextLimit) return true;
  logError("Refused writing item [", element.getItemId(), "]: text of [", value.text().size(),
           "] bytes, at most [", kWriteTextLimit - 1, "]");
  return false;
}

std::int32_t writeSystemItem(const HardwareBinding& hw, const Variant& value) {
  const std::string& name = hw.parameter;
  if (name == "Kill" || name == "ClearAlarm") {
    if (low16(value) == 0) return 0;
    return VEXAHV_ExecComm(hw.handle(), name.c_str());
  }
  for (const char* accepted : {"Format", "RS232CmdOff", "EnMsg", "DisMsg"}) {
    if (name == accepted) return 0;
  }
  return -1;
}

}  // namespace

bool isSwitchOn(const std::string& parameter, std::int32_t type, const Variant& value, std::uint32_t& bits) {
  return parameter == "Pw" && channelValueBits(type, value, bits) && bits == 1;
}

std::int32_t setSystemProperty(std::int32_t handle, const std::string& name, std::int32_t type,
                               const Variant& value) {
  std::int32_t status = -1;
  switch (type) {
    case 0: status = VEXAHV_SetSysProp(handle, name.c_str(), value.text().c_str()); break;
    case 1: {
      const float f = value.rawR4();
      status = VEXAHV_SetSysProp(handle, name.c_str(), &f);
      break;
    }
    case 2: case 4: case 6: {
      const std::uint32_t v = low16(value);
      status = VEXAHV_SetSysProp(handle, name.c_str(), &v);
      break;
    }
    case 3: case 5: {
      const std::uint32_t v = value.rawUI4();
      status = VEXAHV_SetSysProp(handle, name.c_str(), &v);
      break;
    }
    default: break;
  }
  if (status != 0) logError("Error setting [", handle, "]_[", name, "] value - error code [", status, "]", " (system [", SystemName{handle}, "])");
  return status;
}

std::int32_t setBoardParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                               std::int32_t type, const Variant& value) {
  const std::uint16_t slots[1] = {slot};
  std::int32_t status = -1;
  switch (type) {
    case 0: {
      const float f = value.rawR4();
      status = VEXAHV_SetBdParam(handle, 1, slots, name.c_str(), &f);
      break;
    }
    case 1: {
      const std::uint32_t on = low16(value) == 0xFFFF ? 1 : 0;
      status = VEXAHV_SetBdParam(handle, 1, slots, name.c_str(), &on);
      break;
    }
    case 2: case 3: case 4: {
      const std::uint32_t v = value.rawUI4();
      status = VEXAHV_SetBdParam(handle, 1, slots, name.c_str(), &v);
      break;
    }
    default: break;
  }
  if (status != 0) {
    logError("Error setting [", handle, "]_Board[", slot, "]_[", name, "] value - error code [", status, "]", " (system [", SystemName{handle}, "])");
  }
  return status;
}

bool channelValueBits(std::int32_t type, const Variant& value, std::uint32_t& bits) {
  switch (type) {
    case 0: {
      const float f = value.rawR4();
      std::memcpy(&bits, &f, sizeof bits);
      return true;
    }
    case 1: bits = low16(value) != 0 ? 1 : 0; return true;
    case 2: case 3: case 4: bits = value.rawUI4(); return true;
    default: return false;
  }
}

std::int32_t setChannelParameters(std::int32_t handle, std::uint16_t slot, const std::string& name,
                                  std::span<const std::uint16_t> channels, std::uint32_t bits) {
  return VEXAHV_SetChParam(handle, slot, name.c_str(), static_cast<std::uint16_t>(channels.size()), channels.data(),
                           &bits);
}

std::int32_t setChannelParameter(std::int32_t handle, std::uint16_t slot, const std::string& name,
                                 std::uint16_t channel, std::int32_t type, const Variant& value) {
  const std::uint16_t channels[1] = {channel};
  if (name == "Name") return VEXAHV_SetChName(handle, slot, 1, channels, value.text().c_str());
  std::uint32_t bits = 0;
  const std::int32_t status = channelValueBits(type, value, bits) ? setChannelParameters(handle, slot, name, channels, bits) : -1;
  if (status != 0) {
    logCritical("Error setting [", handle, "]_Board[", slot, "]_Channel[", channel, "]_[", name,
                "] value - error code [", status, "]", " (system [", SystemName{handle}, "])");
  }
  return status;
}

std::int32_t writeItemValue(VEXAHVElement* element, const OpcToolbox::ValueQT& written, SwitchOnCheck check) {
  if (element == nullptr) {
    logCritical("Item does not exist");
    return -1;
  }
  const Variant& value = written.getData();
  const ElementKind kind = element->getKind();
  if (kind == ElementKind::ServerSetting) {
    // A server setting is known by its name, at the root or under a system.
    const std::string name = element->getName();
    if (name.empty()) return -1;
    const std::int32_t status = writeServerSetting(*element, name, value);
    if (status == 0) logNotice("set [", name, "] value to [", value.toString(), "]");
    return status;
  }
  const HardwareBinding* hw = element->hardware();
  if (hw == nullptr || !serverReady()) return -1;
  const std::string& system = hw->systemName;
  const std::string& name = hw->parameter;
  const std::int32_t handle = hw->handle(), paramType = hw->paramType;
  const std::uint16_t slot = hw->slot, channel = hw->channel;
  switch (hw->kind) {
    case ElementKind::SystemItem:
      return writeSystemItem(*hw, value);

    case ElementKind::SystemProperty: {
      if (paramType == 0 && !textFits(*element, value)) return VEXAHV_ERR_OUT_OF_RANGE;
      Variant sent = value;
      if (name == "GenSignCfg" || name == "ResFlagCfg") {
        sent.setUI2(static_cast<std::uint16_t>(0xFF00u | value.rawUI1()));
      }
      const std::int32_t status = setSystemProperty(handle, name, paramType, sent);
      if (status == 0) logNotice("set [", system, "]_[", name, "] value to [", sent.toString(), "]");
      return status;
    }

    case ElementKind::BoardParam: {
      const std::int32_t status = setBoardParameter(handle, slot, name, paramType, value);
      if (status == 0) {
        logNotice("set [", system, "]_Board[", slot, "]_[", name, "] value to [", value.toString(), "]");
      }
      return status;
    }

    case ElementKind::ChannelParam: {
      if (name == "Name" && !textFits(*element, value)) return VEXAHV_ERR_OUT_OF_RANGE;
      std::uint32_t bits = 0;
      if (check == SwitchOnCheck::Needed && isSwitchOn(name, paramType, value, bits)) {
        if (const VEXAHVElement* board = boardOfChannelItem(*element)) {
          const std::uint16_t one[1] = {channel};
          const std::int32_t refused = switchOnRefusals(*board, handle, slot, one).front();
          if (refused != 0) return refused;
        }
      }
      const std::int32_t status = setChannelParameter(handle, slot, name, channel, paramType, value);
      if (status == 0) {
        logNotice("set [", system, "]_Board[", slot, "]_Channel[", channel, "]_[", name, "] value to [",
                  value.toString(), "]");
      }
      return status;
    }

    default:
      return -1;
  }
}

}  // namespace vexahv
