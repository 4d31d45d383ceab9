#pragma once
// The process-wide server object: wraps the toolbox application, owns the list of system
// nodes, and builds the address space over the HV library.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "addressspace/vexahv_element.h"
#include "opctoolbox/application.h"
#include "platform/sync_event.h"

namespace vexahv {

// The system nodes in entry order; index = the node's systemIndex. Appended to only by
// the builder; everyone else works on a snapshot.
class SystemList {
 public:
  std::vector<VEXAHVElementPtr> snapshot() const;
  void append(VEXAHVElementPtr node);
  std::int32_t entryCount() const;
  void setEntryCount(std::int32_t n);
  VEXAHVElementPtr at(std::size_t index) const;  // null outside the list

 private:
  mutable std::mutex mutex_;
  std::vector<VEXAHVElementPtr> nodes_;
  std::int32_t entryCount_ = 0;
};

// The server object exists and has its system list: the address space can be served.
bool serverReady();

class VEXAHVOPCServer {
 public:
  virtual ~VEXAHVOPCServer();

  static void create();
  static VEXAHVOPCServer* getInstance();
  static void destroy();

  SystemList* getSystemList() const;
  // Set once the address space is built; supervision threads wait for it.
  platform::OneShotEvent& addressSpaceBuilt() { return addressSpaceBuilt_; }

  // Toolbox wrappers.
  long setServiceName(std::string name);
  long setApplicationIdentity();
  long initialize(std::unique_ptr<OpcToolbox::Creator> creator);
  long processCommandLine(std::string commandLine);
  long start();
  long ready();
  long stop();
  long terminate();
  long trace(unsigned level, unsigned group, const std::string& id, const std::string& message);

  // The address space (its functions are in address_space_builder.cpp).
  long buildAddressSpace();
  int connectSystem(VEXAHVElement* node);
  int configureSystem(const VEXAHVElementPtr& node, std::uint16_t index, std::uint32_t& eventIoMode);
  void subscribeParameterEvents(VEXAHVElement* node);

  std::vector<VEXAHVElementPtr> createSystemPropertyItems(std::int32_t handle, std::uint16_t index);
  std::vector<VEXAHVElementPtr> createBoards(const VEXAHVElementPtr& node, std::int32_t handle,
                                             std::uint16_t index);
  std::vector<VEXAHVElementPtr> createBoardInfoItems(const VEXAHVElement& board);
  std::vector<VEXAHVElementPtr> createChannels(std::uint16_t index, std::int32_t handle,
                                               std::uint16_t slot, std::uint16_t channelCount);
  std::vector<VEXAHVElementPtr> createSystemItems(std::uint16_t index);
  VEXAHVElementPtr createConnStatusItem(std::uint16_t index);
  std::vector<VEXAHVElementPtr> createServerSettingItems(bool eventEnabled, bool liveInsertRemoval,
                                                         std::int32_t verifyTime);
  VEXAHVElementPtr createLogLevelItem();
  VEXAHVElementPtr createBatchedGroupTransactionsItem();

 private:
  VEXAHVOPCServer() = default;
  mutable std::mutex mutex_;
  std::unique_ptr<SystemList> systemList_;
  platform::OneShotEvent addressSpaceBuilt_;
};

}  // namespace vexahv
