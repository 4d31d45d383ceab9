#pragma once
// The process-wide server object: wraps the toolbox application, owns the list of system
// nodes, and builds the address space over the HV library.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
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
  std::size_t size() const;
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

// A log part: the name of the system whose library handle this is ("?" when none is), so
// that a failed library call says which mainframe it was.
struct SystemName {
  std::int32_t handle;
  void appendTo(std::string& out) const;
};

// What a board's identity item ("Model", "Description", "Fmw Release", "SerNum",
// "NrOfCh") shows of the board's facts; empty for any other name.
OpcToolbox::Variant boardInfoValue(std::string_view name, const VEXAHVElement& board);

class VEXAHVOPCServer {
 public:
  virtual ~VEXAHVOPCServer();

  static void create();
  static VEXAHVOPCServer* getInstance();
  static void destroy();

  SystemList* getSystemList() const;
  // Set once the address space is built; supervision threads wait for it.
  platform::OneShotEvent& addressSpaceBuilt() { return addressSpaceBuilt_; }
  // What the builder calls for every system node it makes (connected or not): the
  // supervision's startKeepAlive. None: no supervision (tests of the build alone).
  using KeepAliveStarter = std::function<void(const VEXAHVElementPtr&)>;
  void setKeepAliveStarter(KeepAliveStarter starter) { keepAliveStarter_ = std::move(starter); }

  // How the build goes about it; set before buildAddressSpace.
  struct BuildOptions {
    unsigned workers = 8;           // systems connected and configured at once, 1 to 64
    bool shareChannelReads = true;  // see BoardChannelWalk; false: every channel call by call
  };
  void setBuildOptions(const BuildOptions& options) { buildOptions_ = options; }
  // VEXAHV_CONFIGURE_WORKERS when it is a number from 1 to 64 (else a Warning), else 8.
  static BuildOptions buildOptionsFromEnvironment();

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

  // The address space (its functions are in address_space_builder.cpp). A stop request
  // ends the build at its next library call: -1, and the address space stays unfinished.
  long buildAddressSpace(std::stop_token stop = {});
  int connectSystem(VEXAHVElement* node);
  // The system's children appear to clients at once, when its walk is done. eventTest
  // (when given) receives the result of the event test if this call made one.
  int configureSystem(const VEXAHVElementPtr& node, std::uint16_t index, std::uint32_t& eventIoMode,
                      std::optional<bool>* eventTest = nullptr);
  void subscribeParameterEvents(VEXAHVElement* node);

  std::vector<VEXAHVElementPtr> createSystemPropertyItems(std::int32_t handle, std::uint16_t index);
  std::vector<VEXAHVElementPtr> createBoards(const VEXAHVElementPtr& node, std::int32_t handle,
                                             std::uint16_t index);
  std::vector<VEXAHVElementPtr> createBoardInfoItems(const VEXAHVElement& board);
  std::vector<VEXAHVElementPtr> createChannels(std::uint16_t index, std::int32_t handle,
                                               std::uint16_t slot, std::uint16_t channelCount);
  std::vector<VEXAHVElementPtr> createSystemItems(std::uint16_t index);
  // "EventStatus" from the given test result rather than the process-wide flag.
  std::vector<VEXAHVElementPtr> createSystemItems(std::uint16_t index, bool eventsShown);
  VEXAHVElementPtr createConnStatusItem(std::uint16_t index);
  std::vector<VEXAHVElementPtr> createServerSettingItems(bool eventEnabled, bool liveInsertRemoval,
                                                         std::int32_t verifyTime);
  VEXAHVElementPtr createLogLevelItem();
  VEXAHVElementPtr createBatchedGroupTransactionsItem();

 private:
  VEXAHVOPCServer() = default;
  bool buildStopped() const noexcept { return buildStop_.stop_requested(); }
  // work(0..count-1), at most buildOptions_.workers at a time; stops taking new ones at a
  // stop request.
  void forEachOnWorkers(std::size_t count, const std::function<void(std::size_t)>& work);
  // The Groups folder with a branch per operators' group, when the groups file names any.
  static void addGroupsFolder(OpcToolbox::DaAddressSpaceRoot& root, const std::vector<VEXAHVElementPtr>& systems);

  mutable std::mutex mutex_;
  std::stop_token buildStop_;  // the running build's; read by the builder's thread only
  std::unique_ptr<SystemList> systemList_;
  platform::OneShotEvent addressSpaceBuilt_;
  KeepAliveStarter keepAliveStarter_;
  BuildOptions buildOptions_;
};

}  // namespace vexahv
