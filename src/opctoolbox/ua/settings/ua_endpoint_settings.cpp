#include "opctoolbox/ua/settings/ua_endpoint_settings.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>

#include "opctoolbox/ua/discovery/ua_client_channel.h"
#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace OpcToolbox::ua {
namespace {

using Ms = std::chrono::milliseconds;

struct Setting {
  std::string_view key;
  std::uint64_t min, max;
  void (*set)(EndpointOptions&, std::uint64_t);
};

// The ranges keep a careless value from disabling a bound (0 connections, a one-year
// time-out) or the server itself; the defaults are in EndpointOptions and ServerLimits.
constexpr std::uint64_t kDay = 86400000;
constexpr Setting kSettings[] = {
    {"port", 0, 65535, [](EndpointOptions& o, std::uint64_t v) { o.port = static_cast<std::uint16_t>(v); }},
    {"maxConnections", 1, 100000, [](EndpointOptions& o, std::uint64_t v) { o.maxConnections = v; }},
    {"helloTimeoutMs", 100, 600000, [](EndpointOptions& o, std::uint64_t v) { o.timeouts.hello = Ms(v); }},
    {"openTimeoutMs", 100, 600000, [](EndpointOptions& o, std::uint64_t v) { o.timeouts.open = Ms(v); }},
    {"sessionSetupTimeoutMs", 100, 3600000, [](EndpointOptions& o, std::uint64_t v) { o.sessionSetup = Ms(v); }},
    {"maxQueuedBytes", 65536, 1u << 30, [](EndpointOptions& o, std::uint64_t v) { o.maxQueuedBytes = v; }},
    {"drainTimeoutMs", 1000, 3600000, [](EndpointOptions& o, std::uint64_t v) { o.drainTimeout = Ms(v); }},
    {"receiveBufferSize", 8192, 1u << 24,
     [](EndpointOptions& o, std::uint64_t v) { o.limits.receiveBufferSize = static_cast<std::uint32_t>(v); }},
    {"sendBufferSize", 8192, 1u << 24,
     [](EndpointOptions& o, std::uint64_t v) { o.limits.sendBufferSize = static_cast<std::uint32_t>(v); }},
    {"maxMessageSize", 65536, 1u << 30,
     [](EndpointOptions& o, std::uint64_t v) { o.limits.maxMessageSize = static_cast<std::uint32_t>(v); }},
    {"maxChunkCount", 1, 65535,
     [](EndpointOptions& o, std::uint64_t v) { o.limits.maxChunkCount = static_cast<std::uint32_t>(v); }},
    {"maxSessions", 1, 10000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxSessions = v; }},
    {"maxSessionsPerAddress", 1, 10000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxSessionsPerAddress = v; }},
    {"minSessionTimeoutMs", 1000, kDay,
     [](EndpointOptions& o, std::uint64_t v) { o.server.minSessionTimeoutMs = static_cast<double>(v); }},
    {"maxSessionTimeoutMs", 1000, kDay,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxSessionTimeoutMs = static_cast<double>(v); }},
    {"maxNodesPerRead", 1, 1000000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxNodesPerRead = v; }},
    {"maxNodesPerWrite", 1, 1000000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxNodesPerWrite = v; }},
    {"maxNodesPerBrowse", 1, 1000000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxNodesPerBrowse = v; }},
    {"maxReferencesPerNode", 1, 1000000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxReferencesPerNode = static_cast<std::uint32_t>(v); }},
    {"maxContinuationPoints", 1, 1000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxContinuationPoints = v; }},
    {"maxSubscriptionsPerSession", 1, 10000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxSubscriptionsPerSession = v; }},
    {"maxPublishRequestsPerSession", 1, 1000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxPublishRequestsPerSession = v; }},
    {"maxNotificationsPerPublish", 1, 1000000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxNotificationsPerPublish = static_cast<std::uint32_t>(v); }},
    {"maxMonitoredItemsPerCall", 1, 10000000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxMonitoredItemsPerCall = v; }},
    {"maxMonitoredItemsPerSubscription", 1, 10000000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxMonitoredItemsPerSubscription = v; }},
    {"maxMonitoredItemsPerSession", 1, 10000000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxMonitoredItemsPerSession = v; }},
    {"maxMonitoredItems", 1, 10000000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxMonitoredItems = v; }},
    {"maxQueueSize", 1, 100000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxQueueSize = static_cast<std::uint32_t>(v); }},
    {"maxQueuedValues", 0, 100000000, [](EndpointOptions& o, std::uint64_t v) { o.server.maxQueuedValues = v; }},
    {"discoveryRegisterIntervalMs", 10000, kDay,
     [](EndpointOptions& o, std::uint64_t v) { o.discoveryRegisterInterval = Ms(v); }},
    {"discoveryRetryIntervalMs", 1000, kDay, [](EndpointOptions& o, std::uint64_t v) { o.discoveryRetryInterval = Ms(v); }},
    {"minSamplingIntervalMs", 1, 60000,
     [](EndpointOptions& o, std::uint64_t v) { o.server.minSamplingIntervalMs = static_cast<double>(v); }},
    {"maxSamplingIntervalMs", 1000, kDay,
     [](EndpointOptions& o, std::uint64_t v) { o.server.maxSamplingIntervalMs = static_cast<double>(v); }},
};

// A range whose ends are the wrong way round, once every line is in; empty when none is.
std::string contradiction(const EndpointOptions& o) {
  if (o.server.minSessionTimeoutMs > o.server.maxSessionTimeoutMs)
    return "minSessionTimeoutMs is greater than maxSessionTimeoutMs";
  if (o.server.minSamplingIntervalMs > o.server.maxSamplingIntervalMs)
    return "minSamplingIntervalMs is greater than maxSamplingIntervalMs";
  return {};
}

}  // namespace

std::string parseEndpointSettings(std::string_view text, EndpointOptions& out) {
  EndpointOptions next = out;
  const std::string bad = forEachSetting(text, [&](std::string_view key, std::string_view value) -> std::string {
    if (key == "host") {
      in_addr a{};
      const std::string host(value);
      if (host.find('\0') != std::string::npos || ::inet_pton(AF_INET, host.c_str(), &a) != 1)
        return "host [" + shownSetting(value) + "] is not an IPv4 address";
      next.host = host;
      return {};
    }
    if (key == "discoveryServerUrl") {
      vexahv::platform::Ipv4Endpoint ignored;
      if (std::string bad = parseOpcTcpUrl(value, ignored); !value.empty() && !bad.empty())
        return "discoveryServerUrl [" + shownSetting(value) + "] is refused: " + bad;
      next.discoveryServerUrl = std::string(value);
      return {};
    }
    const Setting* setting = nullptr;
    for (const Setting& s : kSettings) {
      if (s.key == key) setting = &s;
    }
    if (setting == nullptr) return "unknown key [" + shownSetting(key) + "]";
    std::uint64_t v = 0;
    const auto [stop, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (ec != std::errc() || stop != value.data() + value.size() || value.empty() || v < setting->min ||
        v > setting->max) {
      return std::string(key) + " [" + shownSetting(value) + "] is not a whole number from " +
             std::to_string(setting->min) + " to " + std::to_string(setting->max);
    }
    setting->set(next, v);
    return {};
  });
  if (!bad.empty()) return bad;
  if (std::string wrong = contradiction(next); !wrong.empty()) return wrong;
  out = std::move(next);
  return {};
}

std::string readEndpointSettings(const std::filesystem::path& file, EndpointOptions& out) {
  return readSettingsFile(file, [&](std::string_view text) { return parseEndpointSettings(text, out); });
}

}  // namespace OpcToolbox::ua
