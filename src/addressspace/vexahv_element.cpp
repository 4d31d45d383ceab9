#include "addressspace/vexahv_element.h"

#include <algorithm>
#include <charconv>

#include "addressspace/hardware_alarms.h"
#include "addressspace/event_ports.h"
#include "addressspace/item_reader.h"
#include "addressspace/vexahv_opc_server.h"
#include "addressspace/name_tables.h"
#include "history/history_service.h"
#include "hwlib/VEXAHVWrapper.h"
#include "opctoolbox/application.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "logging/logging.h"

namespace vexahv {

using OpcToolbox::DateTime;
using OpcToolbox::ValueQT;
using OpcToolbox::Variant;

const char* statusText(std::int32_t status) noexcept {
  switch (status) {
    case kStatusPending: return "Pending";
    case kStatusOk: return "Ok";
    case kStatusKo: return "Ko";
    default: return "";
  }
}

VEXAHVElement::VEXAHVElement() = default;

VEXAHVElement::VEXAHVElement(const std::string& itemId, const std::string& name,
                             std::uint32_t accessRights, std::uint32_t ioMode, std::uint32_t datatype)
    : DaAddressSpaceElement(itemId, name, accessRights, ioMode, datatype) {}

VEXAHVElement::~VEXAHVElement() = default;

VEXAHVElementPtr VEXAHVElement::create() { return std::make_shared<VEXAHVElement>(); }

long VEXAHVElement::queryProperties(std::vector<OpcToolbox::DaProperty*>& out) {
  std::lock_guard l(mutex_);
  out.clear();
  for (const auto& p : properties_) out.push_back(p.get());
  return 0;
}

void VEXAHVElement::addProperty(std::unique_ptr<OpcToolbox::DaProperty> property) {
  std::lock_guard l(mutex_);
  properties_.push_back(std::move(property));
}

long VEXAHVElement::addElement(VEXAHVElementPtr child) {
  if (child) {
    std::lock_guard l(mutex_);
    children_.push_back(child);
  }
  return addChild(std::move(child));
}

long VEXAHVElement::addElements(const std::vector<VEXAHVElementPtr>& children) {
  const std::vector<OpcToolbox::ElementPtr> base(children.begin(), children.end());
  const long rc = addChildren(base);
  if (rc == OpcToolbox::S_OK) {
    std::lock_guard l(mutex_);
    children_.insert(children_.end(), children.begin(), children.end());
  }
  return rc;
}

std::vector<VEXAHVElementPtr> VEXAHVElement::getOwnChildren() const {
  std::lock_guard l(mutex_);
  return children_;
}

namespace {

bool hasEvents(ElementKind k) {
  return k == ElementKind::SystemProperty || k == ElementKind::BoardParam || k == ElementKind::ChannelParam;
}

// One VEXAHV_Subscribe (or UnSubscribe) of up to the library's list size; the library's
// result, with the number of names it refused.
int subscribeList(std::int32_t handle, std::uint16_t port, bool on, const std::string* ids, std::size_t n,
                  std::size_t& refused) {
  std::string list;
  for (std::size_t i = 0; i < n; ++i) (list += ids[i]) += ':';
  list.pop_back();
  std::vector<char> results(n, static_cast<char>(255));
  const auto count = static_cast<std::uint16_t>(n);
  const int rc = on ? VEXAHV_Subscribe(handle, port, count, list.c_str(), results.data())
                    : VEXAHV_UnSubscribe(handle, port, count, list.c_str(), results.data());
  refused = static_cast<std::size_t>(std::count_if(results.begin(), results.end(), [](char r) { return r != 0; }));
  return rc;
}

// The call never reached the mainframe, or the mainframe is gone: asking again id by id
// would only fail the same way, once per id.
bool linkFailure(int rc) {
  return rc == VEXAHV_ERR_NOT_CONNECTED || rc == VEXAHV_ERR_TIMEOUT || rc == VEXAHV_ERR_UNKNOWN_HANDLE ||
         rc == VEXAHV_ERR_SOCKET || rc == VEXAHV_ERR_NO_MEMORY;
}

// Subscribes (or unsubscribes) ids in lists of the library's size. An id the library
// cannot take is left out and named, and a list the library refuses as a whole is sent
// again id by id: one bad id never leaves the rest of a crate unsubscribed.
void subscribeIds(std::int32_t handle, std::uint16_t port, bool on, const std::vector<std::string>& all) {
  const char* what = on ? "Subscribing" : "Unsubscribing";
  constexpr std::size_t kNamedRefusals = 8;  // lines per list; the rest are counted
  std::vector<std::string> ids;
  ids.reserve(all.size());
  for (const std::string& id : all) {
    if (id.empty() || id.size() >= sizeof(VEXAHVUdpEventRecord::id) || id.find(':') != std::string::npos) {
      logWarning(what, " item [", id, "] of system [", SystemName{handle}, "]: not an identifier the library takes");
      continue;
    }
    ids.push_back(id);
  }
  for (std::size_t first = 0; first < ids.size(); first += VEXAHV_MAX_LIST) {
    const std::size_t n = std::min<std::size_t>(VEXAHV_MAX_LIST, ids.size() - first);
    std::size_t refused = 0;
    const int rc = subscribeList(handle, port, on, &ids[first], n, refused);
    if (rc != VEXAHV_OK && !linkFailure(rc) && n > 1) {
      std::size_t failed = 0;
      for (std::size_t i = first; i < first + n; ++i) {
        std::size_t one = 0;
        const int alone = subscribeList(handle, port, on, &ids[i], 1, one);
        if (alone == VEXAHV_OK && one == 0) continue;
        if (linkFailure(alone)) {  // the rest would fail the same way
          failed += first + n - i;
          break;
        }
        if (failed++ < kNamedRefusals) {
          logWarning(what, " item [", ids[i], "] of system [", SystemName{handle}, "]: refused");
        }
      }
      logWarning(what, " [", n, "] items of system [", SystemName{handle}, "]: result [", rc,
                 "]; one by one, [", failed, "] refused");
      continue;
    }
    if (rc != VEXAHV_OK || refused != 0) {
      logWarning(what, " [", n, "] items of system [", SystemName{handle}, "]: result [", rc, "], [", refused,
                 "] refused");
    }
  }
}

}  // namespace

SystemEntry VEXAHVElement::parseSystemEntry(std::string_view entry) { return vexahv::parseSystemEntry(entry); }

void VEXAHVElement::setName(const std::string& text, ElementKind kind) {
  std::lock_guard l(mutex_);
  kind_ = kind;
  named_ = true;
  // A system's properties and the server's settings change how everything runs: admins only.
  if (kind == ElementKind::SystemProperty || kind == ElementKind::ServerSetting) setWriteRole(OpcToolbox::Role::Admin);
  if (kind != ElementKind::System) {
    DaAddressSpaceElement::setName(text);
    return;
  }
  const SystemEntry e = parseSystemEntry(text);
  DaAddressSpaceElement::setName(e.name);
  auto crate = std::make_shared<Crate>(e);
  crate->setIndex(systemIndex_);
  if (crate_) crate->setHandle(crate_->handle());
  crate_ = std::move(crate);
}

Crate& VEXAHVElement::ownCrate() {
  if (!crate_) crate_ = std::make_shared<Crate>();
  return *crate_;
}

VEXAHVElement::BranchFacts VEXAHVElement::facts() const {
  std::lock_guard l(mutex_);
  return facts_ ? *facts_ : BranchFacts{};
}

void VEXAHVElement::bindHardware(HardwareBinding binding) {
  auto bound = std::make_unique<const HardwareBinding>(std::move(binding));
  if (bound->crate) {
    const ElementKind kind = bound->kind;
    const bool system = kind == ElementKind::SystemProperty || kind == ElementKind::SystemItem;
    const bool channel = kind == ElementKind::ChannelParam;
    // The id in the crate, as a UDP record names the item after the system's own name.
    std::string id;
    if (!system) (id += boardBranchName(bound->slot)) += '.';
    if (channel) (id += channelBranchName(bound->channel)) += '.';
    id += bound->parameter;
    bound->crate->addItem(system ? -1 : bound->slot, channel ? bound->channel : -1, bound->parameter,
                          std::static_pointer_cast<VEXAHVElement>(shared_from_this()), id);
  }
  hardware_ = std::move(bound);
}

ValueQT VEXAHVElement::getCachedValue() const {
  ValueQT v;
  getCacheValue(v);
  if (!held_.load(std::memory_order_acquire)) return v;
  std::lock_guard l(mutex_);
  if (held_.load(std::memory_order_relaxed)) {
    v.setQuality(heldQuality_);
    v.setTimeStamp(heldTime_);
  }
  return v;
}

long VEXAHVElement::setCachedValue(const ValueQT& value) { return valueChanged(value); }

long VEXAHVElement::valueChanged(const ValueQT& value) {
  if (held_.load(std::memory_order_acquire)) {
    std::lock_guard l(mutex_);
    held_.store(false, std::memory_order_release);
  }
  // A channel's or board's status word is what its alarms follow. A poll brings the same
  // word every second: only a word that differs from the good one before can change an alarm.
  const bool statusWord = (getKind() == ElementKind::ChannelParam &&
                           getParamType() == static_cast<std::int32_t>(kChannelStatusType)) ||
                          (getKind() == ElementKind::BoardParam &&
                           getParamType() == static_cast<std::int32_t>(kBoardStatusType));
  bool news = statusWord && value.getQuality() == OpcToolbox::kQualityGood && !value.getData().isEmpty();
  if (news) {
    ValueQT before;
    getCacheValue(before);
    news = before.getQuality() != OpcToolbox::kQualityGood || before.getData().isEmpty() ||
           before.getData().rawUI4() != value.getData().rawUI4();
  }
  const long rc = DaAddressSpaceElement::valueChanged(value);
  recordHistory(value);
  if (news) reportStatusWord(OpcToolbox::getApp()->conditions(), *this, value.getData().rawUI4(), value.getTimeStamp());
  return rc;
}

int VEXAHVElement::subscribe(bool on) {
  const ElementKind kind = getKind();
  if (!hasEvents(kind)) return -2;
  const std::uint16_t port = getSystemType() == 0 ? udpEventPort.load() : tcpEventPort.load();
  const std::string id = getItemId();
  char code = static_cast<char>(255);
  const int handle = getHandle();
  const int rc = on ? VEXAHV_Subscribe(handle, port, 1, id.c_str(), &code)
                    : VEXAHV_UnSubscribe(handle, port, 1, id.c_str(), &code);
  if (code != 0) return -2;
  return rc;
}

void VEXAHVElement::change(bool active, int updateRate) {
  const Activation one{this, active, updateRate};
  applyActivations(&one, 1);
}

void VEXAHVElement::changeAll(const std::vector<OpcToolbox::Creator::ActivationChange>& changes) {
  std::vector<Activation> ours;
  ours.reserve(changes.size());
  for (const auto& c : changes) {
    if (auto* e = dynamic_cast<VEXAHVElement*>(c.element.get())) ours.push_back({e, c.active, c.updateRate});
    else c.element->change(c.active, c.updateRate);
  }
  applyActivations(ours.data(), ours.size());
}

void VEXAHVElement::applyActivations(const Activation* changes, std::size_t count) {
  struct Subscription {
    std::int32_t handle;
    bool on;
    std::vector<std::string> ids;
  };
  std::vector<Subscription> calls;  // in the order of their first element
  for (std::size_t k = 0; k < count; ++k) {
    const Activation& c = changes[k];
    VEXAHVElement* e = c.element;
    if (e->getSystemType() != 0 || e->getIoMode() != OpcToolbox::kIoReport) continue;
    if (c.active && e->getActiveForClients()) continue;
    if (c.active) e->setCachedValue(e->getCachedValue());
    if (!hasEvents(e->getKind())) continue;
    const std::int32_t handle = e->getHandle();
    auto it = std::find_if(calls.begin(), calls.end(),
                           [&](const Subscription& s) { return s.handle == handle && s.on == c.active; });
    if (it == calls.end()) it = calls.insert(calls.end(), Subscription{handle, c.active, {}});
    it->ids.push_back(e->getItemId());
  }
  const std::uint16_t port = udpEventPort.load();
  for (const Subscription& s : calls) subscribeIds(s.handle, port, s.on, s.ids);
  for (std::size_t k = 0; k < count; ++k) {
    const Activation& c = changes[k];
    if (c.element->getSystemType() == 0 && c.element->getIoMode() == OpcToolbox::kIoReport) {
      c.element->setActiveForClients(c.active);
    }
    c.element->DaAddressSpaceElement::change(c.active, c.updateRate);
  }
}

void VEXAHVElement::setSystemHandle(std::int32_t handle) {
  for (const auto& child : getOwnChildren()) {
    // The elements of this crate already follow its handle.
    if (!child->crate_ || child->crate_ != crate_) child->setHandle(handle);
    child->setSystemHandle(handle);
  }
}

void VEXAHVElement::setConnectionStatus(std::int32_t status) {
  if (!getHasChildren()) {
    setConnectionStatusField(status);
    return;
  }
  if (status != kStatusOk && status != getConnectionStatus()) markDisconnected();
  setConnectionStatusField(status);
  if (getKind() == ElementKind::System && crate_) {
    reportCrateConnection(OpcToolbox::getApp()->conditions(), crate_->name(), crate_->address(), status);
  }
  for (const auto& child : getOwnChildren()) {
    if (child->getName() != "ConnStatus") continue;
    child->setConnectionStatusField(status);
    Variant text;
    text.setBSTR(statusText(status));
    child->setCachedValue(ValueQT(text, OpcToolbox::kQualityGood, DateTime::now()));
    return;
  }
}

namespace {

history::Value historyValueOf(const Variant& v) {
  switch (v.vartype()) {
    case OpcToolbox::VT_I1: return history::Value(std::int64_t{v.rawI1()});
    case OpcToolbox::VT_I2: return history::Value(std::int64_t{v.rawI2()});
    case OpcToolbox::VT_I4:
    case OpcToolbox::VT_INT: return history::Value(std::int64_t{v.rawI4()});
    case OpcToolbox::VT_UI1: return history::Value(std::int64_t{v.rawUI1()});
    case OpcToolbox::VT_UI2: return history::Value(std::int64_t{v.rawUI2()});
    case OpcToolbox::VT_UI4:
    case OpcToolbox::VT_UINT: return history::Value(std::int64_t{v.rawUI4()});
    case OpcToolbox::VT_BOOL: return history::Value(std::int64_t{v.rawBOOL() ? 1 : 0});
    case OpcToolbox::VT_R4: return history::Value(static_cast<double>(v.rawR4()));
    case OpcToolbox::VT_R8: return history::Value(v.rawR8());
    case OpcToolbox::VT_BSTR: return history::Value(v.text());
    default: return history::Value();
  }
}

}  // namespace

void VEXAHVElement::recordHistory(const ValueQT& value) const {
  const std::uint32_t slot = historySlot();
  if (slot == 0) return;
  OpcToolbox::Application* app = OpcToolbox::existingApp();
  history::HistoryService* h = app != nullptr ? app->history() : nullptr;
  if (h == nullptr) return;
  const std::int64_t when = value.getTimeStamp().isSet() ? value.getTimeStamp().ticks() : DateTime::now().ticks();
  h->record(slot, history::Sample{when, OpcToolbox::ua::statusOf(value.getQuality()), historyValueOf(value.getData())});
}

void VEXAHVElement::markDisconnected() { markDisconnectedAt(DateTime::now()); }

void VEXAHVElement::markDisconnectedAt(const DateTime& when) {
  for (const auto& child : getOwnChildren()) {
    if (child->crate_ && child->crate_ != crate_) continue;  // another system's element and its subtree
    if (child->getIoMode() != OpcToolbox::kIoNone) {
      ValueQT shown;
      child->getCacheValue(shown);
      {
        std::lock_guard l(child->mutex_);
        if (!child->held_.load(std::memory_order_relaxed)) {
          child->heldQuality_ = shown.getQuality();
          child->heldTime_ = shown.getTimeStamp();
          child->held_.store(true, std::memory_order_release);
        }
      }
      // The toolbox and clients see "not connected"; the element keeps what it had. Its
      // history shows the hole from this moment, not a line to the next value.
      child->DaAddressSpaceElement::valueChanged(ValueQT(shown.getData(), OpcToolbox::kQualityNotConnected, when));
      child->recordHistory(ValueQT(Variant(), OpcToolbox::kQualityNotConnected, when));
    }
    child->markDisconnectedAt(when);
  }
}

void VEXAHVElement::refreshActiveValues(std::stop_token stop) {
  for (const auto& child : getOwnChildren()) {
    if (stop.stop_requested()) return;
    if (child->getActiveForClients()) {
      const ValueQT v = readItemValue(child.get());
      child->setCachedValue(v);
    }
    child->refreshActiveValues(stop);
  }
}

void VEXAHVElement::resubscribeActive(std::stop_token stop) {
  for (const auto& child : getOwnChildren()) {
    if (stop.stop_requested()) return;
    if (child->getActiveForClients()) {
      const ValueQT v = readItemValue(child.get());
      child->setCachedValue(v);
      child->subscribe(true);
    }
    child->resubscribeActive(stop);
  }
}

void VEXAHVElement::refreshAllValues(std::stop_token stop) {
  for (const auto& child : getOwnChildren()) {
    if (stop.stop_requested()) return;
    const ValueQT v = readItemValue(child.get());
    child->setCachedValue(v);
    child->refreshActiveValues(stop);
  }
}

}  // namespace vexahv
