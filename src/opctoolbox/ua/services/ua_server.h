#pragma once
// The services of the endpoint over the toolbox: discovery, sessions, Browse, Read and
// Write, on the nodes of namespace 0 that clients need and on the toolbox's address
// space as namespace 1 (string NodeIds equal to item ids).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <cstdint>
#include <map>
#include <set>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "opctoolbox/application.h"
#include "opctoolbox/ua/alarms/ua_alarm_conditions.h"
#include "opctoolbox/ua/alarms/ua_condition_nodes.h"
#include "opctoolbox/ua/services/ua_diagnostics.h"
#include "opctoolbox/ua/services/ua_service_handler.h"
#include "opctoolbox/ua/model/ua_history_configuration.h"
#include "opctoolbox/ua/model/ua_item_model.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/encoding/ua_subscription_messages.h"
#include "opctoolbox/ua/model/ua_node_mapping.h"
#include "opctoolbox/ua/encoding/ua_history_messages.h"
#include "platform/job_queue.h"
#include "platform/worker_thread.h"

namespace OpcToolbox::ua {

class LoginGuard;
struct Subscription;
struct Session;
class MonitoredItem;
class QueuedValueBudget;

struct ServerLimits {
  // At the limit the oldest session never activated makes room.
  std::size_t maxSessions = 100;
  // Requested session time-outs are revised into this range: an abandoned session holds
  // its place for 10 minutes at the most.
  double minSessionTimeoutMs = 10000;
  double maxSessionTimeoutMs = 600000;
  // Sessions of one client address: one host cannot take every place.
  std::size_t maxSessionsPerAddress = 75;
  std::size_t maxNodesPerRead = 100000;
  std::size_t maxNodesPerWrite = 10000;
  std::size_t maxNodesPerBrowse = 10000;
  // Nodes of one HistoryRead (each read on the history thread, the values shared out).
  std::size_t maxNodesPerHistoryReadData = 1000;
  std::uint32_t maxReferencesPerNode = 10000;
  std::size_t maxContinuationPoints = 16;  // per session
  std::size_t maxSubscriptionsPerSession = 100;
  std::size_t maxPublishRequestsPerSession = 10;
  std::uint32_t maxNotificationsPerPublish = 10000;
  std::size_t maxMonitoredItemsPerCall = 100000;
  // Subscription ids of one SetPublishingMode, DeleteSubscriptions or TransferSubscriptions.
  std::size_t maxSubscriptionIdsPerCall = 10000;
  // Totals past which CreateMonitoredItems answers BadTooManyMonitoredItems: a plant's
  // every channel parameter fits one session; a careless client cannot fill the memory.
  std::size_t maxMonitoredItemsPerSubscription = 100000;
  std::size_t maxMonitoredItemsPerSession = 200000;
  std::size_t maxMonitoredItems = 300000;
  // Queue sizes are revised down to this; all queues together hold at most
  // maxQueuedValues values beyond the first of each (past it they overflow).
  std::uint32_t maxQueueSize = 100;
  std::size_t maxQueuedValues = 1000000;
  // An event item's queue holds up to this (an interlock trips every channel of a crate
  // at once), all of them together maxQueuedEvents.
  std::uint32_t maxEventQueueSize = 10000;
  std::size_t maxQueuedEvents = 200000;
  // Sampling intervals are revised up to the fastest the item can honestly be sampled:
  // this, or for a polled item the time its device read takes if that is longer.
  double minSamplingIntervalMs = 50;
  double maxSamplingIntervalMs = 3600000;
};

// The ApplicationUri, ProductUri and ApplicationName clients see of an application.
ServerIdentity serverIdentity(const Application& app);

class UaServer : public ServiceHandler, public ConditionListener {
 public:
  // security: the endpoints, certificates and identities offered (null: None, anonymous);
  // audit: where the audit lines go (none: nowhere).
  UaServer(Application& app, std::string endpointUrl, ServerLimits limits = {},
           std::shared_ptr<const SecurityConfiguration> security = nullptr, AuditLog audit = {});
  ~UaServer() override;

  void handle(std::uint32_t channelId, std::span<const std::uint8_t> body, Respond respond) override;
  void channelOpened(std::uint32_t channelId, const std::string& peer,
                     std::shared_ptr<const ChannelSecurity> security) override;
  const SecurityConfiguration& security() const override;
  void channelRefused(const std::string& peer, StatusCode why, std::string_view what) override;
  void channelClosed(std::uint32_t channelId) override;
  std::size_t sessionCount() const;
  // Channels that carry an activated session: the connections worth keeping when room runs out.
  std::set<std::uint32_t> channelsWithSessions() const;
  std::size_t monitoredItemCount() const;  // takes every session's lock in turn
  // The counters and every session as they are now (each session's lock in turn).
  EndpointDiagnostics diagnostics() const;
  // Every subscription's diagnostics (those waiting for a transfer too), or one session's.
  std::vector<SubscriptionDiagnostics> subscriptionDiagnostics(const Session* only = nullptr) const;
  // The enabled conditions waiting for an acknowledgement, by id, with their severities.
  std::map<std::string, std::uint16_t> unacknowledgedAlarms() const;

  // A condition of the application's table changed: its event goes to every event item.
  void conditionChanged(const ConditionReport& report) override;

  // Ends every session (disconnectSession for each activated one).
  void closeAllSessions();
  // Stops the publishing thread, then ends every session: after it nothing of the server
  // touches the application any more.
  void stop();

 private:

  ServerIdentity identity() const;
  // The security of an open channel (null before its first request, as in tests).
  std::shared_ptr<const ChannelSecurity> channelSecurity(std::uint32_t channelId) const;
  std::string channelPeer(std::uint32_t channelId) const;
  // The end of an ActivateSession whose identity has passed: the session takes the user
  // and role, and the channel (network thread, or the login guard's for a password).
  struct Activation {
    std::shared_ptr<Session> session;
    std::uint32_t channelId = 0;
    std::uint32_t requestHandle = 0;
    std::string user;
    Role role = Role::Reader;
    std::string how;  // policy, mode, client certificate and address, for the audit line
    std::string authentication;  // the identity token's kind, for the diagnostics
    std::vector<std::string> localeIds;
  };
  void finishActivation(const Activation& a, Respond respond);
  // text() makes the line, only when it is written.
  template <class Text>
  void audit(bool refused, Text&& text) const {
    if (audit_.write && (!audit_.enabled || audit_.enabled(refused))) audit_.write(refused, text());
  }
  // The session a request names. status: Good, or why it may not be used (none such, not
  // activated, or, with sameChannel, asked on another channel than the one that activated it).
  // role: the session's, read under the same lock.
  std::shared_ptr<Session> sessionFor(const RequestHeader& h, std::uint32_t channelId, StatusCode& status,
                                      bool sameChannel, Role* role = nullptr);

  // One request on its way through its service: the service table's prologue has decoded
  // it and found its session (for the services that need one).
  struct Call {
    std::uint32_t channelId = 0;
    std::uint32_t requestHandle = 0;
    std::shared_ptr<Session> session;
    Role role = Role::Reader;  // the session's when the request was taken
    Respond respond;
    ServerCounters* counters = nullptr;
    CountedService counted = CountedService::None;
    // A ServiceFault, counted for the server and for the session it came on.
    void fault(StatusCode status);
  };
  enum class SessionNeed : std::uint8_t { None, Created, Activated };
  struct Service;
  static const Service* serviceFor(std::uint32_t requestType);
  // The prologue, once for every service: decode, session, operation count; then the service.
  template <class Request, Request (*Decode)(Decoder&), SessionNeed Need, std::size_t ServerLimits::*Limit,
            void (UaServer::*Serve)(Call&, Request&)>
  static void serve(UaServer& server, Call& call, Decoder& d);

  // The services, each with its request decoded and its session found.
  void getEndpoints(Call& c, GetEndpointsRequest& r);
  void findServers(Call& c, FindServersRequest& r);
  void createSession(Call& c, CreateSessionRequest& r);
  void activateSession(Call& c, ActivateSessionRequest& r);
  void closeSession(Call& c, CloseSessionRequest& r);
  void cancel(Call& c, CancelRequest& r);
  void read(Call& c, ReadRequest& r);
  void write(Call& c, WriteRequest& r);
  void browse(Call& c, BrowseRequest& r);
  void browseNext(Call& c, BrowseNextRequest& r);
  void translateBrowsePaths(Call& c, TranslateBrowsePathsRequest& r);
  void registerNodes(Call& c, RegisterNodesRequest& r);
  void unregisterNodes(Call& c, RegisterNodesRequest& r);
  void call(Call& c, CallRequest& r);
  void historyRead(Call& c, HistoryReadRequest& r);
  void historyReadEvents(Call& c, HistoryReadRequest& r);
  void createSubscription(Call& c, CreateSubscriptionRequest& r);
  void modifySubscription(Call& c, ModifySubscriptionRequest& r);
  void setPublishingMode(Call& c, SubscriptionsRequest& r);
  void deleteSubscriptions(Call& c, SubscriptionsRequest& r);
  void transferSubscriptions(Call& c, SubscriptionsRequest& r);
  void createMonitoredItems(Call& c, CreateMonitoredItemsRequest& r);
  void modifyMonitoredItems(Call& c, ModifyMonitoredItemsRequest& r);
  void deleteMonitoredItems(Call& c, MonitoredItemsRequest& r);
  void setTriggering(Call& c, SetTriggeringRequest& r);
  void setMonitoringMode(Call& c, MonitoredItemsRequest& r);
  void publish(Call& c, PublishRequest& r);
  void republish(Call& c, RepublishRequest& r);
  // Every session and the detached subscriptions' holder, as they are now.
  std::vector<std::shared_ptr<Session>> allSessions() const;
  // Samples the monitored variables of namespace 0 that are due (publishing thread); the
  // moment the next one is due.
  std::chrono::steady_clock::time_point sampleNamespaceZero();
  // The toolbox element a namespace-1 string NodeId names, or null.
  ElementPtr elementFor(const NodeId& id) const;
  // Elements by item id, for the Data Access model of variables.
  std::function<ElementPtr(const std::string&)> lookup() const;
  // The Data Access property a node id names ("<item id>#EURange"), with its variable.
  struct PropertyNode {
    ElementPtr owner;
    ItemModel model;
    UaProperty property;
  };
  template <class Id>
  std::optional<PropertyNode> propertyNode(const Id& id) const {
    return namesItem(id) ? propertyNodeOf(id.text) : std::nullopt;
  }
  std::optional<PropertyNode> propertyNodeOf(std::string_view text) const;
  // A node of a condition ("<source>#Trip", "<source>#Trip.ActiveState.Id"): the
  // condition, its class, and the member (null: the condition object itself).
  struct ConditionNode {
    std::string id;
    std::string source;
    const ConditionClass* kind = nullptr;
    const ConditionMember* member = nullptr;
  };
  template <class Id>
  std::optional<ConditionNode> conditionNode(const Id& id) const {
    return namesItem(id) ? conditionNodeOf(id.text) : std::nullopt;
  }
  std::optional<ConditionNode> conditionNodeOf(std::string_view text) const;
  // A method of a folder ("<folder>#SwitchOn") or one of its argument lists
  // ("<folder>#SwitchOn.InputArguments"), as the application's folder methods say.
  struct MethodNode {
    ElementPtr folder;
    const FolderMethod* method = nullptr;
    int arguments = 0;  // 0 the method itself, 1 its InputArguments, 2 its OutputArguments
  };
  template <class Id>
  std::optional<MethodNode> methodNode(const Id& id) const {
    return namesItem(id) ? methodNodeOf(id.text) : std::nullopt;
  }
  std::optional<MethodNode> methodNodeOf(std::string_view text) const;
  // A node of a kept item's history configuration ("<item>#HA Configuration",
  // "<item>#HA Configuration.Stepped"): the item, and the member (null: the object).
  struct HistoryConfigurationNode {
    ElementPtr item;
    const HistoryConfigurationMember* member = nullptr;
  };
  template <class Id>
  std::optional<HistoryConfigurationNode> historyConfigurationNode(const Id& id) const {
    return namesItem(id) ? historyConfigurationNodeOf(id.text) : std::nullopt;
  }
  std::optional<HistoryConfigurationNode> historyConfigurationNodeOf(std::string_view text) const;
  void historyConfigurationReferences(const HistoryConfigurationNode& node, bool forward, bool inverse,
                                      const std::function<void(ReferenceDescription&&)>& sink);
  DataValue readHistoryConfiguration(const HistoryConfigurationNode& node, const NodeIdRef& id, std::uint32_t attribute,
                                     std::uint32_t timestamps);
  DataValue readMethodNode(const MethodNode& node, const NodeIdRef& id, std::uint32_t attribute, Role role);
  void methodReferences(const MethodNode& node, bool forward, bool inverse,
                        const std::function<void(ReferenceDescription&&)>& sink);
  // A folder's methods (HasComponent from it) and what it organizes besides its children.
  void folderMethodReferences(const ElementPtr& folder, const std::function<void(ReferenceDescription&&)>& sink);
  // The node class of a node the server makes of what it holds (a Data Access property, a
  // condition or one of its members, a folder's method); 0 for any other.
  std::uint32_t madeNodeClass(const NodeIdRef& id) const;
  // The member's value: the field as the condition's last event showed it.
  ua::Variant conditionValue(const ConditionNode& node);
  // The references of a condition node, each to sink.
  void conditionReferences(const ConditionNode& node, bool forward, bool inverse,
                           const std::function<void(ReferenceDescription&&)>& sink);
  // A source's condition objects (HasComponent from it).
  void sourceConditionReferences(const std::string& source, const std::function<void(ReferenceDescription&&)>& sink);
  DataValue readCondition(const ConditionNode& node, const NodeIdRef& id, std::uint32_t attribute,
                          std::uint32_t timestamps);
  // A GeneralModelChangeEvent of the Server object: elements joined the address space
  // under parent (null: under Objects). Queued for every event item that takes it.
  void raiseModelChange(const ElementPtr& parent);
  // Queues an event for every event item whose filter takes it.
  void raiseEvent(const UaEvent& event);
  // Event types: namespace 0's and the application's declared alarm types.
  bool isEventType(const NodeId& type, const NodeId& of) const;
  // The outcome of one method call.
  struct MethodResult {
    StatusCode status = kGood;
    std::vector<StatusCode> inputResults;
    std::vector<ua::Variant> outputs;
  };
  // A method of Alarms & Conditions (a condition's Acknowledge, Confirm, AddComment;
  // ConditionRefresh and ConditionRefresh2); nullopt for any other method.
  std::optional<MethodResult> callAlarmMethod(Call& c, const CallMethodRequest& m);
  // A method of an application folder: false when the object is no such folder or the
  // method not one of its own. Otherwise done gets the result, now or when the writes end.
  // writesLeft: the items the request's calls may still write (a Write's limit, shared by
  // them all); a call past it is refused with BadTooManyOperations.
  bool callFolderMethod(Call& c, const CallMethodRequest& m, std::size_t& writesLeft,
                        std::function<void(MethodResult)> done);
  // Timed shelves that ended are unshelved, with their events (publishing thread); when
  // the next one ends.
  std::chrono::steady_clock::time_point expireShelves();
  // The fastest honest sampling interval of an element (null: a variable the server samples),
  // and a requested interval (negative: the subscription's publishing interval) revised to it.
  double fastestSampling(const DaAddressSpaceElement* element) const;
  double revisedSampling(const DaAddressSpaceElement* element, double requested, double publishing) const;
  void purgeExpiredSessions();
  bool purgeDue() const noexcept;  // the earliest session deadline has passed
  // Every reference of a node (namespace 0 or an element), before any filter.
  std::vector<ReferenceDescription> collectReferences(const NodeId& node, bool forward, bool inverse,
                                                      StatusCode& status);
  // The same, each handed to sink(ReferenceDescription&&) as it is made.
  template <class Sink>
  void forEachReference(const NodeId& node, bool forward, bool inverse, StatusCode& status, Sink&& sink);
  // role: the reading session's (the security diagnostics are an admin's to read).
  DataValue readNamespaceZero(std::uint32_t id, std::uint32_t attribute, std::uint32_t timestamps, Role role);
  // The diagnostics (ua_diagnostics_nodes.cpp): the value of one of namespace 0's
  // diagnostics variables (nullopt for any other node), whether the role may read a node
  // of namespace 0, and a session's own nodes in namespace 1 (numeric ids: its SessionId
  // is its object's), which exist while the session does.
  std::optional<ua::Variant> readDiagnosticsValue(std::uint32_t id) const;
  static bool mayReadNamespaceZero(std::uint32_t id, Role role) noexcept;
  struct SessionNode {
    SessionDiagnostics session;
    // 0 the object, 1 its SessionDiagnostics, 2 its SessionSecurityDiagnostics, 3 its
    // SubscriptionDiagnosticsArray (then filled in).
    int member = 0;
    std::vector<SubscriptionDiagnostics> subscriptions;
  };
  std::optional<SessionNode> sessionNode(std::uint32_t id) const;
  DataValue readSessionNode(std::uint32_t id, std::uint32_t attribute, std::uint32_t timestamps, Role role) const;
  void sessionNodeReferences(std::uint32_t id, bool forward, bool inverse, StatusCode& status,
                             const std::function<void(ReferenceDescription&&)>& sink) const;
  // The sessions' objects under the sessions' summary (HasComponent from it).
  void sessionObjectReferences(const std::function<void(ReferenceDescription&&)>& sink) const;
  // A Data Access property node ("<item id>#EURange"): its attribute, or BadNodeIdUnknown.
  DataValue readProperty(const NodeIdRef& id, std::uint32_t attribute, std::uint32_t timestamps,
                         Role role = Role::Reader);
  // A subscription of a session, or null.
  std::shared_ptr<Subscription> subscriptionOf(Session& session, std::uint32_t id);
  // Ends a session's subscriptions and answers its waiting Publish requests.
  void endSubscriptions(Session& s, StatusCode reason, std::vector<std::pair<Respond, std::vector<std::uint8_t>>>& replies);
  // The publishing thread: it sleeps until the earliest deadline (a publishing interval, a
  // sample of namespace 0, a session's time-out) unless woken because one came nearer.
  void publishLoop(std::stop_token stop);
  void wakePublisher();
  void releaseSession(const std::shared_ptr<Session>& s);

  Application& app_;
  const std::string endpointUrl_;
  const ServerLimits limits_;
  const std::int64_t startTime_;
  const std::shared_ptr<QueuedValueBudget> queuedValues_;
  const std::shared_ptr<QueuedValueBudget> queuedEvents_;
  ServerCounters counters_;
  // Who owns what. sessionsMutex_ guards the table of sessions, each session's identity
  // (its channel, user, role, activation, time-out) and the channel records: a request's
  // session look-up takes it and nothing else. A session's own mutex guards what it holds:
  // its subscriptions with their items, its waiting Publish requests, its continuation
  // points. A subscription's retransmission queue has a lock of its own, so the publishing
  // thread keeps a message there after encoding it without knowing who owns it by then.
  // None of them is held while an answer is encoded at length or sent. The network thread
  // owns the sockets (the endpoint's), the publishing thread the publishing schedule.
  // Lock order: sessionsMutex_ and a session's mutex are never held together; two
  // sessions' mutexes are taken together only by std::scoped_lock or std::lock (a close
  // that keeps its subscriptions, a transfer). Under a session's mutex: a subscription's
  // retransmission lock, a monitored item's own lock, the toolbox's locks (monitor,
  // unmonitor), zeroMutex_ and wakeMutex_. None of those takes a session's mutex or
  // sessionsMutex_. alarmsMutex_ comes before a session's mutex (an alarm's event is
  // queued under it, so that every client sees a condition's changes in order) and is
  // taken under the condition table's report lock.
  mutable std::mutex sessionsMutex_;
  std::map<std::string, std::shared_ptr<Session>> sessions_;  // by authentication token
  // Subscriptions of sessions closed with deleteSubscriptions false: they live on, with no
  // one to publish to, until a TransferSubscriptions takes them or their lifetime ends.
  const std::shared_ptr<Session> detached_;
  // What the address space's structure listener reaches: this server until it stops, so
  // that a listener call racing the stop finds no server rather than a destroyed one.
  struct StructureSink {
    std::mutex mutex;
    UaServer* server = nullptr;
  };
  std::shared_ptr<StructureSink> structureSink_ = std::make_shared<StructureSink>();
  // Monitored variables of namespace 0, which no toolbox element feeds, and their sampling
  // schedule (a leaf lock).
  std::mutex zeroMutex_;
  std::vector<std::weak_ptr<MonitoredItem>> namespaceZeroItems_;
  struct ChannelInfo {
    std::string peer;  // the client address
    std::shared_ptr<const ChannelSecurity> security;
  };
  std::map<std::uint32_t, ChannelInfo> channels_;  // under sessionsMutex_
  const std::shared_ptr<const SecurityConfiguration> security_;
  AuditLog audit_;
  mutable std::mutex alarmsMutex_;
  AlarmConditions alarms_;  // under alarmsMutex_
  std::atomic<bool> listening_{false};  // this server is the condition table's listener
  const IsEventSubtype eventTypes_ = [this](const NodeId& type, const NodeId& of) { return isEventType(type, of); };
  std::unique_ptr<LoginGuard> logins_;  // password checks, when the security has users
  std::uint32_t nextSession_ = 1;
  // The earliest moment a session may have timed out (steady clock ticks): the publishing
  // thread purges then, so no request scans the sessions.
  std::atomic<std::int64_t> nextPurge_{std::numeric_limits<std::int64_t>::max()};
  std::atomic<std::uint32_t> nextSubscription_{1};
  std::atomic<std::uint32_t> nextMonitoredItem_{1};
  // A leaf: nothing is called under it.
  std::mutex wakeMutex_;
  std::condition_variable_any wake_;
  bool wakeRequested_ = false;  // under wakeMutex_
  // HistoryReads, off the network thread; a few wait at most, the rest are refused.
  vexahv::platform::JobQueue historyJobs_{"ua-history", 64};
  vexahv::platform::WorkerThread publisher_;
};

}  // namespace OpcToolbox::ua
