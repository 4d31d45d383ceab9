#include "opctoolbox/da_address_space_element.h"

#include <algorithm>

#include "opctoolbox/da_address_space_root.h"

namespace OpcToolbox {

DaAddressSpaceElement::DaAddressSpaceElement(std::string itemId, std::string name,
                                             std::uint32_t accessRights, std::uint32_t ioMode,
                                             std::uint32_t datatype)
    : name_(std::move(name)),
      itemId_(std::move(itemId)),
      accessRights_(accessRights),
      ioMode_(ioMode),
      datatype_(static_cast<std::uint16_t>(datatype)) {
  cache_.setTimeStamp(DateTime::now());
}

DaAddressSpaceElement::~DaAddressSpaceElement() = default;

long DaAddressSpaceElement::addChild(ElementPtr child) {
  if (!child || child.get() == this) return E_INVALIDARG;
  bool attached = false;
  {
    std::unique_lock lock(DaAddressSpaceRoot::treeMutex());
    if (!child->parent_.expired() || child->space_.load() != nullptr) return E_INVALIDARG;
    child->parent_ = weak_from_this();
    children_.push_back(child);
    hasChildren_ = true;
    if (DaAddressSpaceRoot* space = space_.load()) {
      std::string id;
      {
        std::lock_guard t(textMutex_);
        id = itemId_;
      }
      space->attach(*child, id);
      attached = true;
    }
  }
  if (attached) {
    child->triggerAddedToAddressSpace();
    if (DaAddressSpaceRoot* space = space_.load()) space->structureChanged(shared_from_this());
  }
  return S_OK;
}

long DaAddressSpaceElement::addChildren(const std::vector<ElementPtr>& children) {
  bool attached = false;
  {
    std::unique_lock lock(DaAddressSpaceRoot::treeMutex());
    for (const auto& child : children) {
      if (!child || child.get() == this || !child->parent_.expired() || child->space_.load() != nullptr) {
        return E_INVALIDARG;
      }
    }
    std::string id;
    {
      std::lock_guard t(textMutex_);
      id = itemId_;
    }
    DaAddressSpaceRoot* space = space_.load();
    for (const auto& child : children) {
      child->parent_ = weak_from_this();
      children_.push_back(child);
      hasChildren_ = true;
      if (space != nullptr) space->attach(*child, id);
    }
    attached = space != nullptr;
  }
  if (attached) {
    for (const auto& child : children) child->triggerAddedToAddressSpace();
    if (DaAddressSpaceRoot* space = space_.load()) space->structureChanged(shared_from_this());
  }
  return S_OK;
}

long DaAddressSpaceElement::removeChild(DaAddressSpaceElement* child) {
  ElementPtr removed;
  {
    std::unique_lock lock(DaAddressSpaceRoot::treeMutex());
    auto it = std::find_if(children_.begin(), children_.end(),
                           [&](const ElementPtr& c) { return c.get() == child; });
    if (it == children_.end()) return E_INVALIDARG;
    removed = *it;
    children_.erase(it);
    removed->parent_.reset();
    if (DaAddressSpaceRoot* space = space_.load()) space->detach(*removed);
  }
  removed->triggerRemovedFromAddressSpace();
  return S_OK;
}

std::vector<ElementPtr> DaAddressSpaceElement::getChildren() const {
  std::shared_lock lock(DaAddressSpaceRoot::treeMutex());
  return children_;
}

ElementPtr DaAddressSpaceElement::getParent() const {
  std::shared_lock lock(DaAddressSpaceRoot::treeMutex());
  return parent_.lock();
}

void DaAddressSpaceElement::triggerAddedToAddressSpace() {
  addedToAddressSpace();
  for (const auto& c : getChildren()) c->triggerAddedToAddressSpace();
}

void DaAddressSpaceElement::triggerRemovedFromAddressSpace() {
  removedFromAddressSpace();
  for (const auto& c : getChildren()) c->triggerRemovedFromAddressSpace();
}

long DaAddressSpaceElement::getCacheValue(ValueQT& out) const {
  std::lock_guard lock(cacheMutex_);
  out = cache_;
  return S_OK;
}

long DaAddressSpaceElement::queryCacheValue(DaSession*, ValueQT& out) { return getCacheValue(out); }

long DaAddressSpaceElement::queryProperties(std::vector<DaProperty*>& out) {
  out.clear();
  return S_OK;
}

long DaAddressSpaceElement::valueChanged(const ValueQT& value) {
  {
    std::lock_guard lock(cacheMutex_);
    cache_ = value;
  }
  // Under the observer lock: once removeObserver has returned, that observer is called no
  // more, so its owner may destroy it.
  std::lock_guard lock(observerMutex_);
  for (ValueObserver* o : observers_) o->onValueChanged(*this, value);
  return S_OK;
}

void DaAddressSpaceElement::semanticsChanged() {
  semantics_.fetch_add(1, std::memory_order_acq_rel);
  ValueQT current;
  getCacheValue(current);
  std::lock_guard lock(observerMutex_);
  for (ValueObserver* o : observers_) o->onValueChanged(*this, current);
}

void DaAddressSpaceElement::change(bool active, int updateRate) {
  active_ = active;
  updateRate_ = updateRate;
}

std::string DaAddressSpaceElement::getName() const {
  std::lock_guard lock(textMutex_);
  return name_;
}

void DaAddressSpaceElement::setName(std::string name) {
  std::lock_guard lock(textMutex_);
  name_ = std::move(name);
}

std::string DaAddressSpaceElement::getItemId() const {
  std::lock_guard lock(textMutex_);
  return itemId_;
}

void DaAddressSpaceElement::setItemId(std::string itemId) {
  std::lock_guard lock(textMutex_);
  itemId_ = std::move(itemId);
}

void DaAddressSpaceElement::noteReadTime(std::chrono::microseconds took) noexcept {
  const auto fresh = static_cast<std::uint32_t>(std::clamp<std::int64_t>(took.count(), 1, 0xFFFFFFFF));
  const std::uint32_t old = readTimeUs_.load(std::memory_order_relaxed);
  // A quarter of each new reading: one slow read does not slow every sampling for good.
  const std::uint64_t smoothed = old == 0 ? fresh : (3ull * old + fresh) / 4;
  readTimeUs_.store(static_cast<std::uint32_t>(smoothed), std::memory_order_relaxed);
}

void DaAddressSpaceElement::addObserver(ValueObserver* observer) {
  std::lock_guard lock(observerMutex_);
  observers_.push_back(observer);
}

void DaAddressSpaceElement::removeObserver(ValueObserver* observer) {
  // One registration only: an observer whose monitor is being replaced (a new sampling
  // rate) is registered twice for a moment, and must stay registered once.
  std::lock_guard lock(observerMutex_);
  if (auto it = std::find(observers_.begin(), observers_.end(), observer); it != observers_.end()) observers_.erase(it);
  // The last observer gone, its list goes too: thousands of small lists left behind would
  // each keep a page of the freed items resident.
  if (observers_.empty()) std::vector<ValueObserver*>().swap(observers_);
}

}  // namespace OpcToolbox
