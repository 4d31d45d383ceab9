#pragma once
// The one class behind every node of the address space: the toolbox element plus the
// binding to the hardware (system, slot, channel, parameter, kind), the element's own
// value cache and, on system nodes, the connection and event-channel state.
//
// The element's lock (recursive) guards the value cache and every binding field; each
// accessor below takes it, so a single field is always read whole. Callers that need
// several fields consistent take lock() around them. No walk holds a lock across a
// library call or holds two elements' locks at once.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "addressspace/element_kind.h"
#include "config/system_entry.h"
#include "opctoolbox/creator.h"
#include "opctoolbox/da_address_space_element.h"
#include "platform/socket.h"
#include "platform/worker_thread.h"

namespace vexahv {

class VEXAHVElement;
using VEXAHVElementPtr = std::shared_ptr<VEXAHVElement>;

// The fields of a system entry ("name,type index,link type,address[:user[:password]]").

inline constexpr const char* kDefaultCredential = "qwzrt";

// The library handle of one system, shared by every item of it: a reconnection changes it
// once for all of them.
struct SystemBinding {
  std::atomic<std::int32_t> handle{-1};
};

// What a hardware item is bound to, resolved once when the builder makes it, so that a
// read, a write or a batch never splits the item id or climbs the tree again.
struct HardwareBinding {
  std::shared_ptr<SystemBinding> system;
  std::string systemName;
  std::uint16_t slot = 0;     // board and channel items
  std::uint16_t channel = 0;  // channel items
  std::string parameter;      // the name the library knows the item by
  std::int32_t paramType = 0;
  std::uint16_t datatype = 0;
  std::int32_t handle() const noexcept { return system ? system->handle.load(std::memory_order_relaxed) : -1; }
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
  // change() for many elements at once, with one VEXAHV_Subscribe (or UnSubscribe) per
  // system and up to the library's list size instead of one per element.
  static void changeAll(const std::vector<OpcToolbox::Creator::ActivationChange>& changes);
  // Appends the child to the own list, then adds it to the toolbox tree; a null child
  // goes to the toolbox alone.
  virtual long addElement(VEXAHVElementPtr child);
  // Several children at once (own list and the toolbox's): a client sees all or none.
  long addElements(const std::vector<VEXAHVElementPtr>& children);

  void setName(const std::string& text, ElementKind kind);
  static SystemEntry parseSystemEntry(std::string_view entry);

  std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }

  // The own value cache, copied whole under the lock.
  OpcToolbox::ValueQT getCachedValue() const;
  // Stores the value and reports it to the toolbox (valueChanged), under the lock; the
  // toolbox's result.
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
  // The parent branch as the server's element (a board or channel holds slot and channel).
  VEXAHVElementPtr getParentElement() const { return std::dynamic_pointer_cast<VEXAHVElement>(getParent()); }
  void addProperty(std::unique_ptr<OpcToolbox::DaProperty> property);

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
  // This element's own library handle (-1: none); setSystemHandle sets the descendants'. A
  // system node's also goes to its SystemBinding, which its items read.
  std::int32_t getHandle() const {
    std::lock_guard l(mutex_);
    return systemHandle_;
  }
  void setHandle(std::int32_t v) {
    std::lock_guard l(mutex_);
    systemHandle_ = v;
    if (systemBinding_) systemBinding_->handle.store(v, std::memory_order_relaxed);
  }
  VEXAHV_FIELD(std::uint16_t, SystemIndex, systemIndex_)
  VEXAHV_FIELD(std::uint16_t, KeepAliveFailCount, keepAliveFailCount_)
  VEXAHV_FIELD(std::int32_t, SystemType, systemType_)
  VEXAHV_FIELD(std::string, Address, address_)
  VEXAHV_FIELD(std::string, UserName, userName_)
  VEXAHV_FIELD(std::string, Password, password_)
  VEXAHV_FIELD(std::int32_t, LinkType, linkType_)
  VEXAHV_FIELD(std::uint16_t, SlotCount, slotCount_)
  // The plain field; setConnectionStatus() is the operation that also updates the items.
  VEXAHV_FIELD(std::int32_t, ConnectionStatusField, connectionStatus_)
  std::int32_t getConnectionStatus() const { return getConnectionStatusField(); }
  VEXAHV_FIELD(bool, EventsEnabled, eventsEnabled_)
  VEXAHV_FIELD(bool, NeedsConfiguration, needsConfiguration_)
  VEXAHV_FIELD(std::int16_t, KeepAliveState, keepAliveState_)
  VEXAHV_FIELD(std::uint16_t, ChannelCount, channelCount_)
  VEXAHV_FIELD(std::string, BoardModel, boardModel_)
  VEXAHV_FIELD(std::string, BoardDescription, boardDescription_)
  VEXAHV_FIELD(std::uint16_t, BoardSerial, boardSerial_)
  VEXAHV_FIELD(std::string, FirmwareMinor, firmwareMinor_)
  VEXAHV_FIELD(std::string, FirmwareMajor, firmwareMajor_)
  VEXAHV_FIELD(std::uint16_t, Slot, slot_)
  VEXAHV_FIELD(std::uint16_t, Channel, channel_)
  VEXAHV_FIELD(std::int32_t, ParamType, paramType_)
  VEXAHV_FIELD(std::string, ChannelName, channelName_)
  // The own `active` flag: subscribed for clients (the toolbox's flag is getActive()).
  VEXAHV_FIELD(bool, ActiveForClients, active_)
#undef VEXAHV_FIELD
  std::int32_t getSystemHandle() const { return getHandle(); }

  // System node: the binding its items share (made with the node's name).
  const std::shared_ptr<SystemBinding>& systemBinding() const noexcept { return systemBinding_; }
  // Hardware item: bound once by the builder before the item is published; null for
  // every other element (branches, settings, elements made elsewhere).
  void bindHardware(HardwareBinding binding) { hardware_ = std::make_unique<const HardwareBinding>(std::move(binding)); }
  const HardwareBinding* hardware() const noexcept { return hardware_.get(); }

  // System node: the TCP event connection and the thread serving it. A thread that ended
  // by itself (its connection failed) says so with eventThreadEnded(); its object stays
  // until another thread takes and joins it (a thread cannot join itself).
  void setEventSocket(platform::Socket socket);
  int eventSocketFd() const;
  void shutdownEventSocket();
  platform::Socket takeEventSocket();
  void setEventThread(std::unique_ptr<platform::WorkerThread> thread);
  std::unique_ptr<platform::WorkerThread> takeEventThread();
  void eventThreadEnded();
  bool hasEventThread() const;  // a client thread is running

 private:
  // change()'s rules for several elements, their subscriptions grouped per system.
  struct Activation {
    VEXAHVElement* element;
    bool active;
    int updateRate;
  };
  static void applyActivations(const Activation* changes, std::size_t count);

  void markDisconnectedAt(const OpcToolbox::DateTime& when);

  mutable std::recursive_mutex mutex_;
  std::vector<VEXAHVElementPtr> children_;
  std::vector<std::unique_ptr<OpcToolbox::DaProperty>> properties_;
  ElementKind kind_ = ElementKind::System;
  OpcToolbox::ValueQT cache_;
  std::int32_t systemHandle_ = -1;
  std::shared_ptr<SystemBinding> systemBinding_;
  std::unique_ptr<const HardwareBinding> hardware_;
  std::uint16_t systemIndex_ = 0;
  platform::Socket eventSocket_;
  std::unique_ptr<platform::WorkerThread> eventThread_;
  bool eventThreadRunning_ = false;
  std::uint16_t keepAliveFailCount_ = 0;
  std::int32_t systemType_ = 2;
  std::string address_, userName_, password_;
  std::int32_t linkType_ = -1;
  std::uint16_t slotCount_ = 0;
  std::int32_t connectionStatus_ = kStatusPending;
  bool eventsEnabled_ = false;
  bool needsConfiguration_ = true;
  std::int16_t keepAliveState_ = -1;
  std::uint16_t channelCount_ = 0;
  std::string boardModel_, boardDescription_;
  std::uint16_t boardSerial_ = 0;
  std::string firmwareMinor_, firmwareMajor_;
  std::uint16_t slot_ = 0;
  std::uint16_t channel_ = 0;
  std::int32_t paramType_ = 0;
  std::string channelName_;
  bool active_ = false;
  bool named_ = false;
};

}  // namespace vexahv
