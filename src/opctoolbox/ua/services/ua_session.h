#pragma once
// The server's record of a session, shared by its service-set files.

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/services/ua_diagnostics.h"
#include "opctoolbox/ua/services/ua_service_handler.h"
#include "history/event_read.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "history/raw_read.h"
#include "opctoolbox/ua/services/ua_subscription.h"

namespace OpcToolbox::ua {

// Answers gathered under a lock, to be sent once it is released.
using Replies = std::vector<std::pair<ServiceHandler::Respond, std::vector<std::uint8_t>>>;

// A session of the endpoint: who it is, what it was created under, its subscriptions and
// the Publish requests it has waiting. Who it is and how it is reached are under the
// server's sessionsMutex_; what it holds is under its own mutex.
struct Session {
  NodeId sessionId;
  std::string token;
  std::string name;
  std::uint32_t channelId = 0;
  std::string peer;  // the client address it was created from
  // The security it was created under: every activation comes over the same policy and
  // mode, from the same client certificate, and signs the nonce sent last.
  std::string policyUri;
  std::uint32_t securityMode = 1;
  crypto::Bytes clientThumbprint;
  std::string serverNonce;
  // Who activated it, and so what its requests may do.
  std::string user = "anonymous";
  Role role = Role::Reader;
  bool activated = false;
  std::uint32_t toolboxSession = 0;
  std::chrono::steady_clock::duration timeout{};
  std::chrono::steady_clock::time_point lastUsed = std::chrono::steady_clock::now();
  // What its diagnostics show besides: set at its creation and activations, under the
  // server's sessionsMutex_; its counters need no lock.
  std::int64_t created = 0;  // DateTime ticks
  std::string endpointUrl;
  std::string clientUri;  // set before the session is in the table, never changed: read without a lock
  std::string clientProductUri;
  std::uint32_t clientType = 1;
  std::uint32_t maxResponseMessageSize = 0;
  std::vector<std::string> localeIds;
  std::string authentication = "Anonymous";
  std::vector<std::string> userHistory;  // the users that activated it, the latest last
  std::string clientCertificate;         // DER
  SessionCounters counters;

  // What it holds: under mutex.
  std::mutex mutex;
  std::map<std::string, std::vector<ReferenceDescription>> continuations;
  // Where each unfinished HistoryRead of an item stopped (its item id and the read's
  // cursor), or of a notifier's events (its key, and where the events' read stopped).
  struct HistoryContinuation {
    std::string itemId;
    vexahv::history::RawCursor cursor;
    std::optional<vexahv::history::EventCursor> events;
    int mode = 0;           // of the read it continues: 0 raw, 1 at times, 2 aggregates
    std::size_t next = 0;   // at times and aggregates: the first time or interval not given
  };
  std::map<std::string, HistoryContinuation> historyContinuations;
  // Keeps one (taking mutex): its point, or empty when the session holds max already.
  std::string keepHistoryContinuation(HistoryContinuation kept, std::size_t max) {
    std::lock_guard lock(mutex);
    if (historyContinuations.size() >= max) return {};
    std::string point = randomBytes(8);
    historyContinuations[point] = std::move(kept);
    return point;
  }
  // Takes the one of a point out (taking mutex): a point is spent once it is shown.
  std::optional<HistoryContinuation> takeHistoryContinuation(const std::string& point) {
    std::lock_guard lock(mutex);
    auto it = historyContinuations.find(point);
    if (it == historyContinuations.end()) return std::nullopt;
    HistoryContinuation kept = std::move(it->second);
    historyContinuations.erase(it);
    return kept;
  }
  std::map<std::uint32_t, std::shared_ptr<Subscription>> subscriptions;
  struct PendingPublish {
    ServiceHandler::Respond respond;
    std::uint32_t requestHandle = 0;
    std::vector<StatusCode> acknowledgements;
    std::uint32_t channelId = 0;  // answers go back on the channel that asked
  };
  std::deque<PendingPublish> publishes;

  // The monitored items of all its subscriptions (under mutex).
  std::size_t monitoredItems() const {
    std::size_t n = 0;
    for (const auto& [id, sub] : subscriptions) n += sub->items.size();
    return n;
  }
};

}  // namespace OpcToolbox::ua
