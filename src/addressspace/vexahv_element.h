#pragma once
// The one class behind every node of the address space: a toolbox element that knows
// its kind, where it sits (slot, channel) and, for hardware items, its binding to its
// crate. The value cache is the toolbox's; a lost connection shows "not connected" to
// clients while the element keeps the quality it had, held beside the cache.
//
// System state (handle, connection status, event channel, credentials) is the crate's,
// shared by the system node and every element below it; the accessors here forward to
// it. An element made outside the builder gets a crate of its own when one of them is
// set. The element's lock guards its own fields; no observer is told of a value while it
// is held, and no walk holds it across a library call or holds two elements' locks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "addressspace/crate.h"
#include "addressspace/element_kind.h"
#include "config/system_entry.h"
#include "opctoolbox/creator.h"
#include "opctoolbox/da_address_space_element.h"

namespace vexahv {

class VEXAHVElement;
using VEXAHVElementPtr = std::shared_ptr<VEXAHVElement>;

// What a hardware item is bound to, resolved once when the builder makes it, so that a
// read, a write, a batch or an event never splits the item id or climbs the tree.
struct HardwareBinding {
  std::shared_ptr<Crate> crate;
  std::string systemName;
  std::uint16_t slot = 0;     // board and channel items
  std::uint16_t channel = 0;  // channel items
  std::string parameter;      // the name the library knows the item by
  std::int32_t paramType = 0;
  std::uint16_t datatype = 0;
  ElementKind kind = ElementKind::SystemItem;
  std::int32_t handle() const noexcept { return crate ? crate->handle() : -1; }
};

class VEXAHVElement : public OpcToolbox::DaAddressSpaceElement {
 public:
  VEXAHVElement();
  // The toolbox's element arguments; the own fields keep their defaults.
  VEXAHVElement(const std::string& itemId, const std::string& name, std::uint32_t accessRights,
                std::uint32_t ioMode, std::uint32_t datatype);
  ~VEXAHVElement() override;

  static VEXAHVElementPtr create();

  long queryProperties(std::vector<OpcToolbox::DaProperty*>& out) override;
  void change(bool active, int updateRate) override;
  // A new value from anywhere (the toolbox's device reads included) ends a "not connected"
  // marking.
  long valueChanged(const OpcToolbox::ValueQT& value) override;
  // change() for many elements at once, with one VEXAHV_Subscribe (or UnSubscribe) per
  // system and up to the library's list size instead of one per element.
  static void changeAll(const std::vector<OpcToolbox::Creator::ActivationChange>& changes);
  // Appends the child to the own list, then adds it to the toolbox tree; a null child
  // goes to the toolbox alone.
  virtual long addElement(VEXAHVElementPtr child);
  // Several children at once (own list and the toolbox's): a client sees all or none.
  long addElements(const std::vector<VEXAHVElementPtr>& children);

  // A system node's text is its entry: the node gets the crate that entry describes.
  void setName(const std::string& text, ElementKind kind);
  static SystemEntry parseSystemEntry(std::string_view entry);

  std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }

  // The value with the quality the element last had from its hardware (a "not connected"
  // marking is the clients' view only).
  OpcToolbox::ValueQT getCachedValue() const;
  // Stores the value and reports it to the toolbox's observers; the toolbox's result.
  long setCachedValue(const OpcToolbox::ValueQT& value);

  // Subscribes or unsubscribes this item's hardware events; 0 on success, -2 when the
  // kind has no events or the library refused the name, else the library's result.
  int subscribe(bool on);
  void setSystemHandle(std::int32_t handle);  // on every descendant (not this node)
  void setConnectionStatus(std::int32_t status);
  void markDisconnected();
  // Walks that read from the hardware; a stop request ends them between items.
  void refreshActiveValues(std::stop_token stop = {});
  void resubscribeActive(std::stop_token stop = {});
  void refreshAllValues(std::stop_token stop = {});

  std::vector<VEXAHVElementPtr> getOwnChildren() const;
  // The parent branch as the server's element.
  VEXAHVElementPtr getParentElement() const { return std::dynamic_pointer_cast<VEXAHVElement>(getParent()); }
  void addProperty(std::unique_ptr<OpcToolbox::DaProperty> property);

  // The crate this element belongs to (null for one that belongs to none, such as the
  // server's settings at the root). The builder attaches every element of a system.
  const std::shared_ptr<Crate>& crate() const noexcept { return crate_; }
  // Attached before the element is shared (the crate pointer is read without a lock).
  void attachCrate(std::shared_ptr<Crate> crate) { crate_ = std::move(crate); }

#define VEXAHV_FIELD(Type, Name, member) \
  Type get##Name() const {               \
    std::lock_guard l(mutex_);           \
    return member;                       \
  }                                      \
  void set##Name(Type v) {               \
    std::lock_guard l(mutex_);           \
    member = std::move(v);               \
  }
  VEXAHV_FIELD(ElementKind, Kind, kind_)
  VEXAHV_FIELD(std::uint16_t, SystemIndex, systemIndex_)
  VEXAHV_FIELD(std::uint16_t, Slot, slot_)
  VEXAHV_FIELD(std::uint16_t, Channel, channel_)
  VEXAHV_FIELD(std::int32_t, ParamType, paramType_)
  // The own `active` flag: subscribed for clients (the toolbox's flag is getActive()).
  VEXAHV_FIELD(bool, ActiveForClients, active_)
#undef VEXAHV_FIELD

  // The crate's state, for the system node and every element of it.
  std::int32_t getHandle() const noexcept { return crate_ ? crate_->handle() : -1; }
  void setHandle(std::int32_t v) { ownCrate().setHandle(v); }
  std::int32_t getSystemHandle() const noexcept { return getHandle(); }
  std::int32_t getSystemType() const noexcept { return crate_ ? crate_->systemType() : 2; }
  void setSystemType(std::int32_t v) { ownCrate().setSystemType(v); }
  std::string getAddress() const { return crate_ ? crate_->address() : std::string(); }
  std::string getUserName() const { return crate_ ? crate_->userName() : std::string(); }
  std::string getPassword() const { return crate_ ? crate_->password() : std::string(); }
  std::int32_t getLinkType() const noexcept { return crate_ ? crate_->linkType() : -1; }
  std::uint16_t getSlotCount() const noexcept { return crate_ ? crate_->slotCount() : 0; }
  void setSlotCount(std::uint16_t v) { ownCrate().setSlotCount(v); }
  // The plain state; setConnectionStatus() is the operation that also updates the items.
  std::int32_t getConnectionStatus() const noexcept { return crate_ ? crate_->connectionStatus() : kStatusPending; }
  void setConnectionStatusField(std::int32_t v) { ownCrate().setConnectionStatus(v); }
  bool getEventsEnabled() const noexcept { return crate_ && crate_->eventsEnabled(); }
  void setEventsEnabled(bool v) { ownCrate().setEventsEnabled(v); }
  bool getNeedsConfiguration() const noexcept { return !crate_ || crate_->needsConfiguration(); }
  void setNeedsConfiguration(bool v) { ownCrate().setNeedsConfiguration(v); }
  std::int16_t getKeepAliveState() const noexcept { return crate_ ? crate_->keepAliveState() : kEventsIdle; }
  void setKeepAliveState(std::int16_t v) { ownCrate().setKeepAliveState(v); }
  std::uint16_t getKeepAliveFailCount() const noexcept { return crate_ ? crate_->failCount() : 0; }
  void setKeepAliveFailCount(std::uint16_t v) { ownCrate().setFailCount(v); }
  bool hasEventThread() const { return crate_ && crate_->hasEventThread(); }

  // What a board or channel branch knows of itself (made by the builder, kept for the
  // items it makes from it); empty on every other element.
  std::uint16_t getChannelCount() const { return facts().channelCount; }
  void setChannelCount(std::uint16_t v) { editFacts([&](BranchFacts& f) { f.channelCount = v; }); }
  std::string getBoardModel() const { return facts().boardModel; }
  void setBoardModel(std::string v) { editFacts([&](BranchFacts& f) { f.boardModel = std::move(v); }); }
  std::string getBoardDescription() const { return facts().boardDescription; }
  void setBoardDescription(std::string v) { editFacts([&](BranchFacts& f) { f.boardDescription = std::move(v); }); }
  std::uint16_t getBoardSerial() const { return facts().boardSerial; }
  void setBoardSerial(std::uint16_t v) { editFacts([&](BranchFacts& f) { f.boardSerial = v; }); }
  std::string getFirmwareMinor() const { return facts().firmwareMinor; }
  void setFirmwareMinor(std::string v) { editFacts([&](BranchFacts& f) { f.firmwareMinor = std::move(v); }); }
  std::string getFirmwareMajor() const { return facts().firmwareMajor; }
  void setFirmwareMajor(std::string v) { editFacts([&](BranchFacts& f) { f.firmwareMajor = std::move(v); }); }
  std::string getChannelName() const { return facts().channelName; }
  void setChannelName(std::string v) { editFacts([&](BranchFacts& f) { f.channelName = std::move(v); }); }

  // Hardware item: bound once by the builder before the item is published, and entered
  // in its crate's table; null for every other element.
  void bindHardware(HardwareBinding binding);
  const HardwareBinding* hardware() const noexcept { return hardware_.get(); }

  // Its history's slot (0: not kept): each value it takes, and its loss with its crate's
  // connection, is recorded there.
  void setHistorySlot(std::uint32_t slot) noexcept { historySlot_.store(slot, std::memory_order_relaxed); }
  std::uint32_t historySlot() const noexcept { return historySlot_.load(std::memory_order_relaxed); }

 private:
  // change()'s rules for several elements, their subscriptions grouped per system.
  struct Activation {
    VEXAHVElement* element;
    bool active;
    int updateRate;
  };
  static void applyActivations(const Activation* changes, std::size_t count);

  struct BranchFacts {
    std::uint16_t channelCount = 0, boardSerial = 0;
    std::string boardModel, boardDescription, firmwareMinor, firmwareMajor, channelName;
  };
  BranchFacts facts() const;
  template <class Edit>
  void editFacts(Edit edit) {
    std::lock_guard l(mutex_);
    if (!facts_) facts_ = std::make_unique<BranchFacts>();
    edit(*facts_);
  }
  // The crate, made for an element that has none; like attachCrate, only before the
  // element is shared.
  Crate& ownCrate();

  void markDisconnectedAt(const OpcToolbox::DateTime& when);
  void recordHistory(const OpcToolbox::ValueQT& value) const;

  mutable std::recursive_mutex mutex_;
  std::vector<VEXAHVElementPtr> children_;
  std::vector<std::unique_ptr<OpcToolbox::DaProperty>> properties_;
  std::shared_ptr<Crate> crate_;
  std::unique_ptr<const HardwareBinding> hardware_;
  std::unique_ptr<BranchFacts> facts_;
  ElementKind kind_ = ElementKind::System;
  std::uint16_t systemIndex_ = 0;
  std::uint16_t slot_ = 0;
  std::uint16_t channel_ = 0;
  std::int32_t paramType_ = 0;
  // The quality and time of the last value from the hardware while clients are shown
  // "not connected" (under the lock); held_ says whether they are, so that a new value
  // takes no lock to find out.
  std::atomic<bool> held_{false};
  std::atomic<std::uint32_t> historySlot_{0};
  std::uint16_t heldQuality_ = 0;
  OpcToolbox::DateTime heldTime_;
  bool active_ = false;
  bool named_ = false;
};

}  // namespace vexahv
