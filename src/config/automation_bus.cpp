#include "config/automation_bus.h"

#include <sdbus-c++/sdbus-c++.h>

#include "config/vexahv_opc_service.h"
#include "platform/process_identity.h"
#include "vexahv_opc_service_adaptor.h"

namespace vexahv {
namespace {

class Adaptor final : public sdbus::AdaptorInterfaces<::VEXAHVOPCService::IVEXAHVOPCService_adaptor> {
 public:
  Adaptor(sdbus::IConnection& connection, VEXAHVOPCService& service)
      : AdaptorInterfaces(connection, kAutomationObjectPath), service_(service) {
    registerAdaptor();
  }
  ~Adaptor() { unregisterAdaptor(); }

 private:
  std::tuple<int32_t, int32_t> getClients() override {
    std::int32_t v = 0;
    const std::int32_t hr = service_.getClients(v);
    return {hr, v};
  }
  std::tuple<int32_t, std::string> getEntry(const uint32_t& i) override {
    std::string v;
    const std::int32_t hr = service_.getEntry(i, v, callerMayReadSecrets() ? VEXAHVOPCService::Caller::MayReadSecrets
                                                                            : VEXAHVOPCService::Caller::Other);
    return {hr, v};
  }
  int32_t putEntry(const std::string& entry) override { return service_.putEntry(entry); }
  int32_t removeEntry(const uint32_t& i) override { return service_.removeEntry(i); }
  std::tuple<int32_t, uint32_t> getPowerSupplies() override {
    std::uint32_t v = 0;
    const std::int32_t hr = service_.getPowerSupplies(v);
    return {hr, v};
  }
  std::tuple<int32_t, std::string> getRelease() override {
    std::string v;
    const std::int32_t hr = service_.getRelease(v);
    return {hr, v};
  }
  std::tuple<int32_t, int16_t> getServerActivity() override {
    std::int16_t v = 0;
    const std::int32_t hr = service_.getServerActivity(v);
    return {hr, v};
  }
  std::tuple<int32_t, int16_t> getConnectionStatus(const uint32_t& i) override {
    std::int16_t v = 0;
    const std::int32_t hr = service_.getConnectionStatus(i, v);
    return {hr, v};
  }

  // The bus daemon vouches for the caller's user; without its word, the caller is nobody.
  bool callerMayReadSecrets() {
    try {
      const sdbus::Message* call = getObject().getCurrentlyProcessedMessage();
      return call != nullptr && platform::mayReadSecrets(call->getCredsUid());
    } catch (const sdbus::Error&) {
      return false;
    }
  }

  VEXAHVOPCService& service_;
};

}  // namespace

struct AutomationBus::Served {
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<Adaptor> adaptor;
};

AutomationBus::AutomationBus() = default;

AutomationBus::~AutomationBus() { stop(); }

std::string AutomationBus::start(VEXAHVOPCService& service, AutomationBusKind kind) {
  stop();
  try {
    auto served = std::make_unique<Served>();
    served->connection = kind == AutomationBusKind::System ? sdbus::createSystemBusConnection()
                                                           : sdbus::createSessionBusConnection();
    served->adaptor = std::make_unique<Adaptor>(*served->connection, service);
    // The name last: a caller that finds it finds the object behind it.
    served->connection->requestName(kAutomationBusName);
    served->connection->enterEventLoopAsync();
    served_ = std::move(served);
    return {};
  } catch (const sdbus::Error& e) {
    return e.getMessage().empty() ? e.getName() : e.getMessage();
  } catch (const std::exception& e) {
    return e.what();
  }
}

void AutomationBus::stop() {
  if (!served_) return;
  try {
    served_->connection->leaveEventLoop();
    served_->adaptor.reset();
    served_->connection->releaseName(kAutomationBusName);
  } catch (const std::exception&) {
    // The bus went away first: nothing is left to release.
  }
  served_.reset();
}

}  // namespace vexahv
