#include "opctoolbox/application.h"


#include "opctoolbox/registration.h"
#include "platform/process_identity.h"

namespace OpcToolbox {
namespace {

std::mutex gAppMutex;
Application* gApp = nullptr;
std::atomic<Application*> gAppSeen{nullptr};  // gApp, for the look-ups of hot paths

}  // namespace

const char* appStateName(AppState s) noexcept {
  switch (s) {
    case AppState::NotInitialised: return "not initialised";
    case AppState::Initialised: return "initialised";
    case AppState::Started: return "started";
    case AppState::Ready: return "ready";
    case AppState::Stopped: return "stopped";
  }
  return "unknown";
}

Application* getApp() {
  std::lock_guard lock(gAppMutex);
  if (gApp == nullptr) {
    gApp = new Application();
    gAppSeen.store(gApp, std::memory_order_release);
  }
  return gApp;
}

Application* existingApp() noexcept { return gAppSeen.load(std::memory_order_acquire); }

void releaseApp() {
  Application* app = nullptr;
  {
    std::lock_guard lock(gAppMutex);
    app = gApp;
    gApp = nullptr;
    gAppSeen.store(nullptr, std::memory_order_release);
  }
  delete app;
}

Application::~Application() { terminate(); }

#define VEXAHV_SETTER(name, field, type) \
  void Application::name(type v) {       \
    std::lock_guard lock(mutex_);        \
    field = std::move(v);                \
  }
VEXAHV_SETTER(setServiceName, serviceName_, std::string)
VEXAHV_SETTER(setClsidDa, clsid_, std::string)
VEXAHV_SETTER(setProgIdDa, progId_, std::string)
VEXAHV_SETTER(setVerIndProgIdDa, verIndProgId_, std::string)
VEXAHV_SETTER(setDescription, description_, std::string)
VEXAHV_SETTER(setVendorInfo, vendor_, std::string)
VEXAHV_SETTER(setMajorVersion, major_, short)
VEXAHV_SETTER(setMinorVersion, minor_, short)
VEXAHV_SETTER(setPatchVersion, patch_, short)
VEXAHV_SETTER(setBuildNumber, build_, short)
VEXAHV_SETTER(setPropertyDelimiter, propertyDelimiter_, char)
VEXAHV_SETTER(setClientCheckPeriod, clientCheckPeriod_, unsigned)
VEXAHV_SETTER(setMinUpdateRateDa, minUpdateRate_, unsigned)
VEXAHV_SETTER(setAppType, appType_, EnumApplicationType)
VEXAHV_SETTER(setVersionOtb, versionOtb_, short)
#undef VEXAHV_SETTER

void Application::setAddressSpaceDelimiter(char v) {
  std::lock_guard lock(mutex_);
  delimiter_ = v;
  if (root_) root_->setDelimiter(v);
}

void Application::setWorkerThreads(unsigned n) {
  std::lock_guard lock(mutex_);
  workers_ = n == 0 ? 1 : n;
}

#define VEXAHV_GETTER(name, field, type) \
  type Application::name() const {       \
    std::lock_guard lock(mutex_);        \
    return field;                        \
  }
VEXAHV_GETTER(getServiceName, serviceName_, std::string)
VEXAHV_GETTER(getClsidDa, clsid_, std::string)
VEXAHV_GETTER(getProgIdDa, progId_, std::string)
VEXAHV_GETTER(getVerIndProgIdDa, verIndProgId_, std::string)
VEXAHV_GETTER(getDescription, description_, std::string)
VEXAHV_GETTER(getVendorInfo, vendor_, std::string)
VEXAHV_GETTER(getMajorVersion, major_, short)
VEXAHV_GETTER(getMinorVersion, minor_, short)
VEXAHV_GETTER(getPatchVersion, patch_, short)
VEXAHV_GETTER(getBuildNumber, build_, short)
VEXAHV_GETTER(getAddressSpaceDelimiter, delimiter_, char)
VEXAHV_GETTER(getPropertyDelimiter, propertyDelimiter_, char)
VEXAHV_GETTER(getClientCheckPeriod, clientCheckPeriod_, unsigned)
VEXAHV_GETTER(getMinUpdateRateDa, minUpdateRate_, unsigned)
VEXAHV_GETTER(getAppType, appType_, EnumApplicationType)
VEXAHV_GETTER(getVersionOtb, versionOtb_, short)
VEXAHV_GETTER(getState, state_, AppState)
#undef VEXAHV_GETTER

long Application::initialize(std::unique_ptr<Creator> creator) {
  std::lock_guard lock(mutex_);
  if (state_ != AppState::NotInitialised) return E_UNEXPECTED;
  if (!creator) return E_INVALIDARG;
  creator_ = std::move(creator);
  state_ = AppState::Initialised;
  return S_OK;
}

long Application::processCommandLine(const std::string& commandLine) {
  RegistrationInfo info;
  {
    std::lock_guard lock(mutex_);
    if (state_ == AppState::NotInitialised) return E_UNEXPECTED;
    info = RegistrationInfo{clsid_, progId_, verIndProgId_, description_, serviceName_, vexahv::platform::executablePath().string()};
  }
  switch (registrationSwitch(commandLine)) {
    case 1: return registerServer(info, false) == S_OK ? 1 : 2;
    case 2: return registerServer(info, true) == S_OK ? 1 : 2;
    case 3: return unregisterServer(info) == S_OK ? 1 : 2;
    default: return 0;
  }
}

long Application::start() {
  DaAddressSpaceRoot* root = getDaAddressSpaceRoot();
  std::lock_guard lock(mutex_);
  if (state_ != AppState::Initialised && state_ != AppState::Stopped) return E_UNEXPECTED;
  if (root == nullptr) return E_OUTOFMEMORY;
  clients_ = std::make_unique<ClientAccess>(*creator_, *root, workers_);
  state_ = AppState::Started;
  return S_OK;
}

long Application::ready() {
  std::lock_guard lock(mutex_);
  if (state_ != AppState::Started) return E_UNEXPECTED;
  state_ = AppState::Ready;
  return S_OK;
}

std::uint64_t Application::addStopHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextStopHandler_++;
  stopHandlers_.emplace(id, std::move(handler));
  return id;
}

void Application::removeStopHandler(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  stopHandlers_.erase(id);
}

long Application::stop() {
  std::map<std::uint64_t, std::function<void()>> handlers;
  {
    std::lock_guard lock(mutex_);
    if (state_ != AppState::Started && state_ != AppState::Ready) return E_UNEXPECTED;
    state_ = AppState::Stopped;  // clients now see Shutdown
    handlers = stopHandlers_;
  }
  for (auto& [id, h] : handlers) h();
  std::unique_ptr<ClientAccess> clients;
  {
    std::lock_guard lock(mutex_);
    clients = std::move(clients_);
  }
  // Outside the lock: outstanding transactions may still ask the application things.
  clients.reset();
  return S_OK;
}

long Application::terminate() {
  if (getState() == AppState::NotInitialised) return E_UNEXPECTED;
  const AppState s = getState();
  if (s == AppState::Started || s == AppState::Ready) stop();
  std::unique_ptr<DaAddressSpaceRoot> root;
  std::unique_ptr<Creator> creator;
  {
    std::lock_guard lock(mutex_);
    root = std::move(root_);
    creator = std::move(creator_);
    state_ = AppState::NotInitialised;
  }
  return S_OK;
}

long Application::trace(unsigned level, unsigned group, const std::string& id,
                        const std::string& message) {
  TraceSink sink;
  {
    std::lock_guard lock(mutex_);
    sink = trace_;
  }
  if (sink) sink(level, group, id, message);
  return S_OK;
}

void Application::setTraceSink(TraceSink sink) {
  std::lock_guard lock(mutex_);
  trace_ = std::move(sink);
}

Creator* Application::getCreator() {
  std::lock_guard lock(mutex_);
  return creator_.get();
}

DaAddressSpaceRoot* Application::getDaAddressSpaceRoot() {
  std::lock_guard lock(mutex_);
  if (!root_ && creator_) {
    root_ = creator_->createDaAddressSpaceRoot();
    if (root_) root_->setDelimiter(delimiter_);
  }
  return root_.get();
}

ClientAccess* Application::clients() {
  std::lock_guard lock(mutex_);
  return clients_.get();
}

}  // namespace OpcToolbox
