#include "opctoolbox/ua/services/ua_server.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "opctoolbox/da_address_space_root.h"
#include "opctoolbox/ua/security/ua_login_guard.h"
#include "opctoolbox/ua/model/ua_namespace_zero.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "opctoolbox/ua/services/ua_session.h"

namespace OpcToolbox::ua {

using Clock = std::chrono::steady_clock;

UaServer::UaServer(Application& app, std::string endpointUrl, ServerLimits limits,
                   std::shared_ptr<const SecurityConfiguration> security, AuditLog audit)
    : app_(app), endpointUrl_(std::move(endpointUrl)), limits_(limits), startTime_(nowTicks()),
      queuedValues_(std::make_shared<QueuedValueBudget>(limits.maxQueuedValues)),
      queuedEvents_(std::make_shared<QueuedValueBudget>(limits.maxQueuedEvents)),
      detached_(std::make_shared<Session>()), security_(std::move(security)), audit_(std::move(audit)) {
  if (security_) {
    logins_ = std::make_unique<LoginGuard>(
        [security = security_](const std::string& user, const crypto::SecretBytes& password) {
          return security->checkPassword(user, password);
        });
  }
  publisher_ = vexahv::platform::WorkerThread("ua-publish", [this](std::stop_token st) { publishLoop(st); });
  structureSink_->server = this;
  // Conditions active before the endpoint started are retained from the start. The
  // listener first, outside alarmsMutex_ (reports take the table's lock, then that one):
  // a report that comes in between is applied twice, which changes nothing.
  app_.conditions().setListener(this);
  listening_ = true;
  {
    std::lock_guard lock(alarmsMutex_);
    for (const ConditionReport& r : app_.conditions().active()) alarms_.changed(r);
  }
  if (DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot()) {
    root->setStructureListener([sink = std::weak_ptr<StructureSink>(structureSink_)](const ElementPtr& parent) {
      const auto alive = sink.lock();
      if (!alive) return;
      std::lock_guard lock(alive->mutex);
      if (alive->server != nullptr) alive->server->raiseModelChange(parent);
    });
  }
}

UaServer::~UaServer() { stop(); }

void UaServer::stop() {
  // Once: a stop after the endpoint's may come when the application is gone.
  if (listening_.exchange(false)) app_.conditions().setListener(nullptr);
  {
    std::lock_guard lock(structureSink_->mutex);
    structureSink_->server = nullptr;
  }
  if (logins_) logins_->stop();
  historyJobs_.stop();  // the reads that wait are answered first
  publisher_.stopAndJoin();
  closeAllSessions();
}

void UaServer::releaseSession(const std::shared_ptr<Session>& s) {
  std::vector<std::pair<Respond, std::vector<std::uint8_t>>> replies;
  {
    std::lock_guard lock(s->mutex);
    endSubscriptions(*s, 0x80260000u /* BadSessionClosed */, replies);
  }
  for (auto& [respond, bytes] : replies) respond(std::move(bytes));
  if (s->activated && app_.clients()) app_.clients()->closeSession(s->toolboxSession);
}

ServerIdentity serverIdentity(const Application& app) {
  return ServerIdentity{"urn:" + app.getProgIdDa(), "urn:" + app.getVerIndProgIdDa(), app.getDescription()};
}

ServerIdentity UaServer::identity() const { return serverIdentity(app_); }

std::size_t UaServer::sessionCount() const {
  std::lock_guard lock(sessionsMutex_);
  return sessions_.size();
}

std::vector<std::shared_ptr<Session>> UaServer::allSessions() const {
  std::vector<std::shared_ptr<Session>> all;
  std::lock_guard lock(sessionsMutex_);
  all.reserve(sessions_.size() + 1);
  for (const auto& [token, s] : sessions_) all.push_back(s);
  all.push_back(detached_);
  return all;
}

std::size_t UaServer::monitoredItemCount() const {
  std::size_t n = 0;
  for (const auto& s : allSessions()) {
    std::lock_guard lock(s->mutex);
    n += s->monitoredItems();
  }
  return n;
}

std::set<std::uint32_t> UaServer::channelsWithSessions() const {
  std::set<std::uint32_t> channels;
  std::lock_guard lock(sessionsMutex_);
  for (const auto& [token, s] : sessions_) {
    if (s->activated) channels.insert(s->channelId);
  }
  return channels;
}

void UaServer::closeAllSessions() {
  std::map<std::string, std::shared_ptr<Session>> all;
  std::vector<std::pair<Respond, std::vector<std::uint8_t>>> none;  // detached ones have no Publish waiting
  {
    std::lock_guard lock(sessionsMutex_);
    all.swap(sessions_);
  }
  {
    std::lock_guard lock(detached_->mutex);
    endSubscriptions(*detached_, 0x80260000u /* BadSessionClosed */, none);
  }
  for (auto& [token, s] : all) releaseSession(s);
}

const SecurityConfiguration& UaServer::security() const {
  return security_ ? *security_ : SecurityConfiguration::noneAnonymous();
}

void UaServer::channelRefused(const std::string& peer, StatusCode why, std::string_view what) {
  audit(true, [&] {
    return "refused OpenSecureChannel from [" + peer + "]: " + std::string(what) + " (" + statusName(why) + ")";
  });
}

void UaServer::channelOpened(std::uint32_t channelId, const std::string& peer,
                             std::shared_ptr<const ChannelSecurity> security) {
  std::lock_guard lock(sessionsMutex_);
  channels_[channelId] = ChannelInfo{peer, std::move(security)};
}

void UaServer::channelClosed(std::uint32_t channelId) {
  // A session never activated dies with its channel; an activated one waits for its client
  // to come back on a new channel until it times out.
  {
    std::lock_guard lock(sessionsMutex_);
    channels_.erase(channelId);
    // Never activated, it ends here: an aborted session.
    const std::size_t ended =
        std::erase_if(sessions_, [&](const auto& kv) { return kv.second->channelId == channelId && !kv.second->activated; });
    counters_.add(counters_.sessionAborts, static_cast<std::uint32_t>(ended));
  }
  // Publish requests of a closed channel can never be answered: a notification given to
  // one would be lost. The client sends new ones when it comes back.
  for (const auto& s : allSessions()) {
    std::lock_guard lock(s->mutex);
    std::erase_if(s->publishes, [&](const Session::PendingPublish& p) { return p.channelId == channelId; });
  }
}

ElementPtr UaServer::elementFor(const NodeId& id) const {
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  if (root == nullptr || !namesItem(id)) return nullptr;
  return root->findElement(id.text);
}

std::function<ElementPtr(const std::string&)> UaServer::lookup() const {
  DaAddressSpaceRoot* root = app_.getDaAddressSpaceRoot();
  return [root](const std::string& itemId) -> ElementPtr { return root ? root->findElement(itemId) : nullptr; };
}

std::optional<UaServer::PropertyNode> UaServer::propertyNodeOf(std::string_view text) const {
  const auto split = splitPropertyNodeId(text);
  if (!split) return std::nullopt;
  const ElementLookup find = lookup();
  ElementPtr owner = find(split->first);
  if (!owner || owner->getHasChildren()) return std::nullopt;
  ItemModel model = itemModelOf(*owner, find);
  if (!hasProperty(model, split->second)) return std::nullopt;
  return PropertyNode{std::move(owner), std::move(model), split->second};
}

std::uint32_t UaServer::madeNodeClass(const NodeIdRef& id) const {
  if (id.ns == kNs && id.kind == NodeId::Kind::Numeric) {
    const auto node = sessionNode(id.numeric);
    return !node ? 0 : node->member == 0 ? kObject : kVariable;
  }
  if (propertyNode(id)) return kVariable;
  if (const auto condition = conditionNode(id)) return condition->member != nullptr ? condition->member->nodeClass : kObject;
  if (const auto method = methodNode(id)) return method->arguments != 0 ? kVariable : kMethod;
  if (const auto config = historyConfigurationNode(id)) return config->member != nullptr ? config->member->nodeClass : kObject;
  return 0;
}

void UaServer::raiseModelChange(const ElementPtr& parent) {
  constexpr std::uint32_t kGeneralModelChangeEventType = 2133, kModelChangeStructureEncoding = 879;
  constexpr std::uint8_t kNodeAddedAndReferenceAdded = 1 | 4;
  const NodeId affected = parent ? NodeId::stringId(kNs, parent->getItemId()) : NodeId::numericId(0, ns0::Objects);
  std::vector<std::uint8_t> change;
  Encoder c(change);
  c.nodeId(affected);
  c.nodeId(NodeId::numericId(0, kFolderType));
  c.byte(kNodeAddedAndReferenceAdded);
  ua::Variant changes{BuiltinType::ExtensionObject, true, {}};
  changes.values.push_back(ExtensionObject{NodeId::numericId(0, kModelChangeStructureEncoding), 1,
                                           std::string(change.begin(), change.end())});
  const std::int64_t now = nowTicks();
  UaEvent event;
  event.eventType = NodeId::numericId(0, kGeneralModelChangeEventType);
  event.fields = {
      {"EventId", ua::Variant::scalar(BuiltinType::ByteString, ByteStringValue{randomBytes(16)})},
      {"EventType", ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, kGeneralModelChangeEventType))},
      {"SourceNode", ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, ns0::Server))},
      {"SourceName", ua::Variant::scalar(BuiltinType::String, UaString{std::string("Server")})},
      {"Time", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"ReceiveTime", ua::Variant::scalar(BuiltinType::DateTime, DateTimeValue{now})},
      {"Message", ua::Variant::scalar(BuiltinType::LocalizedText,
                                      LocalizedText{std::string("en"), "Nodes added under " +
                                                                          (parent ? parent->getItemId() : std::string("Objects"))})},
      {"Severity", ua::Variant::scalar(BuiltinType::UInt16, std::uint16_t{100})},
      {"Changes", std::move(changes)},
  };
  raiseEvent(event);
}

std::shared_ptr<const ChannelSecurity> UaServer::channelSecurity(std::uint32_t channelId) const {
  std::lock_guard lock(sessionsMutex_);
  auto it = channels_.find(channelId);
  return it != channels_.end() ? it->second.security : nullptr;
}

std::string UaServer::channelPeer(std::uint32_t channelId) const {
  std::lock_guard lock(sessionsMutex_);
  auto it = channels_.find(channelId);
  return it != channels_.end() ? it->second.peer : std::string();
}

}  // namespace OpcToolbox::ua
