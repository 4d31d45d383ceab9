#include "requests/group_read_transaction_handler.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "addressspace/item_reader.h"
#include "addressspace/library_result.h"
#include "addressspace/vexahv_element.h"
#include "addressspace/vexahv_opc_server.h"
#include "hwlib/VEXAHVWrapper.h"
#include "requests/property_value.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

namespace {

constexpr const char* kCtor = "VEXAHVGroupReadTransactionHandler::VEXAHVGroupReadTransactionHandler";
constexpr const char* kNonBatch = "VEXAHVGroupReadTransactionHandler::readNonBatchElements";
constexpr const char* kBatch = "VEXAHVGroupReadTransactionHandler::readBatchElements";
constexpr const char* kMapCtor = "VEXAHVGroupReadTransactionHandler::BatchReaderMap::BatchReaderMap";
constexpr const char* kAdd = "VEXAHVGroupReadTransactionHandler::BatchReaderMap::addElement";
constexpr const char* kMulti = "VEXAHVGroupReadTransactionHandler::readMultiChannelParametersAsBatch";

struct Batchable {
  const char* name;
  bool asFloat;
};
// Index = batch read type.
constexpr std::array<Batchable, kNotBatched> kBatchable{{
    {"Status", false}, {"VMon", true}, {"IMon", true}, {"I0Set", true}, {"OutReg", false}, {"Pw", false},
    {"SVMax", true}, {"Trip", true}, {"V0Set", true}, {"VCon", true}, {"GlbOffEn", false}, {"GlbOnEn", false},
}};
// Monitored values first: they are what a group read is usually for.
constexpr std::array<int, kNotBatched> kReadOrder{1, 2, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11};

std::string hex(const void* p) {
  char text[2 + 2 * sizeof(std::uintptr_t)] = {'0', 'x'};
  const auto r = std::to_chars(text + 2, text + sizeof text, reinterpret_cast<std::uintptr_t>(p), 16);
  return std::string(text, r.ptr);
}

std::string nameOf(const RequestElementValueTrio& t) { return t.element ? t.element->getName() : std::string(); }

}  // namespace

int getBatchReadType(const VEXAHVElement* element) {
  if (element == nullptr) return kNotBatched;
  const HardwareBinding* hw = element->hardware();
  if (hw == nullptr || hw->kind != ElementKind::ChannelParam || hw->handle() == -1) return kNotBatched;
  if (element->getAccessRights() == OpcToolbox::kWriteable) return kNotBatched;
  for (std::size_t type = 0; type < kBatchable.size(); ++type) {
    if (hw->parameter == kBatchable[type].name) return static_cast<int>(type);
  }
  return kNotBatched;
}

bool batchableByBinding(const VEXAHVElement* element) {
  const HardwareBinding* hw = element != nullptr ? element->hardware() : nullptr;
  if (hw == nullptr || hw->kind != ElementKind::ChannelParam || hw->handle() == -1 || hw->parameter == "Name") {
    return false;
  }
  if (element->getAccessRights() == OpcToolbox::kWriteable) return false;
  return hw->paramType >= VEXAHV_PARAM_NUMERIC && hw->paramType <= VEXAHV_PARAM_STRING;
}

VEXAHVGroupReadTransactionHandler::VEXAHVGroupReadTransactionHandler(const OpcToolbox::RequestList& requests) {
  logDebug(kCtor, " handling transaction [", hex(this), "] of [", requests.size(), "] requests");
  for (const auto& request : requests) {
    auto* element = request ? dynamic_cast<VEXAHVElement*>(request->getAddressSpaceElement()) : nullptr;
    // A property is answered from the element, never from the hardware.
    int type = request && request->getPropertyId() != 0 ? kNotBatched : getBatchReadType(element);
    if (type == kNotBatched && request && request->getPropertyId() == 0 && batchableByBinding(element)) {
      type = kBatchedByName;
    }
    auto trio = std::make_unique<RequestElementValueTrio>(request, element);
    if (logEnabled(Severity::Debug)) {
      logDebug(kCtor, " added trio for element [", nameOf(*trio), "] to collection with batchType [", type, "]");
    }
    m_trios.emplace(type, std::move(trio));
  }
  logDebug(kCtor, " built trio map of [", m_trios.size(), "] requests");
}

void VEXAHVGroupReadTransactionHandler::readTransaction() {
  readNonBatchElements();
  for (int type : kReadOrder) readBatchElements(type);
  readBatchElementsByName();
  for (const auto& [type, trio] : m_trios) {
    if (!trio->request) continue;
    trio->request->setValue(trio->value);
    trio->request->setResult(OpcToolbox::S_OK);
  }
}

void VEXAHVGroupReadTransactionHandler::readNonBatchElements() {
  logDebug(kNonBatch, "+");
  const auto [begin, end] = m_trios.equal_range(kNotBatched);
  for (auto it = begin; it != end; ++it) {
    RequestElementValueTrio& trio = *it->second;
    const bool debug = logEnabled(Severity::Debug);
    const std::string name = debug ? nameOf(trio) : std::string();
    if (debug) logDebug(kNonBatch, "reading non batch element [", name, "]");
    if (trio.request && trio.request->getPropertyId() != 0) {
      OpcToolbox::DaAddressSpaceElement* element = trio.request->getAddressSpaceElement();
      if (element == nullptr || !readPropertyValue(*element, trio.request->getPropertyId(), trio.value)) {
        trio.value = ValueQT(Variant{}, OpcToolbox::kQualityBad, OpcToolbox::DateTime::now());
      }
      continue;
    }
    // No element lock across the library call: the value comes back as a copy.
    trio.value = readItemValue(trio.element);
    if (debug) logDebug(kNonBatch, "read non batch element [", name, "], value [", trio.value.getData().toString(), "]");
  }
  logDebug(kNonBatch, "-");
}

VEXAHVGroupReadTransactionHandler::BatchReaderMap::BatchReaderMap(int batchReadableType)
    : m_batchReadableType(batchReadableType) {
  logDebug(kMapCtor, "+ m_batchReadableType [", batchReadableType, "]");
}

void VEXAHVGroupReadTransactionHandler::BatchReaderMap::addElement(std::int32_t systemHandle, std::uint16_t slot,
                                                                   RequestElementValueTrio* trio) {
  const bool debug = logEnabled(Severity::Debug);
  const std::string name = debug ? nameOf(*trio) : std::string();
  if (debug) {
    logDebug(kAdd, "+ adding batchable element [", name, "] to batch read system [", systemHandle, "] slot [", slot,
             "] batchReadType [", m_batchReadableType, "]");
  }
  m_systems[systemHandle][slot].push_back(trio);
  if (debug) logDebug(kAdd, "- adding batchable element [", name, "]");
}

void VEXAHVGroupReadTransactionHandler::readBatchElements(int type) {
  const Batchable& batchable = kBatchable[static_cast<std::size_t>(type)];
  logDebug(kBatch, "+ type [", type, "] parameter [", batchable.name, "]");
  BatchReaderMap map(type);
  const auto [begin, end] = m_trios.equal_range(type);
  for (auto it = begin; it != end; ++it) {
    RequestElementValueTrio* trio = it->second.get();
    const HardwareBinding* hw = trio->element->hardware();  // every batched item has one
    map.addElement(hw->handle(), hw->slot, trio);
  }
  logDebug(kMapCtor, "-");
  logDebug(kBatch, " starting batch read process, discovered [", map.systems().size(), "] systems to read from");
  for (const auto& [handle, slots] : map.systems()) {
    logDebug(kBatch, " system batch read, building read parameters for system [", handle, "] with [", slots.size(),
             "] slots");
    for (const auto& [slot, trios] : slots) {
      logDebug(kBatch, " system batch read, building read parameters for system [", handle, "] slot [", slot,
               "] with [", trios.size(), "] channels");
      readMultiChannelParametersAsBatch(handle, slot, batchable.name, batchable.asFloat, trios);
    }
  }
  logDebug(kBatch, "-");
}

void VEXAHVGroupReadTransactionHandler::readBatchElementsByName() {
  // By system, slot and parameter name, each group in request order.
  std::map<std::int32_t, std::map<std::uint16_t, std::map<std::string, std::vector<RequestElementValueTrio*>>>> groups;
  const auto [begin, end] = m_trios.equal_range(kBatchedByName);
  for (auto it = begin; it != end; ++it) {
    const HardwareBinding* hw = it->second->element->hardware();
    groups[hw->handle()][hw->slot][hw->parameter].push_back(it->second.get());
  }
  logDebug(kBatch, "+ type [", kBatchedByName, "] by parameter name, discovered [", groups.size(),
           "] systems to read from");
  for (const auto& [handle, slots] : groups) {
    for (const auto& [slot, names] : slots) {
      for (const auto& [name, trios] : names) {
        logDebug(kBatch, " system batch read, building read parameters for system [", handle, "] slot [", slot,
                 "] parameter [", name, "] with [", trios.size(), "] channels");
        readMultiChannelParametersAsBatch(handle, slot, name.c_str(),
                                          trios.front()->element->hardware()->paramType == VEXAHV_PARAM_NUMERIC,
                                          trios);
      }
    }
  }
  logDebug(kBatch, "-");
}

void VEXAHVGroupReadTransactionHandler::readMultiChannelParametersAsBatch(
    std::int32_t handle, std::uint16_t slot, const char* name, bool asFloat,
    const std::vector<RequestElementValueTrio*>& trios) {
  // The library takes at most VEXAHV_MAX_LIST channels a call; a larger group (the same
  // channel may be asked for many times) takes several.
  // Text values (a parameter of type 5, batched by name) take one text field a channel.
  const HardwareBinding* bound = trios.empty() ? nullptr : trios.front()->element->hardware();
  const bool text = bound != nullptr && bound->paramType == VEXAHV_PARAM_STRING;
  const std::size_t field = text ? VEXAHV_TEXT_VALUE_SIZE : 4;
  for (std::size_t first = 0; first < trios.size(); first += VEXAHV_MAX_LIST) {
    const std::size_t count = std::min<std::size_t>(VEXAHV_MAX_LIST, trios.size() - first);
    std::vector<std::uint16_t> channels(count);
    std::vector<char> values(count * field, '\0');
    for (std::size_t i = 0; i < count; ++i) {
      channels[i] = trios[first + i]->element->hardware()->channel;
    }
    logDebug(kMulti, " system batch read, building read parameters for system [", handle, "] slot [", slot,
             "] and [", count, "] channels");
    logDebug(kMulti, " reading [", count, "] values for mainframe with SystemHandle [", handle, "] slot Number [",
             slot, "]...");
    const int rc = VEXAHV_GetChParam(handle, slot, name, static_cast<std::uint16_t>(count), channels.data(),
                                     values.data());
    logInformational(kMulti, " batch read complete, read [", count, "] parameter type [", name,
                     "] return value from hw read [", rc, "]");
    if (rc != 0) {
      logWarning(kMulti, " VEXAHV_GetChParam returned failure value [", rc, "]", " (system [", SystemName{handle},
                 "], slot [", slot, "], parameter [", name, "], [", count, "] channels)");
    }
    const OpcToolbox::DateTime now = OpcToolbox::DateTime::now();
    const std::uint16_t quality = qualityOf(rc);
    for (std::size_t i = 0; i < count; ++i) {
      RequestElementValueTrio& trio = *trios[first + i];
      char* raw = values.data() + i * field;
      if (text) raw[field - 1] = '\0';
      float f = 0;
      std::int32_t n = 0;
      std::memcpy(&f, raw, sizeof f);
      std::memcpy(&n, raw, sizeof n);
      if (logEnabled(Severity::Debug)) {
        if (asFloat) {
          logDebug(kMulti, " assigning element [", trio.element->getName(), "] value [", static_cast<double>(f), "]");
        } else {
          logDebug(kMulti, " assigning element [", trio.element->getName(), "] value [", n, "]");
        }
      }
      // Typed as an item-by-item read types it (an on/off "Pw" is UI2, not I4), so both
      // ways give clients the same value; an unknown parameter type as the name's reader reads it.
      const std::int32_t type = trio.element->hardware()->paramType;
      Variant v = parameterFailureValue(type);
      if (rc == 0 && !convertParameterValue(type, reinterpret_cast<const std::uint8_t*>(raw), text ? raw : "", v)) {
        if (asFloat) v.setR4(f);
        else v.setI4(n);
      }
      trio.value = ValueQT(std::move(v), quality, now);
    }
  }
}

}  // namespace vexahv
