#include "opctoolbox/da_address_space_root.h"

namespace OpcToolbox {

std::shared_mutex& DaAddressSpaceRoot::treeMutex() {
  static std::shared_mutex mutex;
  return mutex;
}

DaAddressSpaceRoot::DaAddressSpaceRoot() : top_(std::make_shared<DaAddressSpaceElement>()) {
  top_->space_ = this;
  top_->setHasChildren(true);
}

DaAddressSpaceRoot::~DaAddressSpaceRoot() {
  std::unique_lock lock(treeMutex());
  index_.clear();  // all of it goes: no id need be removed one by one
  for (const auto& c : top_->children_) detach(*c);
  top_->children_.clear();
}

void DaAddressSpaceRoot::setStructureListener(StructureListener listener) {
  std::lock_guard lock(listenerMutex_);
  listener_ = std::move(listener);
}

void DaAddressSpaceRoot::structureChanged(const ElementPtr& parent) const {
  StructureListener listener;
  {
    std::lock_guard lock(listenerMutex_);
    listener = listener_;
  }
  if (listener) listener(parent.get() == top_.get() ? nullptr : parent);
}

long DaAddressSpaceRoot::addChild(ElementPtr child) {
  return top_->addChild(std::move(child));
}

long DaAddressSpaceRoot::removeChild(DaAddressSpaceElement* child) { return top_->removeChild(child); }

std::vector<ElementPtr> DaAddressSpaceRoot::getChildren() const { return top_->getChildren(); }

ElementPtr DaAddressSpaceRoot::findElement(std::string_view itemId) const {
  std::shared_lock lock(treeMutex());
  return index_.find(itemId);
}

void DaAddressSpaceRoot::findElements(std::span<const std::string_view> itemIds, std::span<ElementPtr> out) const {
  std::shared_lock lock(treeMutex());
  index_.findMany(itemIds, out);
}

std::size_t DaAddressSpaceRoot::elementCount() const {
  std::shared_lock lock(treeMutex());
  return index_.size();
}

void DaAddressSpaceRoot::attach(DaAddressSpaceElement& element, const std::string& parentId) {
  std::string id;
  {
    std::lock_guard t(element.textMutex_);
    element.itemId_ = parentId.empty() ? element.name_ : parentId + delimiter_ + element.name_;
    id = element.itemId_;
  }
  element.space_ = this;
  index_.insert(id, element.weak_from_this(), &element);
  for (const auto& c : element.children_) attach(*c, id);
}

void DaAddressSpaceRoot::detach(DaAddressSpaceElement& element) {
  for (const auto& c : element.children_) detach(*c);
  const std::string id = [&] {
    std::lock_guard t(element.textMutex_);
    return element.itemId_;
  }();
  index_.erase(id, &element);
  element.space_ = nullptr;
}

}  // namespace OpcToolbox
