#pragma once
// The toolbox application: the server's identity and run-time settings, its life cycle,
// its factory and address space, and the client side that the endpoint drives.
// States: NotInitialised -> Initialised -> Started -> Ready -> Stopped (-> Started ...);
// terminate() returns to NotInitialised. A call out of order answers E_UNEXPECTED.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "opctoolbox/client_access.h"
#include "opctoolbox/condition_table.h"
#include "opctoolbox/folder_methods.h"
#include "opctoolbox/creator.h"

namespace vexahv::history {
class HistoryService;
}

namespace OpcToolbox {

enum class AppState { NotInitialised, Initialised, Started, Ready, Stopped };
const char* appStateName(AppState s) noexcept;

enum class EnumApplicationType : int { Library = 0, Executable = 1 };

class Application {
 public:
  using TraceSink = std::function<void(unsigned level, unsigned group, const std::string& id,
                                       const std::string& message)>;

  void setServiceName(std::string v);
  void setClsidDa(std::string v);
  void setProgIdDa(std::string v);
  void setVerIndProgIdDa(std::string v);
  void setDescription(std::string v);
  void setVendorInfo(std::string v);
  void setMajorVersion(short v);
  void setMinorVersion(short v);
  void setPatchVersion(short v);
  void setBuildNumber(short v);
  void setAddressSpaceDelimiter(char v);
  void setPropertyDelimiter(char v);
  void setClientCheckPeriod(unsigned ms);
  void setMinUpdateRateDa(unsigned ms);
  void setAppType(EnumApplicationType v);
  void setVersionOtb(short v);
  void setWorkerThreads(unsigned n);

  std::string getServiceName() const;
  std::string getClsidDa() const;
  std::string getProgIdDa() const;
  std::string getVerIndProgIdDa() const;
  std::string getDescription() const;
  std::string getVendorInfo() const;
  short getMajorVersion() const;
  short getMinorVersion() const;
  short getPatchVersion() const;
  short getBuildNumber() const;
  char getAddressSpaceDelimiter() const;
  char getPropertyDelimiter() const;
  unsigned getClientCheckPeriod() const;
  unsigned getMinUpdateRateDa() const;
  EnumApplicationType getAppType() const;
  short getVersionOtb() const;

  // The last callback member: asked when the toolbox wants the application to shut down.
  std::function<long()> ShutdownRequest = [] { return 0L; };

  long initialize(std::unique_ptr<Creator> creator);
  // 0: run; 1: a registration switch succeeded; 2: it failed. E_UNEXPECTED before
  // initialize.
  long processCommandLine(const std::string& commandLine);
  long start();
  long ready();
  long stop();
  long terminate();
  long trace(unsigned level, unsigned group, const std::string& id, const std::string& message);
  void setTraceSink(TraceSink sink);

  Creator* getCreator();
  // Created through the creator on first use; null before initialize.
  DaAddressSpaceRoot* getDaAddressSpaceRoot();
  AppState getState() const;
  // While started or ready; null otherwise.
  ClientAccess* clients();

  // The plant's conditions, whatever the state: sources report, the endpoint listens.
  ConditionTable& conditions() noexcept { return conditions_; }
  // The methods of the application's folders; null for none. Set before the endpoint
  // starts, and outliving it.
  void setFolderMethods(const FolderMethods* methods) noexcept { folderMethods_ = methods; }
  const FolderMethods* folderMethods() const noexcept { return folderMethods_; }
  // The history the server keeps; null for none. Set before the address space is built
  // and the endpoint starts; it outlives both.
  void setHistory(vexahv::history::HistoryService* history) noexcept { history_.store(history); }
  vexahv::history::HistoryService* history() const noexcept { return history_.load(std::memory_order_acquire); }

  // Called by stop() before outstanding transactions are ended (the OPC UA endpoint
  // closes its connections and sessions here). The id removes the handler again.
  std::uint64_t addStopHandler(std::function<void()> handler);
  void removeStopHandler(std::uint64_t id);

 private:
  friend Application* getApp();
  friend void releaseApp();
  Application() = default;
  ~Application();

  mutable std::mutex mutex_;
  std::string serviceName_, clsid_, progId_, verIndProgId_, description_, vendor_;
  short major_ = 0, minor_ = 0, patch_ = 0, build_ = 0, versionOtb_ = 0;
  char delimiter_ = '.', propertyDelimiter_ = '/';
  unsigned clientCheckPeriod_ = 30000, minUpdateRate_ = 1000, workers_ = 4;
  EnumApplicationType appType_ = EnumApplicationType::Executable;
  TraceSink trace_;
  std::map<std::uint64_t, std::function<void()>> stopHandlers_;
  std::uint64_t nextStopHandler_ = 1;

  AppState state_ = AppState::NotInitialised;
  std::unique_ptr<Creator> creator_;
  std::unique_ptr<DaAddressSpaceRoot> root_;
  std::unique_ptr<ClientAccess> clients_;
  ConditionTable conditions_;
  const FolderMethods* folderMethods_ = nullptr;
  std::atomic<vexahv::history::HistoryService*> history_{nullptr};
};

// The process's application, created on first call; releaseApp destroys it.
Application* getApp();
void releaseApp();
// The application if there is one (null otherwise), without the lock getApp takes: for a
// path every event takes.
Application* existingApp() noexcept;

}  // namespace OpcToolbox
