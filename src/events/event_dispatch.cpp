#include "events/event_dispatch.h"

#include <chrono>
#include <cstring>
#include <string>

#include "addressspace/vexahv_opc_server.h"
#include "logging/logging.h"

namespace vexahv::events {
namespace {

using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

// A converted value for a log line, formatted only when the line is written.
struct ValueText {
  const Variant& value;
  void appendTo(std::string& out) const { out += value.toString(); }
};

OpcToolbox::DaAddressSpaceRoot* root() {
  OpcToolbox::Application* app = OpcToolbox::getApp();
  return app != nullptr ? app->getDaAddressSpaceRoot() : nullptr;
}

VEXAHVElementPtr indexed(std::string_view id) {
  OpcToolbox::DaAddressSpaceRoot* r = root();
  return r != nullptr ? std::dynamic_pointer_cast<VEXAHVElement>(r->findElement(id)) : nullptr;
}

std::string boundedText(const char* text, std::size_t size) { return std::string(text, ::strnlen(text, size)); }

// The identifier's pieces after the system's name, empty ones dropped and at most three
// (a channel parameter's), joined as the crate's table knows them.
std::string idInCrate(std::string_view id, std::string_view& system) {
  std::string rest;
  int pieces = 0;
  std::size_t i = 0;
  system = {};
  while (i < id.size() && pieces < 4) {
    const std::size_t dot = id.find('.', i);
    const std::string_view piece = id.substr(i, dot == std::string_view::npos ? std::string_view::npos : dot - i);
    if (!piece.empty()) {
      if (pieces++ == 0) {
        system = piece;
      } else {
        if (!rest.empty()) rest += '.';
        rest += piece;
      }
    }
    if (dot == std::string_view::npos) break;
    i = dot + 1;
  }
  return rest;
}

}  // namespace

VEXAHVElementPtr findElementById(std::string_view id) {
  return findElementById(id, nullptr);
}

VEXAHVElementPtr findElementById(std::string_view id, VEXAHVElementPtr* systemOut) {
  if (!serverReady()) return nullptr;
  std::string_view first;
  const std::string rest = idInCrate(id, first);
  if (first.empty()) return nullptr;
  // The first piece must name a system node, not one of the root's own items.
  VEXAHVElementPtr system = indexed(first);
  if (!system || system->getKind() != ElementKind::System) return nullptr;
  VEXAHVElementPtr found = rest.empty() ? system : indexed(std::string(first) + '.' + rest);
  if (systemOut != nullptr) *systemOut = std::move(system);
  return found;
}

VEXAHVElementPtr findSystemByName(std::string_view name) {
  const VEXAHVElementPtr node = indexed(name);
  if (node && node->getKind() == ElementKind::System && name.find('.') == std::string_view::npos) return node;
  return nullptr;
}

VEXAHVElementPtr findParameterElement(const VEXAHVElement* system, std::string_view name, std::int32_t slot,
                                      std::int32_t channel) {
  if (name.empty() || system == nullptr || system->getKind() != ElementKind::System || !system->crate()) return nullptr;
  ElementKind want = ElementKind::SystemProperty;
  if (slot < 0) channel = -1;
  else want = channel < 0 ? ElementKind::BoardParam : ElementKind::ChannelParam;
  VEXAHVElementPtr e = system->crate()->find(slot < 0 ? -1 : slot, channel < 0 ? -1 : channel, name);
  return e && e->hardware()->kind == want ? e : nullptr;
}

ValueQT convertEvent(const std::uint8_t (&value)[4], const char* text, std::size_t textSize,
                     const VEXAHVElement& element) {
  const OpcToolbox::DateTime now = OpcToolbox::DateTime::now();
  std::uint32_t u = 0;
  std::memcpy(&u, value, 4);
  Variant v;
  switch (element.getDatatype()) {
    case OpcToolbox::VT_I2: v.setI2(static_cast<std::int16_t>(u & 0xFFFF)); break;
    case OpcToolbox::VT_I4: v.setI4(static_cast<std::int32_t>(u)); break;
    case OpcToolbox::VT_R4: {
      float f = 0;
      std::memcpy(&f, value, 4);
      v.setR4(f);
      break;
    }
    case OpcToolbox::VT_BSTR: v.setBSTR(boundedText(text, textSize)); break;
    case OpcToolbox::VT_BOOL: v.setBOOL((u & 0xFF) != 0); break;
    case OpcToolbox::VT_UI2: v.setUI2(static_cast<std::uint16_t>(u & 0xFFFF)); break;
    case OpcToolbox::VT_UI4: v.setUI4(u); break;
    case OpcToolbox::VT_UINT: v.setUINT(u); break;
    default: return ValueQT(Variant{}, OpcToolbox::kQualityBad, now);
  }
  return ValueQT(std::move(v), OpcToolbox::kQualityGood, now);
}

namespace {

bool hasHardwareEvents(ElementKind k) {
  return k == ElementKind::SystemProperty || k == ElementKind::BoardParam || k == ElementKind::ChannelParam;
}

}  // namespace

void applyUdpEvent(const VEXAHVUdpEventRecord& record) {
  const std::string id = boundedText(record.id, sizeof record.id);
  std::string_view name;
  (void)idInCrate(id, name);
  const VEXAHVElementPtr node = findSystemByName(name);
  if (node && node->crate()) {
    applyUdpEvent(*node->crate(), record);
    return;
  }
  if (record.type == VEXAHV_EVENT_PARAMETER) {
    logDebug("Event - type [PARAMETER]");
    logError("Event - id [", id, "] not valid");
  }
}

void applyUdpEvent(Crate& crate, const VEXAHVUdpEventRecord& record) {
  const std::string id = boundedText(record.id, sizeof record.id);
  switch (record.type) {
    case VEXAHV_EVENT_PARAMETER: {
      logDebug("Event - type [PARAMETER]");
      std::string_view system;
      const std::string inCrate = idInCrate(id, system);
      // Only the mainframe's own parameters: the server's items (its connection status)
      // are never an event's to set.
      VEXAHVElementPtr element = system == crate.name() ? crate.findById(inCrate) : nullptr;
      if (!element || !hasHardwareEvents(element->hardware()->kind)) {
        crate.countEventDropped(Crate::EventDrop::UnknownItem);
        logError("Event - id [", id, "] not valid");
        return;
      }
      // A system declared lost keeps its items "not connected" until its reconnection
      // restores them; a late event would turn them good while its status still says Ko.
      if (crate.connectionStatus() != kStatusOk) {
        crate.countEventDropped(Crate::EventDrop::NotConnected);
        logDebug("Event - id [", id, "] of a system not connected: not applied");
        return;
      }
      const ValueQT converted = convertEvent(record.value, record.text, sizeof record.text, *element);
      element->setCachedValue(converted);
      crate.countEventApplied(std::chrono::steady_clock::now());
      // A line per value: Informational, so that Notice stays quiet while a crate ramps.
      logInformational("Event - id [", id, "] - value [", ValueText{converted.getData()}, "]");
      return;
    }
    case VEXAHV_EVENT_SIGNAL: {
      logDebug("Event - type [SIGNAL]");
      // A board inserted or removed: its value is the slot. The crate's own thread looks
      // at what the slot holds now.
      std::string_view system;
      if (idInCrate(id, system) == "LiveInsRem" && system == crate.name()) {
        std::uint32_t slot = 0;
        std::memcpy(&slot, record.value, 4);  // as a PARAMETER event's value is read
        if (slot <= 0xFFFF) crate.boardSignalled(static_cast<std::uint16_t>(slot));
      }
      return;
    }
    case VEXAHV_EVENT_KEEPALIVE: {
      logInformational("Event - type [KEEPALIVE]");
      const std::size_t dot = id.find('.');
      if (dot == std::string::npos) return;
      if (std::string_view(id).substr(0, dot) == crate.name()) crate.setKeepAliveState(1);
      return;
    }
    default: return;
  }
}

void applyTcpBatch(VEXAHVElement& system, const VEXAHVTcpEventRecord* records, unsigned count) {
  logDebug("Events received - [", count, "]");
  Crate* crate = system.crate().get();
  if (system.getKeepAliveState() != 1) {
    if (crate != nullptr) {
      for (unsigned i = 0; i < count; ++i) {
        if (records[i].type == VEXAHV_EVENT_PARAMETER) crate->countEventDropped(Crate::EventDrop::NotConnected);
      }
    }
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < count; ++i) {
    const VEXAHVTcpEventRecord& r = records[i];
    switch (r.type) {
      case VEXAHV_EVENT_PARAMETER: {
        const std::string name = boundedText(r.name, sizeof r.name);
        logDebug("Event - type [PARAMETER] - [", name, "]");
        const VEXAHVElementPtr element = findParameterElement(&system, name, r.slot, r.channel);
        if (!element) {
          if (crate != nullptr) crate->countEventDropped(Crate::EventDrop::UnknownItem);
          logError("Event - id [", name, "] not valid");
          break;
        }
        element->setCachedValue(convertEvent(r.data.value, r.data.text, sizeof r.data.text, *element));
        if (crate != nullptr) crate->countEventApplied(now);
        break;
      }
      case VEXAHV_EVENT_SIGNAL: logDebug("Event - type [SIGNAL]"); break;
      case VEXAHV_EVENT_KEEPALIVE: logInformational("Event - type [KEEPALIVE]"); break;
      default: break;
    }
  }
}

}  // namespace vexahv::events
