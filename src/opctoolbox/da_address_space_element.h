#pragma once
// One node of the toolbox's address space. Elements are shared: the tree owns them, and
// whoever looks one up or browses holds it for as long as it needs, so a removal never
// frees an element under a reader. The tree's structure (parents, children, item ids)
// is guarded by one address-space lock; each element's value cache by its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/da_property.h"
#include "opctoolbox/value_qt.h"

namespace OpcToolbox {

class DaAddressSpaceRoot;
class DaSession;
class DaAddressSpaceElement;
using ElementPtr = std::shared_ptr<DaAddressSpaceElement>;

enum EnumAccessRights : std::uint32_t { kReadable = 1, kWriteable = 2, kReadWriteable = 3 };
enum EnumIoMode : std::uint32_t { kIoNone = 0, kIoPoll = 1, kIoReport = 2 };

// Told of every new value of the elements it watches, on the thread that changed the
// value. It must not add or remove observers of that element from inside the call.
class ValueObserver {
 public:
  virtual ~ValueObserver() = default;
  virtual void onValueChanged(DaAddressSpaceElement& element, const ValueQT& value) = 0;
};

class DaAddressSpaceElement : public std::enable_shared_from_this<DaAddressSpaceElement> {
 public:
  DaAddressSpaceElement() = default;
  DaAddressSpaceElement(std::string itemId, std::string name, std::uint32_t accessRights,
                        std::uint32_t ioMode, std::uint32_t datatype);

  // Virtual slots, in order.
  virtual ~DaAddressSpaceElement();
  // The child joins this element's subtree; when this element is in an address space the
  // child's subtree gets its item ids and becomes findable at once.
  virtual long addChild(ElementPtr child);
  // Adds several children at once: a client sees all of them or none. E_INVALIDARG (and
  // nothing added) when one is null, this element, or already has a parent.
  long addChildren(const std::vector<ElementPtr>& children);
  virtual long removeChild(DaAddressSpaceElement* child);
  virtual std::vector<ElementPtr> getChildren() const;
  virtual ElementPtr getParent() const;
  virtual std::uintptr_t getUserData() const { return userData_.load(); }
  virtual void setUserData(std::uintptr_t data) { userData_ = data; }
  virtual void addedToAddressSpace() {}
  virtual void removedFromAddressSpace() {}
  virtual void triggerAddedToAddressSpace();
  virtual void triggerRemovedFromAddressSpace();
  virtual long getCacheValue(ValueQT& out) const;
  virtual long queryCacheValue(DaSession* session, ValueQT& out);
  virtual long queryProperties(std::vector<DaProperty*>& out);
  // Stores the value in the cache and hands it to every observer.
  virtual long valueChanged(const ValueQT& value);
  // Clients started (active) or stopped watching the item; the rate is in ms.
  virtual void change(bool active, int updateRate);

  std::string getName() const;
  void setName(std::string name);
  std::string getItemId() const;
  void setItemId(std::string itemId);
  bool getHasChildren() const noexcept { return hasChildren_; }
  void setHasChildren(bool v) noexcept { hasChildren_ = v; }
  bool getIsBrowsable() const noexcept { return browsable_; }
  void setIsBrowsable(bool v) noexcept { browsable_ = v; }
  std::uint32_t getAccessRights() const noexcept { return accessRights_; }
  void setAccessRights(std::uint32_t v) noexcept { accessRights_ = v; }
  // The least role whose users may write the item (operator unless the builder says otherwise).
  Role getWriteRole() const noexcept { return writeRole_; }
  void setWriteRole(Role r) noexcept { writeRole_ = r; }
  std::uint32_t getIoMode() const noexcept { return ioMode_; }
  void setIoMode(std::uint32_t v) noexcept { ioMode_ = v; }
  std::uint16_t getDatatype() const noexcept { return datatype_; }
  void setDatatype(std::uint16_t v) noexcept { datatype_ = v; }
  bool getActive() const noexcept { return active_; }
  void setActive(bool v) noexcept { active_ = v; }
  int getUpdateRate() const noexcept { return updateRate_; }
  void setUpdateRate(int v) noexcept { updateRate_ = v; }
  // What the item's value means, where a number alone does not say (the bits of a status
  // word): text of static storage, or null. Published as the item's Definition.
  const char* getDefinition() const noexcept { return definition_.load(); }
  void setDefinition(const char* text) noexcept { definition_ = text; }

  // How long reading the item from its device takes (smoothed over the device reads that
  // held it; 0 until one did): no sampling of a polled item can honestly be faster.
  void noteReadTime(std::chrono::microseconds took) noexcept;
  std::chrono::microseconds readTime() const noexcept { return std::chrono::microseconds(readTimeUs_.load()); }

  void addObserver(ValueObserver* observer);
  void removeObserver(ValueObserver* observer);
  // What the value means changed (its range, unit or state labels, read again): a count
  // that watchers compare with the one they saw, so that the next value they send says so.
  // The current value goes to every observer again, carrying the change.
  std::uint32_t getSemanticsVersion() const noexcept { return semantics_.load(std::memory_order_acquire); }
  void semanticsChanged();
  // The address space this element is part of, or null while it is detached.
  DaAddressSpaceRoot* addressSpace() const noexcept { return space_.load(); }

 private:
  friend class DaAddressSpaceRoot;

  mutable std::mutex textMutex_;  // name and item id
  std::string name_;
  std::string itemId_;
  std::atomic<bool> hasChildren_{false};
  std::atomic<bool> browsable_{true};
  std::atomic<std::uint32_t> accessRights_{kReadable};
  std::atomic<std::uint32_t> ioMode_{kIoNone};
  std::atomic<Role> writeRole_{Role::Operator};
  std::atomic<std::uint16_t> datatype_{VT_EMPTY};
  std::atomic<bool> active_{false};
  std::atomic<int> updateRate_{0};
  std::atomic<std::uintptr_t> userData_{0};
  std::atomic<std::uint32_t> readTimeUs_{0};
  std::atomic<const char*> definition_{nullptr};
  std::atomic<std::uint32_t> semantics_{0};

  // Structure: guarded by the address-space lock (treeMutex()).
  std::weak_ptr<DaAddressSpaceElement> parent_;
  std::vector<ElementPtr> children_;
  std::atomic<DaAddressSpaceRoot*> space_{nullptr};

  mutable std::mutex cacheMutex_;
  ValueQT cache_;

  std::mutex observerMutex_;
  std::vector<ValueObserver*> observers_;
};

}  // namespace OpcToolbox
