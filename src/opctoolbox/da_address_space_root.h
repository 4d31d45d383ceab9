#pragma once
// The root of the toolbox's address space and its index: every element that is part of
// it is found by item id in O(1). Adding and removing are safe while other threads browse,
// look up and read.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/da_address_space_element.h"
#include "opctoolbox/item_index.h"

namespace OpcToolbox {

class DaAddressSpaceRoot {
 public:
  DaAddressSpaceRoot();
  virtual ~DaAddressSpaceRoot();
  DaAddressSpaceRoot(const DaAddressSpaceRoot&) = delete;
  DaAddressSpaceRoot& operator=(const DaAddressSpaceRoot&) = delete;

  long addChild(ElementPtr child);
  long removeChild(DaAddressSpaceElement* child);
  std::vector<ElementPtr> getChildren() const;
  // The element with that item id, or null. With two elements of one id, the first added.
  ElementPtr findElement(std::string_view itemId) const;
  // out[i] = findElement(itemIds[i]), under one lock and faster than one at a time.
  void findElements(std::span<const std::string_view> itemIds, std::span<ElementPtr> out) const;
  std::size_t elementCount() const;

  void setDelimiter(char delimiter) noexcept { delimiter_ = delimiter; }
  char getDelimiter() const noexcept { return delimiter_; }

  // The one lock over the structure of every address space.
  static std::shared_mutex& treeMutex();

  // Called (outside the tree lock) after elements joined the address space under parent
  // (null: at the top), one call per joining step; for the model-change events of clients.
  using StructureListener = std::function<void(const ElementPtr& parent)>;
  void setStructureListener(StructureListener listener);
  void structureChanged(const ElementPtr& parent) const;

 private:
  friend class DaAddressSpaceElement;
  // Under the exclusive tree lock.
  void attach(DaAddressSpaceElement& element, const std::string& parentId);
  void detach(DaAddressSpaceElement& element);

  ElementPtr top_;  // the invisible element whose children are the root's
  mutable std::mutex listenerMutex_;
  StructureListener listener_;
  ItemIndex index_;
  char delimiter_ = '.';
};

}  // namespace OpcToolbox
