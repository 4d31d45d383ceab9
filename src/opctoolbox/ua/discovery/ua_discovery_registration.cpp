#include "opctoolbox/ua/discovery/ua_discovery_registration.h"

#include "opctoolbox/ua/discovery/ua_client_channel.h"
#include <future>

#include "platform/interruptible_sleep.h"

namespace OpcToolbox::ua {
namespace {

using Level = DiscoveryRegistrationOptions::Level;

long seconds(std::chrono::milliseconds ms) { return static_cast<long>((ms.count() + 999) / 1000); }

// One request on an open channel, its response decoded: Good, or the status with why.
template <class Decode>
StatusCode exchange(UaClientChannel& c, const std::vector<std::uint8_t>& request, const std::string& service,
                    Decode decode, std::string& why) {
  std::vector<std::uint8_t> response;
  if (const StatusCode s = c.call(request, response, why); s != kGood) return s;
  StatusCode result = kGood;
  if (const StatusCode s = decode(response, result); s != kGood) {
    why = "a damaged " + service + " response";
    return s;
  }
  if (result != kGood) why = service + " refused: " + statusName(result);
  return result;
}

}  // namespace

DiscoveryRegistration::DiscoveryRegistration(DiscoveryRegistrationOptions options) : options_(std::move(options)) {}

DiscoveryRegistration::~DiscoveryRegistration() { stop(); }

void DiscoveryRegistration::start() {
  thread_ = vexahv::platform::WorkerThread("vexahv-lds", [this](std::stop_token stop) { run(stop); });
}

void DiscoveryRegistration::stop() {
  thread_.stopAndJoin();
  bool was = false;
  {
    std::lock_guard lock(mutex_);
    was = registered_;
    registered_ = false;
  }
  if (!was) return;
  // The stop waits for the discovery server no longer than two time-outs.
  std::string why;
  std::promise<StatusCode> done;
  std::future<StatusCode> answer = done.get_future();
  vexahv::platform::WorkerThread offline("vexahv-lds-off", [&](std::stop_token s) { done.set_value(registerOnce(false, s, why)); });
  if (answer.wait_for(2 * options_.timeout) != std::future_status::ready) offline.requestStop();
  offline.stopAndJoin();
  if (answer.get() == kGood) {
    options_.log(Level::Notice, "Unregistered from the discovery server [" + options_.discoveryUrl + "]");
  } else {
    options_.log(Level::Warning, "Not unregistered from the discovery server [" + options_.discoveryUrl + "]: " + why);
  }
}

void DiscoveryRegistration::run(std::stop_token stop) {
  bool failing = false, listed = false;
  while (!stop.stop_requested()) {
    std::string why;
    const StatusCode rc = registerOnce(true, stop, why);
    if (stop.stop_requested()) {
      // An attempt cut short may still have registered: stop() unregisters either way.
      std::lock_guard lock(mutex_);
      registered_ = registered_ || rc == kGood;
      return;
    }
    if (rc == kGood) {
      {
        std::lock_guard lock(mutex_);
        registered_ = true;
      }
      options_.log(listed ? Level::Informational : Level::Notice,
                   "Registered with the discovery server [" + options_.discoveryUrl + "]");
      listed = true;
      failing = false;
    } else if (failing) {
      options_.log(Level::Informational, "Still not registered with the discovery server [" + options_.discoveryUrl + "]: " + why);
    } else {
      failing = true;
      listed = false;
      options_.log(Level::Warning, "Not registered with the discovery server [" + options_.discoveryUrl + "]: " + why +
                                       "; tried again every [" + std::to_string(seconds(options_.retry)) + "s]");
    }
    if (!vexahv::platform::sleepFor(stop, rc == kGood ? options_.period : options_.retry)) return;
  }
}

StatusCode DiscoveryRegistration::withChannel(std::stop_token stop,
                                              const std::function<StatusCode(UaClientChannel&)>& step) {
  UaClientChannel channel(options_.timeout);
  std::stop_callback abort(stop, [&channel] { channel.abort(); });
  const StatusCode rc = step(channel);
  channel.close();
  return rc;
}

StatusCode DiscoveryRegistration::chooseEndpoint(std::stop_token stop, EndpointOffer& out,
                                                 const SecurityPolicy*& policy, std::string& why) {
  std::vector<EndpointOffer> offers;
  const StatusCode rc = withChannel(stop, [&](UaClientChannel& c) {
    if (const StatusCode s = c.connect(options_.discoveryUrl, why); s != kGood) return s;
    if (const StatusCode s = c.open(nullptr, kModeNone, why); s != kGood) return s;
    return exchange(c, encodeGetEndpointsRequest(++requestHandle_, options_.discoveryUrl), "GetEndpoints",
                    [&](const std::vector<std::uint8_t>& r, StatusCode& result) {
                      return decodeGetEndpointsResponse(r, offers, result);
                    }, why);
  });
  if (rc != kGood) return rc;
  const EndpointOffer* best = nullptr;
  for (const EndpointOffer& o : offers) {
    const SecurityPolicy* p = findSecurePolicy(o.policyUri);
    if (p == nullptr || p->uri != o.policyUri || (o.securityMode != kModeSign && o.securityMode != kModeSignAndEncrypt)) {
      continue;
    }
    // Encrypted over signed only, then the level the discovery server gives it.
    const auto rank = [](const EndpointOffer& e) { return (e.securityMode == kModeSignAndEncrypt ? 256 : 0) + e.securityLevel; };
    if (best == nullptr || rank(o) > rank(*best)) {
      best = &o;
      policy = p;
    }
  }
  if (best == nullptr) {
    why = "it offers no secure endpoint this server can use";
    return kBadSecurityPolicyRejected;
  }
  out = *best;
  return kGood;
}

StatusCode DiscoveryRegistration::registerOnce(bool online, std::stop_token stop, std::string& why) {
  if (!options_.credentials) {
    why = "this server has no certificate (no secure policy is on)";
    return kBadCertificateInvalid;
  }
  EndpointOffer endpoint;
  const SecurityPolicy* policy = nullptr;
  if (const StatusCode rc = chooseEndpoint(stop, endpoint, policy, why); rc != kGood) return rc;
  const auto* der = reinterpret_cast<const std::uint8_t*>(endpoint.serverCertificate.data());
  const crypto::Bytes chainDer(der, der + endpoint.serverCertificate.size());
  std::vector<crypto::Certificate> chain = crypto::Certificate::chainFromDer(chainDer);
  if (chain.empty()) {
    why = "its certificate cannot be read";
    return kBadCertificateInvalid;
  }
  const std::size_t bits = crypto::keySize(chain.front().publicKey()) * 8;
  if (bits < policy->minKeyBits || bits > policy->maxKeyBits) {
    why = "its key of " + std::to_string(bits) + " bits does not suit " + std::string(policy->name);
    return kBadCertificateUseNotAllowed;
  }
  if (options_.verifier) {
    if (const StatusCode rc = options_.verifier->verify(chain); rc != kGood) {
      why = "its certificate [" + chain.front().subjectName() + "] is not trusted: " + statusName(rc);
      return rc;
    }
  }
  ServerRegistration server = options_.server;
  server.isOnline = online;
  return withChannel(stop, [&](UaClientChannel& c) {
    // The endpoint's own URL may name a host this one cannot resolve; the one dialled works.
    if (const StatusCode s = c.connect(options_.discoveryUrl, why); s != kGood) return s;
    auto security = std::make_unique<SecureChannel>(*policy, options_.credentials, std::move(chain), chainDer);
    if (const StatusCode s = c.open(std::move(security), endpoint.securityMode, why); s != kGood) return s;
    std::vector<StatusCode> results;
    const StatusCode rc = exchange(c, encodeRegisterServer2Request(++requestHandle_, server), "RegisterServer2",
                                   [&](const std::vector<std::uint8_t>& r, StatusCode& result) {
                                     return decodeRegisterServer2Response(r, results, result);
                                   }, why);
    // A discovery server older than RegisterServer2 (OPC UA Part 4, 5.4.6) takes RegisterServer.
    constexpr StatusCode kBadNotImplemented = 0x80400000u;
    if (rc != kBadServiceUnsupported && rc != kBadNotImplemented) return rc;
    why.clear();
    return exchange(c, encodeRegisterServerRequest(++requestHandle_, server), "RegisterServer",
                    [&](const std::vector<std::uint8_t>& r, StatusCode& result) {
                      return decodeRegisterServerResponse(r, result);
                    }, why);
  });
}

}  // namespace OpcToolbox::ua
