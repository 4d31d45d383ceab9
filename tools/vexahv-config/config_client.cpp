#include "config_client.h"

#include <sdbus-c++/sdbus-c++.h>

#include "config/automation_names.h"
#include "vexahv_opc_service_proxy.h"

namespace vexahv::tool {

struct ConfigClient::Proxy final : sdbus::ProxyInterfaces<::VEXAHVOPCService::IVEXAHVOPCService_proxy> {
  Proxy(std::unique_ptr<sdbus::IConnection> connection)
      : ProxyInterfaces(std::move(connection), kAutomationBusName, kAutomationObjectPath) {
    registerProxy();
  }
  ~Proxy() { unregisterProxy(); }
};

ConfigClient::ConfigClient() = default;
ConfigClient::~ConfigClient() = default;

ConfigClient::Outcome ConfigClient::connect(Bus bus, std::string& why) {
  try {
    auto connection = bus == Bus::System ? sdbus::createSystemBusConnection() : sdbus::createSessionBusConnection();
    proxy_ = std::make_unique<Proxy>(std::move(connection));
    return Outcome::Answered;
  } catch (const sdbus::Error& e) {
    why = e.getMessage().empty() ? e.getName() : e.getMessage();
    return Outcome::NotReachable;
  }
}

template <class Call>
ConfigClient::Outcome ConfigClient::call(Call&& body) {
  if (!proxy_) {
    lastError_ = "not connected to a bus";
    return Outcome::NotReachable;
  }
  lastDenied_ = false;
  try {
    body(*proxy_);
    return Outcome::Answered;
  } catch (const sdbus::Error& e) {
    lastError_ = e.getMessage().empty() ? e.getName() : e.getMessage();
    const std::string& name = e.getName();
    // Nobody owns the name, or nobody answers it: the server does not run.
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == "org.freedesktop.DBus.Error.NoReply" || name == "org.freedesktop.DBus.Error.Disconnected") {
      return Outcome::NotReachable;
    }
    lastDenied_ = name == "org.freedesktop.DBus.Error.AccessDenied";
    return lastDenied_ ? Outcome::Denied : Outcome::Failed;
  }
}

ConfigClient::Outcome ConfigClient::getClients(std::int32_t& hr, std::int32_t& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getClients(); });
}
ConfigClient::Outcome ConfigClient::getEntry(std::uint32_t index, std::int32_t& hr, std::string& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getEntry(index); });
}
ConfigClient::Outcome ConfigClient::putEntry(const std::string& entry, std::int32_t& hr) {
  return call([&](Proxy& p) { hr = p.putEntry(entry); });
}
ConfigClient::Outcome ConfigClient::removeEntry(std::uint32_t index, std::int32_t& hr) {
  return call([&](Proxy& p) { hr = p.removeEntry(index); });
}
ConfigClient::Outcome ConfigClient::getPowerSupplies(std::int32_t& hr, std::uint32_t& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getPowerSupplies(); });
}
ConfigClient::Outcome ConfigClient::getRelease(std::int32_t& hr, std::string& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getRelease(); });
}
ConfigClient::Outcome ConfigClient::getServerActivity(std::int32_t& hr, std::int16_t& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getServerActivity(); });
}
ConfigClient::Outcome ConfigClient::getConnectionStatus(std::uint32_t index, std::int32_t& hr, std::int16_t& value) {
  return call([&](Proxy& p) { std::tie(hr, value) = p.getConnectionStatus(index); });
}

}  // namespace vexahv::tool
