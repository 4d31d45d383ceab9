// Answers of the attribute and view services as bytes, from the OPC UA binary encoding
// rules: a session is created and activated through the service dispatch, then Read,
// Write and Browse of a small address space are answered, and everything after each
// answer's header (whose first field is the time of the answer) is compared byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <functional>
#include <future>
#include <thread>

#include "opctoolbox/application.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/services/ua_server.h"
#include "unit/ua/demo_application.h"
#include "unit/ua/session_requests.h"

namespace {

using namespace OpcToolbox;
using namespace OpcToolbox::ua;
namespace ua = OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;

class Services : public ::testing::Test {
 protected:
  Services() {
    app = startDemoApplication();
    server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840");
    token = openSession();
  }
  ~Services() override {
    server.reset();
    stopDemoApplication();
  }

  Bytes call(const Bytes& body) {
    std::promise<Bytes> answer;
    auto done = answer.get_future();
    server->handle(channel, body, [&answer](Bytes b) { answer.set_value(std::move(b)); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    return done.get();
  }
  // Type id, then a request header with the session's token and request handle 7.
  Bytes request(std::uint32_t type, const NodeId& auth) {
    Bytes b;
    Encoder e(b);
    e.nodeId(NodeId::numericId(0, type));
    e.nodeId(auth);
    e.dateTime(0);
    e.uint32(7);                 // request handle
    e.uint32(0);                 // return diagnostics
    e.string(UaString{});        // audit entry id
    e.uint32(0);                 // timeout hint
    e.extensionObject(ExtensionObject{});
    return b;
  }
  // Everything after the answer's type id and response header (timestamp, handle 7,
  // Good, no diagnostics, empty string table, no additional header).
  static Bytes afterHeader(const Bytes& answer, std::uint32_t responseType) {
    Decoder d(answer);
    EXPECT_EQ(d.nodeId(), NodeId::numericId(0, responseType));
    d.dateTime();
    EXPECT_EQ(d.uint32(), 7u);
    EXPECT_EQ(d.uint32(), kGood);
    EXPECT_EQ(d.byte(), 0);
    EXPECT_EQ(d.arrayLength(), 0u);
    EXPECT_TRUE(d.nodeId().isNull());
    EXPECT_EQ(d.byte(), 0);
    EXPECT_TRUE(d.ok());
    return Bytes(answer.end() - static_cast<std::ptrdiff_t>(d.remaining()), answer.end());
  }

  NodeId openSession() {
    const NodeId auth = createSession(60000).first;
    EXPECT_EQ(activateSession(auth), kGood);
    return auth;
  }
  // The new session's authentication token and its revised time-out (ms).
  std::pair<NodeId, double> createSession(double timeoutMs) {
    Bytes create = request(id::CreateSessionRequest, NodeId{});
    Encoder e(create);
    encodeCreateSessionBody(e, "", "opc.tcp://127.0.0.1:4840", "test", "", timeoutMs);
    const Bytes created = call(create);
    if (status(created) != kGood) return {NodeId{}, 0};
    const Bytes rest = afterHeader(created, id::CreateSessionResponse);
    Decoder d(rest);
    d.nodeId();  // session id
    const NodeId auth = d.nodeId();
    const double revised = d.float64();
    EXPECT_TRUE(d.ok());
    return {auth, revised};
  }
  // The service result of an answer.
  static StatusCode status(const Bytes& answer) {
    Decoder d(answer);
    d.nodeId();
    d.dateTime();
    d.uint32();
    return d.uint32();
  }
  StatusCode activateSession(const NodeId& auth) {
    Bytes activate = request(id::ActivateSessionRequest, auth);
    Encoder a(activate);
    a.string(UaString{});  // client signature: algorithm, signature
    a.byteString(UaString{});
    a.arrayLength(0);      // software certificates
    a.arrayLength(0);      // locale ids
    a.extensionObject(ExtensionObject{});  // anonymous
    a.string(UaString{});
    a.byteString(UaString{});
    return status(call(activate));
  }

  std::uint32_t createSubscription(const NodeId& session, double interval, std::uint32_t lifetime,
                                   std::uint32_t keepAlive) {
    Bytes create = request(id::CreateSubscriptionRequest, session);
    Encoder c(create);
    c.float64(interval);
    c.uint32(lifetime);
    c.uint32(keepAlive);
    c.uint32(0);
    c.boolean(true);
    c.byte(0);
    const Bytes answer = afterHeader(call(create), id::CreateSubscriptionResponse);
    Decoder d(answer);
    return d.uint32();
  }
  struct Made {
    StatusCode status;
    double sampling;
    std::uint32_t queue;
  };
  // CreateMonitoredItems of an item, count times: each item's status, revised sampling
  // interval and revised queue size.
  std::vector<Made> monitor(const NodeId& session, std::uint32_t subscription, std::uint32_t count,
                            std::uint32_t queueSize, const char* item = "Demo.Int32", double sampling = 1000) {
    Bytes items = request(id::CreateMonitoredItemsRequest, session);
    Encoder m(items);
    m.uint32(subscription);
    m.uint32(2);
    m.arrayLength(static_cast<std::int32_t>(count));
    for (std::uint32_t i = 0; i < count; ++i) {
      m.nodeId(NodeId::stringId(1, item));
      m.uint32(13);
      m.string(UaString{});
      m.qualifiedName(QualifiedName{});
      m.uint32(2);
      m.uint32(i);
      m.float64(sampling);
      m.extensionObject(ExtensionObject{});
      m.uint32(queueSize);
      m.boolean(true);
    }
    const Bytes answer = afterHeader(call(items), id::CreateMonitoredItemsResponse);
    Decoder d(answer);
    std::vector<Made> out(d.arrayLength());
    for (Made& made : out) {
      made.status = d.uint32();
      d.uint32();
      made.sampling = d.float64();
      made.queue = d.uint32();
      d.extensionObject();
    }
    EXPECT_TRUE(d.ok());
    return out;
  }
  void closeSession(const NodeId& session, bool deleteSubscriptions) {
    Bytes close = request(id::CloseSessionRequest, session);
    Encoder(close).boolean(deleteSubscriptions);
    afterHeader(call(close), id::CloseSessionResponse);
  }
  // The status TransferSubscriptions answers for one subscription.
  std::uint32_t transfer(const NodeId& session, std::uint32_t subscription) {
    Bytes t = request(id::TransferSubscriptionsRequest, session);
    Encoder e(t);
    e.arrayLength(1);
    e.uint32(subscription);
    e.boolean(false);
    const Bytes answer = afterHeader(call(t), id::TransferSubscriptionsResponse);
    Decoder d(answer);
    EXPECT_EQ(d.arrayLength(), 1u);
    return d.uint32();
  }

  Application* app = nullptr;
  std::unique_ptr<UaServer> server;
  std::uint32_t channel = 1;  // the secure channel requests come on
  NodeId token;
};

void putUInt32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
// IEEE 754 binary64, little-endian.
void putFloat64(Bytes& b, double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

TEST_F(Services, ReadWriteAndBrowseAnswers) {
  const NodeId item = NodeId::stringId(1, "Demo.Int32");
  auto read = [&](std::uint32_t attribute) {
    Bytes r = request(id::ReadRequest, token);
    Encoder e(r);
    e.float64(60000);  // max age: the cache is young enough
    e.uint32(3);       // timestamps: neither
    e.arrayLength(2);
    for (const NodeId& n : {item, NodeId::stringId(1, "Demo.Nothing")}) {
      e.nodeId(n);
      e.uint32(attribute);
      e.string(UaString{});
      e.qualifiedName(QualifiedName{});
    }
    return afterHeader(call(r), id::ReadResponse);
  };
  EXPECT_EQ(read(13), (Bytes{2, 0, 0, 0,                         // results: two
                             0x01, 0x06, 0xFB, 0xFF, 0xFF, 0xFF,  // value only: Int32 -5
                             0x02, 0x00, 0x00, 0x34, 0x80,        // status only: BadNodeIdUnknown
                             0, 0, 0, 0}))                        // no diagnostics
      << "Value";
  EXPECT_EQ(read(14), (Bytes{2, 0, 0, 0,
                             0x01, 0x11, 0x00, 0x06,              // NodeId i=6 (Int32), two-byte form
                             0x02, 0x00, 0x00, 0x34, 0x80, 0, 0, 0, 0}))
      << "DataType";

  Bytes write = request(id::WriteRequest, token);
  Encoder w(write);
  w.arrayLength(2);
  for (std::uint32_t attribute : {13u, 3u}) {  // Value; BrowseName
    w.nodeId(item);
    w.uint32(attribute);
    w.string(UaString{});
    w.dataValue(ua::DataValue{ua::Variant::scalar(BuiltinType::Int32, std::int32_t{42}), std::nullopt, std::nullopt, std::nullopt});
  }
  EXPECT_EQ(afterHeader(call(write), id::WriteResponse),
            (Bytes{2, 0, 0, 0, 0, 0, 0, 0,      // Good
                   0x00, 0x00, 0x3B, 0x80,      // BadNotWritable
                   0, 0, 0, 0}));
  EXPECT_EQ(read(13)[6], 42) << "the write reached the item";

  Bytes browse = request(id::BrowseRequest, token);
  Encoder b(browse);
  b.nodeId(NodeId{});  // view
  b.dateTime(0);
  b.uint32(0);
  b.uint32(0);         // no limit per node
  b.arrayLength(1);
  b.nodeId(NodeId::stringId(1, "Demo"));
  b.uint32(0);         // forward
  b.nodeId(NodeId::numericId(0, 33));  // HierarchicalReferences
  b.boolean(true);
  b.uint32(0);         // every node class
  b.uint32(0x3F);      // every field
  Bytes expected{1, 0, 0, 0,              // results: one
                 0, 0, 0, 0,              //   Good
                 0xFF, 0xFF, 0xFF, 0xFF,  //   no continuation point
                 1, 0, 0, 0};             //   one reference
  for (std::uint8_t x : {0x00, 0x2F}) expected.push_back(x);  // Organizes (i=35), two-byte form
  expected.back() = 0x23;
  expected.push_back(1);                  // forward
  expected.push_back(0x03);               // ExpandedNodeId: string form
  expected.insert(expected.end(), {0x01, 0x00});
  putUInt32(expected, 10);
  for (char c : std::string("Demo.Int32")) expected.push_back(static_cast<std::uint8_t>(c));
  expected.insert(expected.end(), {0x01, 0x00});  // browse name: ns 1
  putUInt32(expected, 5);
  for (char c : std::string("Int32")) expected.push_back(static_cast<std::uint8_t>(c));
  expected.push_back(0x02);               // display name: text
  putUInt32(expected, 5);
  for (char c : std::string("Int32")) expected.push_back(static_cast<std::uint8_t>(c));
  putUInt32(expected, 2);                 // node class: Variable
  expected.insert(expected.end(), {0x01, 0x00, 0x3D, 0x09});  // type definition: DataItemType (i=2365), four-byte form
  putUInt32(expected, 0);                 // no diagnostics
  EXPECT_EQ(afterHeader(call(browse), id::BrowseResponse), expected);
}

TEST_F(Services, PathAndRegistrationAnswers) {
  Bytes translate = request(id::TranslateBrowsePathsRequest, token);
  Encoder t(translate);
  t.arrayLength(2);
  for (const char* name : {"Int32", "Nothing"}) {
    t.nodeId(NodeId::stringId(1, "Demo"));
    t.arrayLength(1);
    t.nodeId(NodeId::numericId(0, 33));  // HierarchicalReferences
    t.boolean(false);
    t.boolean(true);
    t.qualifiedName(QualifiedName{1, UaString{std::string(name)}});
  }
  Bytes found{2, 0, 0, 0, 0, 0, 0, 0,  // Good
              1, 0, 0, 0,              // one target
              0x03, 0x01, 0x00};       // ExpandedNodeId, string form, ns 1
  putUInt32(found, 10);
  for (char c : std::string("Demo.Int32")) found.push_back(static_cast<std::uint8_t>(c));
  putUInt32(found, 0xFFFFFFFF);        // the whole path resolved
  found.insert(found.end(), {0x00, 0x00, 0x6F, 0x80,  // BadNoMatch
                             0, 0, 0, 0,              // no targets
                             0, 0, 0, 0});
  EXPECT_EQ(afterHeader(call(translate), id::TranslateBrowsePathsResponse), found);

  Bytes reg = request(id::RegisterNodesRequest, token);
  Encoder r(reg);
  r.arrayLength(1);
  r.nodeId(NodeId::stringId(1, "Demo.Int32"));
  Bytes registered{1, 0, 0, 0, 0x03, 0x01, 0x00};  // the same node id back
  putUInt32(registered, 10);
  for (char c : std::string("Demo.Int32")) registered.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(afterHeader(call(reg), id::RegisterNodesResponse), registered);

  Bytes unreg = request(id::UnregisterNodesRequest, token);
  Encoder u(unreg);
  u.arrayLength(1);
  u.nodeId(NodeId::stringId(1, "Demo.Int32"));
  EXPECT_TRUE(afterHeader(call(unreg), id::UnregisterNodesResponse).empty());
}

TEST_F(Services, SubscriptionAnswers) {
  Bytes create = request(id::CreateSubscriptionRequest, token);
  Encoder c(create);
  c.float64(500);  // publishing interval
  c.uint32(30);    // lifetime count
  c.uint32(10);    // keep-alive count
  c.uint32(0);     // notifications per publish: the server's limit
  c.boolean(true);
  c.byte(0);
  Bytes subscription{1, 0, 0, 0};  // subscription id 1
  putFloat64(subscription, 500);
  putUInt32(subscription, 30);
  putUInt32(subscription, 10);
  EXPECT_EQ(afterHeader(call(create), id::CreateSubscriptionResponse), subscription);

  Bytes items = request(id::CreateMonitoredItemsRequest, token);
  Encoder m(items);
  m.uint32(1);  // subscription
  m.uint32(2);  // timestamps: both
  m.arrayLength(1);
  m.nodeId(NodeId::stringId(1, "Demo.Int32"));
  m.uint32(13);
  m.string(UaString{});
  m.qualifiedName(QualifiedName{});
  m.uint32(2);     // reporting
  m.uint32(77);    // client handle
  m.float64(1000);
  m.extensionObject(ExtensionObject{});
  m.uint32(1);     // queue size
  m.boolean(true);
  Bytes created{1, 0, 0, 0, 0, 0, 0, 0,  // one result: Good
                1, 0, 0, 0};             // monitored item id 1
  putFloat64(created, 1000);
  putUInt32(created, 1);                            // revised queue size
  created.insert(created.end(), {0x00, 0x00, 0x00});  // no filter result
  putUInt32(created, 0);                            // no diagnostics
  EXPECT_EQ(afterHeader(call(items), id::CreateMonitoredItemsResponse), created);

  Bytes callItems = request(id::CallRequest, token);
  Encoder k(callItems);
  k.arrayLength(1);
  k.nodeId(NodeId::numericId(0, 2253));   // Server
  k.nodeId(NodeId::numericId(0, 11492));  // GetMonitoredItems
  k.arrayLength(1);
  k.variant(ua::Variant::scalar(BuiltinType::UInt32, std::uint32_t{1}));
  EXPECT_EQ(afterHeader(call(callItems), id::CallResponse),
            (Bytes{1, 0, 0, 0, 0, 0, 0, 0,  // one result: Good
                   0, 0, 0, 0, 0, 0, 0, 0,  // no argument results, no diagnostics
                   2, 0, 0, 0,              // two outputs:
                   0x87, 1, 0, 0, 0, 1, 0, 0, 0,    //   UInt32[] server handles {1}
                   0x87, 1, 0, 0, 0, 77, 0, 0, 0,   //   UInt32[] client handles {77}
                   0, 0, 0, 0}));

  Bytes modify = request(id::ModifySubscriptionRequest, token);
  Encoder ms(modify);
  ms.uint32(1);
  ms.float64(1000);
  ms.uint32(5);    // lifetime below three keep-alives: raised to 3 x 4
  ms.uint32(4);
  ms.uint32(0);
  ms.byte(0);
  Bytes modified;
  putFloat64(modified, 1000);
  putUInt32(modified, 12);
  putUInt32(modified, 4);
  EXPECT_EQ(afterHeader(call(modify), id::ModifySubscriptionResponse), modified);

  Bytes publishing = request(id::SetPublishingModeRequest, token);
  Encoder pm(publishing);
  pm.boolean(false);
  pm.arrayLength(2);
  pm.uint32(1);
  pm.uint32(9);
  const Bytes goodThenNoSubscription{2, 0, 0, 0, 0, 0, 0, 0,
                                     0x00, 0x00, 0x28, 0x80,  // BadSubscriptionIdInvalid
                                     0, 0, 0, 0};
  EXPECT_EQ(afterHeader(call(publishing), id::SetPublishingModeResponse), goodThenNoSubscription);

  Bytes modifyItems = request(id::ModifyMonitoredItemsRequest, token);
  Encoder mm(modifyItems);
  mm.uint32(1);
  mm.uint32(2);
  mm.arrayLength(2);
  for (std::uint32_t itemId : {1u, 5u}) {
    mm.uint32(itemId);
    mm.uint32(78);
    mm.float64(2000);
    mm.extensionObject(ExtensionObject{});
    mm.uint32(4);
    mm.boolean(true);
  }
  Bytes itemsModified{2, 0, 0, 0, 0, 0, 0, 0};
  putFloat64(itemsModified, 2000);
  putUInt32(itemsModified, 4);
  itemsModified.insert(itemsModified.end(), {0x00, 0x00, 0x00,   // no filter result
                                             0x00, 0x00, 0x42, 0x80});  // BadMonitoredItemIdInvalid
  itemsModified.insert(itemsModified.end(), 8, 0);  // revised interval 0
  putUInt32(itemsModified, 0);
  itemsModified.insert(itemsModified.end(), {0x00, 0x00, 0x00});
  putUInt32(itemsModified, 0);
  EXPECT_EQ(afterHeader(call(modifyItems), id::ModifyMonitoredItemsResponse), itemsModified);

  Bytes mode = request(id::SetMonitoringModeRequest, token);
  Encoder sm(mode);
  sm.uint32(1);
  sm.uint32(0);  // disabled
  sm.arrayLength(2);
  sm.uint32(1);
  sm.uint32(5);
  EXPECT_EQ(afterHeader(call(mode), id::SetMonitoringModeResponse),
            (Bytes{2, 0, 0, 0, 0, 0, 0, 0,
                   0x00, 0x00, 0x42, 0x80,  // BadMonitoredItemIdInvalid
                   0, 0, 0, 0}));

  Bytes republish = request(id::RepublishRequest, token);
  Encoder rp(republish);
  rp.uint32(1);
  rp.uint32(99);  // never sent
  const Bytes fault = call(republish);
  Decoder f(fault);
  EXPECT_EQ(f.nodeId(), NodeId::numericId(0, id::ServiceFault));
  f.dateTime();
  EXPECT_EQ(f.uint32(), 7u);
  EXPECT_EQ(f.uint32(), kBadMessageNotAvailable);

  Bytes remove = request(id::DeleteSubscriptionsRequest, token);
  Encoder r(remove);
  r.arrayLength(2);
  r.uint32(1);
  r.uint32(9);
  EXPECT_EQ(afterHeader(call(remove), id::DeleteSubscriptionsResponse),
            (Bytes{2, 0, 0, 0, 0, 0, 0, 0,   // Good
                   0x00, 0x00, 0x28, 0x80,   // BadSubscriptionIdInvalid
                   0, 0, 0, 0}));
}

// A session closed with deleteSubscriptions false leaves its subscriptions to be
// transferred, until their lifetime ends; closed with true, they end with it.
// Event items come only from the Server object and need an EventFilter this server can
// apply: anything else is refused with the status that says why, and nothing is created.
TEST_F(Services, EventItemsTakeOnlyAFilterTheServerCanApply) {
  Bytes create = request(id::CreateSubscriptionRequest, token);
  Encoder c(create);
  c.float64(500);
  c.uint32(30);
  c.uint32(10);
  c.uint32(0);
  c.boolean(true);
  c.byte(0);
  call(create);

  auto eventFilter = [](int clauses, int whereElements, bool truncate) {
    std::vector<std::uint8_t> body;
    Encoder f(body);
    f.arrayLength(clauses);
    for (int i = 0; i < clauses; ++i) {
      f.nodeId(NodeId::numericId(0, 2041));
      f.arrayLength(1);
      f.qualifiedName(QualifiedName{0, std::string("EventType")});
      f.uint32(13);
      f.string(UaString{});
    }
    f.arrayLength(whereElements);
    for (int i = 0; i < whereElements; ++i) {
      f.uint32(1);  // IsNull without its operand
      f.arrayLength(0);
    }
    if (truncate) body.resize(body.size() / 2);
    return ExtensionObject{NodeId::numericId(0, 727), 1, std::string(body.begin(), body.end())};
  };
  std::vector<std::uint8_t> dataChange;
  Encoder dc(dataChange);
  dc.uint32(1);
  dc.uint32(0);
  dc.float64(0);
  const struct {
    NodeId node;
    std::uint32_t attribute;
    ExtensionObject filter;
    StatusCode expected;
  } cases[] = {
      {NodeId::numericId(0, 2253), 12, ExtensionObject{}, 0x80470000u},                     // no filter
      {NodeId::numericId(0, 2253), 12, ExtensionObject{NodeId::numericId(0, 724), 1,
                                                       std::string(dataChange.begin(), dataChange.end())},
       0x80470000u},                                                                      // a DataChangeFilter
      {NodeId::numericId(0, 2253), 12, eventFilter(0, 0, false), 0x80470000u},              // selects nothing
      {NodeId::numericId(0, 2253), 12, eventFilter(2, 0, true), 0x80470000u},               // damaged
      {NodeId::numericId(0, 2253), 12, eventFilter(1, 1, false), 0x80470000u},              // a refused where clause
      {NodeId::stringId(1, "Demo.Int32"), 12, eventFilter(1, 0, false), 0x80350000u},       // a variable
      {NodeId::numericId(0, 2253), 12, eventFilter(1, 0, false), kGood},
  };
  for (const auto& k : cases) {
    Bytes items = request(id::CreateMonitoredItemsRequest, token);
    Encoder m(items);
    m.uint32(1);
    m.uint32(2);
    m.arrayLength(1);
    m.nodeId(k.node);
    m.uint32(k.attribute);
    m.string(UaString{});
    m.qualifiedName(QualifiedName{});
    m.uint32(2);
    m.uint32(5);
    m.float64(0);
    m.extensionObject(k.filter);
    m.uint32(10);
    m.boolean(true);
    const Bytes answer = afterHeader(call(items), id::CreateMonitoredItemsResponse);
    ASSERT_GE(answer.size(), 8u);
    const StatusCode status = answer[4] | (answer[5] << 8) | (answer[6] << 16) | (static_cast<StatusCode>(answer[7]) << 24);
    EXPECT_EQ(status, k.expected) << std::hex << k.expected;
  }
}

TEST_F(Services, ClosedSessionsLeaveSubscriptionsForATransfer) {
  const NodeId first = openSession();
  const std::uint32_t kept = createSubscription(first, 1000, 600, 10);
  const std::uint32_t brief = createSubscription(first, 50, 3, 1);  // lifetime 150 ms
  closeSession(first, false);
  const NodeId second = openSession();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  auto diagnostics = server->subscriptionDiagnostics();
  ASSERT_EQ(diagnostics.size(), 1u) << "the brief one is gone";
  EXPECT_TRUE(diagnostics[0].sessionId.isNull()) << "waiting for a transfer, it has no session";
  EXPECT_EQ(transfer(second, kept), kGood);
  EXPECT_EQ(transfer(second, brief), kBadSubscriptionIdInvalid) << "its lifetime ended unclaimed";
  diagnostics = server->subscriptionDiagnostics();
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].subscriptionId, kept);
  EXPECT_EQ(diagnostics[0].sessionId, server->diagnostics().sessions.back().sessionId);
  EXPECT_EQ(diagnostics[0].transferRequestCount, 1u);
  EXPECT_EQ(diagnostics[0].transferredToSameClientCount, 1u) << "a session of the same client took it";
  EXPECT_EQ(diagnostics[0].transferredToAltClientCount, 0u);

  closeSession(second, true);
  EXPECT_EQ(transfer(token, kept), kBadSubscriptionIdInvalid);
}

TEST_F(Services, ATransferNeverOverfillsASession) {
  ServerLimits limits;
  limits.maxSubscriptionsPerSession = 1;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", limits);
  const NodeId mine = openSession(), other = openSession();
  const std::uint32_t own = createSubscription(mine, 1000, 600, 10);
  const std::uint32_t theirs = createSubscription(other, 1000, 600, 10);
  EXPECT_EQ(transfer(mine, theirs), kBadTooManySubscriptions);
  EXPECT_EQ(transfer(mine, own), kGood) << "its own: nothing moves";
  EXPECT_EQ(transfer(other, theirs), kGood) << "the refused one stayed with its session";
}

// Each session has its own lock: a subscription passed back and forth between two sessions
// while both send Publish requests and the publishing thread serves them is always in one
// of them, keeps its items, and every Publish gets its answer.
TEST_F(Services, SubscriptionsMoveBetweenSessionsWhilePublishing) {
  const NodeId a = openSession(), b = openSession();
  const std::uint32_t sub = createSubscription(a, 50, 600, 1);
  ASSERT_EQ(monitor(a, sub, 5, 1, "Demo.Int32", 50).size(), 5u);
  struct Counts {
    std::atomic<int> sent{0}, answered{0};
  };
  auto counts = std::make_shared<Counts>();
  std::jthread publisher([&, counts](std::stop_token stop) {
    for (int i = 0; i < 300 && !stop.stop_requested(); ++i) {
      Bytes publish = request(id::PublishRequest, i % 2 == 0 ? a : b);
      Encoder(publish).arrayLength(0);
      counts->sent++;
      server->handle(channel, publish, [counts](Bytes) { counts->answered++; });
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 200; ++i) ASSERT_EQ(transfer(i % 2 == 0 ? b : a, sub), kGood) << "transfer " << i;
  publisher.join();
  EXPECT_EQ(transfer(a, sub), kGood);
  EXPECT_EQ(server->monitoredItemCount(), 5u);
  closeSession(a, true);
  closeSession(b, true);
  EXPECT_EQ(counts->answered.load(), counts->sent.load()) << "a closed session answers what it had waiting";
}

// Alarms as a client meets them: a condition the application reports arrives as an event
// of the Server object with its states; Acknowledge takes only the EventId of its last
// event and once; an inactive, acknowledged condition is retained no longer; a refresh
// frames the retained ones; a reader may not acknowledge.
class Alarms : public Services {
 protected:
  static constexpr std::uint32_t kTripType = 0x10001, kHandle = 5;
  Alarms() {
    ConditionTable& table = app->conditions();
    if (table.baseTypeOf(kTripType) == 0) table.declareType({kTripType, "TestTripAlarmType", 10751});
  }
  ~Alarms() override {
    for (const ConditionReport& r : app->conditions().active()) {
      ConditionReport quiet = r;
      quiet.active = false;
      app->conditions().report(quiet);
    }
  }
  static ConditionReport trip(const std::string& source, bool active) {
    return ConditionReport{source + "#Trip", source, "Trip", kTripType, active, 800, source + " tripped at 1502.3 V", {}};
  }
  // An event item on the Server object taking conditions only; its fields: EventId,
  // EventType, Message, Severity, Retain, AckedState/Id, ActiveState/Id, ConditionId.
  std::uint32_t watchAlarms(std::uint32_t sub, const NodeId& notifier = NodeId::numericId(0, 2253)) {
    std::vector<std::uint8_t> body;
    Encoder f(body);
    const std::vector<std::vector<std::string>> paths = {{"EventId"}, {"EventType"}, {"Message"}, {"Severity"},
                                                         {"Retain"}, {"AckedState", "Id"}, {"ActiveState", "Id"}, {}};
    f.arrayLength(static_cast<std::int32_t>(paths.size()));
    for (const auto& path : paths) {
      f.nodeId(NodeId::numericId(0, path.empty() ? 2782 : 2041));
      f.arrayLength(static_cast<std::int32_t>(path.size()));
      for (const auto& n : path) f.qualifiedName(QualifiedName{0, n});
      f.uint32(path.empty() ? 1 : 13);
      f.string(UaString{});
    }
    f.arrayLength(1);  // where: OfType ConditionType
    f.uint32(14);
    f.arrayLength(1);
    std::vector<std::uint8_t> literal;
    Encoder(literal).variant(ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 2782)));
    f.extensionObject(ExtensionObject{NodeId::numericId(0, 597), 1, std::string(literal.begin(), literal.end())});
    Bytes items = request(id::CreateMonitoredItemsRequest, token);
    Encoder m(items);
    m.uint32(sub);
    m.uint32(2);
    m.arrayLength(1);
    m.nodeId(notifier);
    m.uint32(12);  // EventNotifier
    m.string(UaString{});
    m.qualifiedName(QualifiedName{});
    m.uint32(2);
    m.uint32(kHandle);
    m.float64(0);
    m.extensionObject(ExtensionObject{NodeId::numericId(0, 727), 1, std::string(body.begin(), body.end())});
    m.uint32(100);
    m.boolean(true);
    const Bytes answer = afterHeader(call(items), id::CreateMonitoredItemsResponse);
    Decoder d(answer);
    d.arrayLength();
    return d.statusCode();
  }
  // The notifications of type typeId (916 events, 811 data changes) of the next Publish
  // that carries any (at most three tries), each decoded by take from its body.
  template <class T>
  std::vector<T> notifications(std::uint32_t typeId, const std::function<void(Decoder&, std::vector<T>&)>& take) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      Bytes publish = request(id::PublishRequest, token);
      Encoder(publish).arrayLength(0);
      const Bytes answer = afterHeader(call(publish), id::PublishResponse);
      Decoder d(answer);
      d.uint32();
      for (std::size_t n = d.arrayLength(); n > 0; --n) d.uint32();
      d.boolean();
      d.uint32();
      d.dateTime();
      std::vector<T> out;
      for (std::size_t n = d.arrayLength(); n > 0; --n) {
        const ExtensionObject data = d.extensionObject();
        if (!(data.typeId == NodeId::numericId(0, typeId))) continue;
        Decoder b(std::span(reinterpret_cast<const std::uint8_t*>(data.body.data()), data.body.size()));
        take(b, out);
        EXPECT_TRUE(b.ok());
      }
      if (!out.empty()) return out;
    }
    return {};
  }
  std::vector<std::vector<ua::Variant>> events() {
    return notifications<std::vector<ua::Variant>>(916, [](Decoder& b, std::vector<std::vector<ua::Variant>>& out) {
      for (std::size_t k = b.arrayLength(); k > 0; --k) {
        EXPECT_EQ(b.uint32(), kHandle);
        std::vector<ua::Variant> fields;
        for (std::size_t f = b.arrayLength(); f > 0; --f) fields.push_back(b.variant());
        out.push_back(std::move(fields));
      }
    });
  }
  // A method's status on a namespace-1 object.
  StatusCode method(const std::string& object, std::uint32_t methodId, const std::vector<ua::Variant>& args) {
    Bytes c = request(id::CallRequest, token);
    Encoder e(c);
    e.arrayLength(1);
    e.nodeId(NodeId::stringId(1, object));
    e.nodeId(NodeId::numericId(0, methodId));
    e.arrayLength(static_cast<std::int32_t>(args.size()));
    for (const auto& a : args) e.variant(a);
    const Bytes answer = afterHeader(call(c), id::CallResponse);
    Decoder d(answer);
    EXPECT_EQ(d.arrayLength(), 1u);
    return d.statusCode();
  }
  // Acknowledge (9111), AddComment (9029), Confirm (9113).
  StatusCode method(std::uint32_t methodId, const std::string& condition, const std::string& eventId) {
    return method(condition, methodId,
                  {ua::Variant::scalar(BuiltinType::ByteString, ByteStringValue{eventId}),
                   ua::Variant::scalar(BuiltinType::LocalizedText, LocalizedText{std::string("en"), std::string("seen")})});
  }
  StatusCode refresh(std::uint32_t sub) {
    Bytes c = request(id::CallRequest, token);
    Encoder e(c);
    e.arrayLength(1);
    e.nodeId(NodeId::numericId(0, 2782));
    e.nodeId(NodeId::numericId(0, 3875));
    e.arrayLength(1);
    e.variant(ua::Variant::scalar(BuiltinType::UInt32, sub));
    const Bytes answer = afterHeader(call(c), id::CallResponse);
    Decoder d(answer);
    EXPECT_EQ(d.arrayLength(), 1u);
    return d.statusCode();
  }
  static std::string eventIdOf(const std::vector<ua::Variant>& fields) {
    return std::get<ByteStringValue>(fields.at(0).values.front()).bytes.value_or("");
  }
  static bool flagOf(const ua::Variant& v) { return std::get<bool>(v.values.front()); }
  // One attribute of a namespace-1 node.
  ua::DataValue readOne(const std::string& id, std::uint32_t attribute) {
    Bytes r = request(id::ReadRequest, token);
    Encoder e(r);
    e.float64(0);
    e.uint32(3);
    e.arrayLength(1);
    e.nodeId(NodeId::stringId(1, id));
    e.uint32(attribute);
    e.string(UaString{});
    e.qualifiedName(QualifiedName{});
    const Bytes answer = afterHeader(call(r), id::ReadResponse);
    Decoder d(answer);
    EXPECT_EQ(d.arrayLength(), 1u);
    return d.dataValue();
  }
  struct Ref {
    std::uint32_t type;
    bool forward;
    NodeId target;
    std::string name;
  };
  // A Value item (handle kValueHandle) on a namespace-1 node, sampled every 20 ms.
  static constexpr std::uint32_t kValueHandle = 9;
  StatusCode monitorValue(std::uint32_t sub, const std::string& id) {
    Bytes items = request(id::CreateMonitoredItemsRequest, token);
    Encoder m(items);
    m.uint32(sub);
    m.uint32(2);
    m.arrayLength(1);
    m.nodeId(NodeId::stringId(1, id));
    m.uint32(13);
    m.string(UaString{});
    m.qualifiedName(QualifiedName{});
    m.uint32(2);
    m.uint32(kValueHandle);
    m.float64(20);
    m.extensionObject(ExtensionObject{});
    m.uint32(10);
    m.boolean(true);
    const Bytes answer = afterHeader(call(items), id::CreateMonitoredItemsResponse);
    Decoder d(answer);
    d.arrayLength();
    return d.statusCode();
  }
  std::vector<ua::DataValue> values() {
    return notifications<ua::DataValue>(811, [](Decoder& b, std::vector<ua::DataValue>& out) {
      for (std::size_t k = b.arrayLength(); k > 0; --k) {
        EXPECT_EQ(b.uint32(), kValueHandle);
        out.push_back(b.dataValue());
      }
    });
  }
  // Every reference of a namespace-1 node in one direction (0 forward, 1 inverse).
  std::vector<Ref> browseOne(const std::string& id, std::uint32_t direction) {
    Bytes browse = request(id::BrowseRequest, token);
    Encoder b(browse);
    b.nodeId(NodeId{});
    b.dateTime(0);
    b.uint32(0);
    b.uint32(0);
    b.arrayLength(1);
    b.nodeId(NodeId::stringId(1, id));
    b.uint32(direction);
    b.nodeId(NodeId{});  // every reference type
    b.boolean(true);
    b.uint32(0);
    b.uint32(0x3F);
    const Bytes answer = afterHeader(call(browse), id::BrowseResponse);
    Decoder d(answer);
    EXPECT_EQ(d.arrayLength(), 1u);
    EXPECT_EQ(d.statusCode(), kGood) << id;
    d.byteString();
    std::vector<Ref> out;
    for (std::size_t n = d.arrayLength(); n > 0 && d.ok(); --n) {
      Ref r;
      r.type = d.nodeId().numeric;
      r.forward = d.boolean();
      r.target = d.expandedNodeId().nodeId;
      r.name = d.qualifiedName().name.value_or("");
      d.localizedText();
      d.uint32();
      d.expandedNodeId();
      out.push_back(std::move(r));
    }
    EXPECT_TRUE(d.ok());
    return out;
  }
};

TEST_F(Alarms, AConditionIsANodeOfItsSourceWithTheStateOfItsLastEvent) {
  static constexpr ConditionClass kTrip[] = {{"Trip", kTripType, 800}};
  app->conditions().setSourceConditions([](std::string_view source) {
    return source == "Demo" ? std::span<const ConditionClass>(kTrip) : std::span<const ConditionClass>();
  });
  const std::string cond = "Demo#Trip";
  const auto targets = [](const std::vector<Ref>& refs) {
    std::vector<std::string> out;
    for (const Ref& r : refs) out.push_back(std::to_string(r.type) + " " + r.target.text + " " + r.name);
    return out;
  };
  const auto has = [](const std::vector<std::string>& all, const std::string& one) {
    return std::find(all.begin(), all.end(), one) != all.end();
  };
  EXPECT_TRUE(has(targets(browseOne("Demo", 0)), "47 Demo#Trip Trip")) << "HasComponent";
  EXPECT_TRUE(has(targets(browseOne(cond, 1)), "47 Demo Demo"));
  const std::vector<std::string> members = targets(browseOne(cond, 0));
  EXPECT_TRUE(has(members, "47 " + cond + ".ActiveState ActiveState"));
  EXPECT_TRUE(has(members, "46 " + cond + ".Retain Retain"));
  EXPECT_TRUE(has(targets(browseOne(cond + ".ActiveState", 0)), "46 " + cond + ".ActiveState.Id Id"));
  EXPECT_TRUE(has(targets(browseOne(cond + ".ActiveState.Id", 1)), "46 " + cond + ".ActiveState ActiveState"));

  const auto value = [&](const std::string& member) { return readOne(cond + "." + member, 13).value.value_or(ua::Variant{}); };
  // Quiet, it shows what every quiet condition shows.
  EXPECT_EQ(std::get<std::int32_t>(readOne(cond, 2).value->values.front()), 1) << "an Object";
  EXPECT_EQ(std::get<std::int32_t>(readOne(cond + ".ActiveState.Id", 2).value->values.front()), 2) << "a Variable";
  EXPECT_FALSE(flagOf(value("ActiveState.Id")));
  EXPECT_TRUE(flagOf(value("AckedState.Id")));
  EXPECT_FALSE(flagOf(value("Retain")));
  EXPECT_EQ(std::get<std::uint16_t>(value("Severity").values.front()), 800);
  // A SCADA that knows no alarms watches the state as a tag.
  const std::uint32_t sub = createSubscription(token, 20, 600, 10);
  ASSERT_EQ(monitorValue(sub, cond + ".ActiveState.Id"), kGood);
  EXPECT_EQ(monitorValue(sub, cond), kBadAttributeIdInvalid) << "the condition is an object";
  EXPECT_EQ(monitorValue(sub, cond + ".Nope"), kBadNodeIdUnknown);
  std::vector<ua::DataValue> seen = values();
  ASSERT_FALSE(seen.empty());
  EXPECT_FALSE(flagOf(*seen.front().value));
  app->conditions().report(trip("Demo", true));
  seen = values();
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(flagOf(*seen.back().value)) << "sampled again: the alarm is active";
  EXPECT_TRUE(flagOf(value("ActiveState.Id")));
  EXPECT_FALSE(flagOf(value("AckedState.Id")));
  EXPECT_TRUE(flagOf(value("Retain")));
  EXPECT_EQ(std::get<Boxed<LocalizedText>>(value("Message").values.front())->text.value_or(""),
            "Demo tripped at 1502.3 V");
  EXPECT_EQ(readOne(cond + ".ShelvingState", 13).status.value_or(kGood), kBadAttributeIdInvalid) << "an object has no value";
  for (const char* unknown : {"Demo#Nope", "Demo#Trip.Nope", "Demo.Int32#Trip", "#Trip"}) {
    EXPECT_EQ(readOne(unknown, 1).status.value_or(kGood), kBadNodeIdUnknown) << unknown;
  }
}

TEST_F(Alarms, NewItemsInitialValuesGoOutWithoutWaitingForThePublishingInterval) {
  static constexpr ConditionClass kTrip[] = {{"Trip", kTripType, 800}};
  app->conditions().setSourceConditions([](std::string_view source) {
    return source == "Demo" ? std::span<const ConditionClass>(kTrip) : std::span<const ConditionClass>();
  });
  // Ten minutes between publishings: the first one (a keep-alive) is at once.
  const std::uint32_t sub = createSubscription(token, 600000, 30, 10);
  ASSERT_NE(sub, 0u);
  Bytes keepAlive = request(id::PublishRequest, token);
  Encoder(keepAlive).arrayLength(0);
  afterHeader(call(keepAlive), id::PublishResponse);
  ASSERT_EQ(monitorValue(sub, "Demo#Trip.ActiveState.Id"), kGood);
  const std::vector<ua::DataValue> seen = values();  // each Publish waits 5 s at most
  ASSERT_EQ(seen.size(), 1u) << "the item's initial value, with the next Publish";
  EXPECT_FALSE(flagOf(*seen.front().value));
}

TEST_F(Alarms, AConditionIsRaisedAcknowledgedAndLetGo) {
  const std::uint32_t sub = createSubscription(token, 50, 600, 10);
  ASSERT_EQ(watchAlarms(sub), kGood);
  app->conditions().report(trip("Demo.Folder", true));
  auto got = events();
  ASSERT_EQ(got.size(), 1u);
  auto fields = got[0];
  ASSERT_EQ(fields.size(), 8u);
  EXPECT_EQ(fields[1], ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(1, kTripType))) << "its own type";
  EXPECT_EQ(std::get<Boxed<LocalizedText>>(fields[2].values.front())->text, "Demo.Folder tripped at 1502.3 V");
  EXPECT_EQ(fields[3], ua::Variant::scalar(BuiltinType::UInt16, std::uint16_t{800}));
  EXPECT_TRUE(flagOf(fields[4])) << "retained";
  EXPECT_FALSE(flagOf(fields[5])) << "not acknowledged";
  EXPECT_TRUE(flagOf(fields[6])) << "active";
  EXPECT_EQ(fields[7], ua::Variant::scalar(BuiltinType::NodeId, NodeId::stringId(1, "Demo.Folder#Trip")));
  app->conditions().report(trip("Demo.Folder", true));
  EXPECT_EQ(method(9111, "Demo.Folder#Trip", "not its event"), 0x809A0000u) << "BadEventIdUnknown";
  EXPECT_EQ(method(9111, "Demo.Folder#Trip", eventIdOf(fields)), kGood);
  got = events();
  ASSERT_EQ(got.size(), 1u) << "a report that changes nothing raises nothing";
  EXPECT_TRUE(flagOf(got[0][5])) << "acknowledged";
  EXPECT_TRUE(flagOf(got[0][4])) << "still active, so still retained";
  EXPECT_EQ(method(9111, "Demo.Folder#Trip", eventIdOf(got[0])), 0x80CF0000u) << "BadConditionBranchAlreadyAcked";
  EXPECT_EQ(method(9029, "Demo.Folder#Trip", eventIdOf(got[0])), kGood) << "a comment may follow";
  ASSERT_EQ(events().size(), 1u);
  app->conditions().report(trip("Demo.Folder", false));
  got = events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(flagOf(got[0][6])) << "inactive";
  EXPECT_FALSE(flagOf(got[0][4])) << "inactive and acknowledged: no longer retained";
  EXPECT_EQ(method(9111, "Demo.Folder#Trip", eventIdOf(got[0])), kBadNodeIdUnknown);
  EXPECT_EQ(method(9111, "Demo.Folder", eventIdOf(got[0])), kBadMethodInvalid) << "not a condition";
}

// A branch is an event notifier for what is under it: its item takes the alarms of its
// own subtree, and its refresh frames only those.
TEST_F(Alarms, ABranchNotifiesTheAlarmsUnderIt) {
  const std::uint32_t sub = createSubscription(token, 50, 600, 10);
  ASSERT_EQ(watchAlarms(sub, NodeId::stringId(1, "Demo")), kGood);
  app->conditions().report(trip("Elsewhere", true));
  app->conditions().report(trip("DemoX", true));     // a sibling whose name it begins
  app->conditions().report(trip("Demo.Sub", true));  // under it
  auto got = events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][7], ua::Variant::scalar(BuiltinType::NodeId, NodeId::stringId(1, "Demo.Sub#Trip")));
  ASSERT_EQ(refresh(sub), kGood);
  got = events();
  ASSERT_EQ(got.size(), 3u) << "start, its one retained alarm, end";
  EXPECT_EQ(got[1][7], ua::Variant::scalar(BuiltinType::NodeId, NodeId::stringId(1, "Demo.Sub#Trip")));
}

// Set aside by an admin: a shelved alarm raises no event until its shelf ends (its time,
// an Unshelve, or for a one-shot shelf its return to normal); a disabled one says so once
// and is quiet until enabled, when it shows its state.
TEST_F(Alarms, AShelvedOrDisabledAlarmIsQuietUntilBack) {
  constexpr std::uint32_t kUnshelve = 2947, kOneShot = 2948, kTimed = 2949, kEnable = 9027, kDisable = 9028;
  const std::string id = "Demo.Folder#Trip";
  const auto ms = [](double v) { return std::vector<ua::Variant>{ua::Variant::scalar(BuiltinType::Double, v)}; };
  const std::uint32_t sub = createSubscription(token, 50, 600, 10);
  ASSERT_EQ(watchAlarms(sub), kGood);
  ConditionReport r = trip("Demo.Folder", true);
  app->conditions().report(r);
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(method(id + ".ShelvingState", kUnshelve, {}), 0x80D20000u) << "BadConditionNotShelved";
  EXPECT_EQ(method(id + ".ShelvingState", kTimed, ms(0)), 0x80D30000u) << "BadShelvingTimeOutOfRange";
  ASSERT_EQ(method(id + ".ShelvingState", kTimed, ms(300)), kGood);
  ASSERT_EQ(events().size(), 1u) << "the shelving itself";
  EXPECT_EQ(method(id, kOneShot, {}), 0x80D10000u) << "BadConditionAlreadyShelved";
  r.severity = 950;
  app->conditions().report(r);  // news, but shelved: no event
  const auto back = events();   // the shelf's end, from the publishing thread
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0][3], ua::Variant::scalar(BuiltinType::UInt16, std::uint16_t{950})) << "its state as it is now";

  ASSERT_EQ(method(id, kOneShot, {}), kGood);
  ASSERT_EQ(events().size(), 1u);
  app->conditions().report(trip("Demo.Folder", false));
  auto got = events();
  ASSERT_EQ(got.size(), 1u) << "back to normal ends a one-shot shelf";
  EXPECT_FALSE(flagOf(got[0][6]));
  EXPECT_TRUE(flagOf(got[0][4])) << "not yet acknowledged";

  ASSERT_EQ(method(id, kDisable, {}), kGood);
  got = events();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(flagOf(got[0][4])) << "a disabled condition is not retained";
  EXPECT_EQ(method(id, kDisable, {}), 0x80980000u) << "BadConditionAlreadyDisabled";
  EXPECT_EQ(method(9111, id, eventIdOf(got[0])), 0x80990000u) << "BadConditionDisabled";
  app->conditions().report(trip("Demo.Folder", true));
  ASSERT_EQ(method(id, kEnable, {}), kGood);
  got = events();
  ASSERT_EQ(got.size(), 1u) << "nothing while disabled, its state when enabled";
  EXPECT_TRUE(flagOf(got[0][6]));
  EXPECT_EQ(method(id, kEnable, {}), 0x80CC0000u) << "BadConditionAlreadyEnabled";
}

TEST_F(Alarms, ARefreshFramesTheRetainedAndAReaderMayNotAcknowledge) {
  const std::uint32_t sub = createSubscription(token, 50, 600, 10);
  ASSERT_EQ(watchAlarms(sub), kGood);
  app->conditions().report(trip("Demo.Folder", true));
  app->conditions().report(trip("Demo.Folder.Inner", true));
  ASSERT_EQ(events().size(), 2u);
  app->conditions().report(trip("Demo.Folder.Inner", false));  // unacknowledged: still retained
  ASSERT_EQ(events().size(), 1u);
  ASSERT_EQ(refresh(sub), kGood);
  const auto got = events();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0][1], ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 2787))) << "RefreshStart first";
  EXPECT_EQ(got[3][1], ua::Variant::scalar(BuiltinType::NodeId, NodeId::numericId(0, 2788))) << "RefreshEnd last";
  EXPECT_EQ(got[0][7].type, BuiltinType::Null) << "a frame is no condition";
  EXPECT_EQ(refresh(sub + 100), kBadSubscriptionIdInvalid);
  // The same retained condition from a session whose users may only read.
  const std::string eventId = eventIdOf(got[1]);
  server.reset();
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", ServerLimits{},
                                      std::make_shared<SecurityConfiguration>(SecuritySettings{{}, true, true, Role::Reader},
                                                                              nullptr, nullptr));
  token = openSession();
  EXPECT_EQ(method(9111, "Demo.Folder#Trip", eventId), 0x801F0000u) << "BadUserAccessDenied";
  EXPECT_EQ(method("Demo.Folder#Trip", 9028, {}), 0x801F0000u) << "nor disable";
}

TEST_F(Services, FindServersHonoursTheServerUriFilter) {
  auto find = [&](std::vector<std::string> uris) {
    Bytes f = request(id::FindServersRequest, NodeId{});
    Encoder e(f);
    e.string(UaString{});  // endpoint url
    e.arrayLength(0);      // locale ids
    e.arrayLength(static_cast<std::int32_t>(uris.size()));
    for (const auto& u : uris) e.string(u);
    return afterHeader(call(f), id::FindServersResponse);
  };
  const Bytes all = find({});
  ASSERT_GE(all.size(), 8u);
  EXPECT_EQ(all[0], 1) << "one server, this one";
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length |= std::uint32_t{all[4 + i]} << (8 * i);
  ASSERT_GE(all.size(), 8u + length);
  const std::string self(all.begin() + 8, all.begin() + 8 + length);
  EXPECT_EQ(self.rfind("urn:", 0), 0u) << self;

  EXPECT_EQ(find({"urn:somebody-else"}), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(find({"urn:somebody-else", self})[0], 1);
}

// Sessions: a time-out is revised into 10 s .. 10 min; at the limit the oldest session
// that was never activated gives way, and only when every session is active is a new one
// refused.
TEST_F(Services, SessionLimitsReviseTimeoutsAndMakeRoom) {
  ServerLimits limits;
  limits.maxSessions = 3;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", limits);
  openSession();
  const auto [older, hour] = createSession(3600000);
  EXPECT_EQ(hour, 600000) << "an hour asked, ten minutes granted";
  const auto [newer, brief] = createSession(1);
  EXPECT_EQ(brief, 10000);
  const auto [third, ignored] = createSession(60000);
  ASSERT_FALSE(third.isNull()) << "the oldest never-activated session made room";
  EXPECT_EQ(activateSession(older), 0x80250000u) << "BadSessionIdInvalid: it is gone";
  EXPECT_EQ(activateSession(newer), kGood);
  EXPECT_EQ(activateSession(third), kGood);
  EXPECT_TRUE(createSession(60000).first.isNull()) << "every session is active: no room";
}

// A session nobody uses ends at its time-out, with no request to notice it and long
// before the client check period (30 s); one in use lives on.
TEST_F(Services, AnIdleSessionEndsAtItsDeadlineWithoutAnyRequest) {
  ServerLimits limits;
  limits.minSessionTimeoutMs = 200;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", limits);
  const NodeId busy = openSession();
  const auto [idle, granted] = createSession(200);
  ASSERT_EQ(granted, 200);
  ASSERT_EQ(activateSession(idle), kGood);
  ASSERT_EQ(server->sessionCount(), 2u);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server->sessionCount() == 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(server->sessionCount(), 1u) << "the idle session is gone";
  EXPECT_EQ(activateSession(busy), kGood) << "the one made with a minute's time-out is not";
}

// Monitored items are bounded per subscription, session and server, and queues are
// revised down to the maximum.
TEST_F(Services, MonitoredItemTotalsAndQueueSizesAreBounded) {
  ServerLimits limits;
  limits.maxMonitoredItemsPerSubscription = 3;
  limits.maxMonitoredItemsPerSession = 4;
  limits.maxMonitoredItems = 6;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", limits);
  const NodeId first = openSession(), second = openSession();
  const std::uint32_t a = createSubscription(first, 1000, 600, 10), b = createSubscription(first, 1000, 600, 10);
  const std::uint32_t c = createSubscription(second, 1000, 600, 10);
  auto statuses = [](const std::vector<Made>& r) {
    std::vector<StatusCode> s;
    for (const Made& made : r) s.push_back(made.status);
    return s;
  };
  const auto big = monitor(first, a, 4, 100000);
  EXPECT_EQ(statuses(big), (std::vector<StatusCode>{kGood, kGood, kGood, kBadTooManyMonitoredItems})) << "per subscription";
  EXPECT_EQ(big[0].queue, 100u) << "queue size revised down";
  EXPECT_EQ(statuses(monitor(first, b, 2, 1)), (std::vector<StatusCode>{kGood, kBadTooManyMonitoredItems})) << "per session";
  EXPECT_EQ(statuses(monitor(second, c, 3, 1)), (std::vector<StatusCode>{kGood, kGood, kBadTooManyMonitoredItems}))
      << "per server";
  EXPECT_EQ(server->monitoredItemCount(), 6u);
}

// One client address takes at most its share of the sessions; its own never-activated
// sessions give way first, and other addresses still find room.
TEST_F(Services, OneAddressTakesOnlyItsShareOfSessions) {
  ServerLimits limits;
  limits.maxSessionsPerAddress = 2;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", limits);
  server->channelOpened(1, "192.0.2.1", nullptr);
  openSession();
  const NodeId idle = createSession(60000).first;
  const NodeId next = createSession(60000).first;
  ASSERT_FALSE(next.isNull()) << "its idle session gave way";
  EXPECT_NE(activateSession(idle), kGood);
  EXPECT_EQ(activateSession(next), kGood);
  EXPECT_TRUE(createSession(60000).first.isNull()) << "the address has its two active sessions";
  channel = 2;
  server->channelOpened(2, "192.0.2.2", nullptr);
  EXPECT_FALSE(createSession(60000).first.isNull()) << "another address has room";
}

// Sampling intervals are revised to the fastest the item can honestly be sampled: the
// server's floor, or a polled item's device read time when that is longer.
TEST_F(Services, SamplingIsRevisedToTheFastestHonestRate) {
  auto polled = std::make_shared<DaAddressSpaceElement>("", "Slow", kReadable, kIoPoll, VT_I4);
  app->getDaAddressSpaceRoot()->findElement("Demo")->addChild(polled);
  polled->noteReadTime(std::chrono::milliseconds(120));
  const std::uint32_t sub = createSubscription(token, 400, 600, 10);
  EXPECT_EQ(monitor(token, sub, 1, 1, "Demo.Slow", 20)[0].sampling, 120) << "no faster than its device answers";
  EXPECT_EQ(monitor(token, sub, 1, 1, "Demo.Slow", 300)[0].sampling, 300) << "slower is taken as asked";
  EXPECT_EQ(monitor(token, sub, 1, 1, "Demo.Slow", -1)[0].sampling, 400) << "negative: the publishing interval";
  EXPECT_EQ(monitor(token, sub, 1, 1, "Demo.Int32", 0)[0].sampling, 50) << "a reported item: the server's floor";

  Bytes read = request(id::ReadRequest, token);
  Encoder r(read);
  r.float64(0);
  r.uint32(3);
  r.arrayLength(1);
  r.nodeId(NodeId::stringId(1, "Demo.Slow"));
  r.uint32(19);  // MinimumSamplingInterval
  r.string(UaString{});
  r.qualifiedName(QualifiedName{});
  const Bytes answer = afterHeader(call(read), id::ReadResponse);
  Decoder d(answer);
  ASSERT_EQ(d.arrayLength(), 1u);
  const DataValue v = d.dataValue();
  ASSERT_TRUE(v.value.has_value());
  EXPECT_EQ(std::get<double>(v.value->values.front()), 120.0) << "the attribute states the same rate";
}

}  // namespace

namespace {

// A session's token opens nothing on another channel until the session is activated there
// (a client that reconnected); then the old channel is the other one.
TEST_F(Services, ASessionAnswersOnlyOnTheChannelThatActivatedIt) {
  auto readOn = [&](std::uint32_t on) {
    channel = on;
    Bytes r = request(id::ReadRequest, token);
    Encoder e(r);
    e.float64(60000);
    e.uint32(3);
    e.arrayLength(1);
    e.nodeId(NodeId::stringId(1, "Demo.Int32"));
    e.uint32(13);
    e.string(UaString{});
    e.qualifiedName(QualifiedName{});
    return status(call(r));
  };
  EXPECT_EQ(readOn(1), kGood);
  EXPECT_EQ(readOn(2), kBadSecureChannelIdInvalid);
  channel = 2;
  ASSERT_EQ(activateSession(token), kGood);
  EXPECT_EQ(readOn(2), kGood);
  EXPECT_EQ(readOn(1), kBadSecureChannelIdInvalid);
}

TEST_F(Services, EveryServiceGoesThroughOnePrologue) {
  // Zero bytes decode as empty lists, zero numbers and null ids: a well-formed request of
  // every type that asks for nothing.
  auto ask = [&](std::uint32_t type, const NodeId& auth, std::size_t ids = 0) {
    Bytes r = request(type, auth);
    if (type == id::DeleteMonitoredItemsRequest) {
      Encoder e(r);
      e.uint32(1);
      e.arrayLength(static_cast<std::int32_t>(ids));
      for (std::size_t i = 0; i < ids; ++i) e.uint32(static_cast<std::uint32_t>(i));
    }
    r.resize(r.size() + 64, 0);
    return status(call(r));
  };
  const std::uint32_t withOperations[] = {
      id::ReadRequest, id::WriteRequest, id::BrowseRequest, id::BrowseNextRequest, id::TranslateBrowsePathsRequest,
      id::RegisterNodesRequest, id::UnregisterNodesRequest, id::CallRequest, id::SetPublishingModeRequest,
      id::DeleteSubscriptionsRequest, id::TransferSubscriptionsRequest, id::CreateMonitoredItemsRequest,
      id::ModifyMonitoredItemsRequest, id::DeleteMonitoredItemsRequest, id::SetMonitoringModeRequest};
  const std::uint32_t withoutOperations[] = {id::CreateSubscriptionRequest, id::ModifySubscriptionRequest,
                                             id::PublishRequest, id::RepublishRequest, id::ActivateSessionRequest,
                                             id::CloseSessionRequest};
  NodeId stranger;
  stranger.ns = 1;
  stranger.kind = NodeId::Kind::Opaque;
  stranger.text = std::string(16, 'x');
  for (std::uint32_t type : withOperations) {
    EXPECT_EQ(ask(type, stranger), kBadSessionIdInvalid) << type;
    EXPECT_EQ(ask(type, token), kBadNothingToDo) << type;
  }
  for (std::uint32_t type : withoutOperations) EXPECT_EQ(ask(type, stranger), kBadSessionIdInvalid) << type;
  EXPECT_EQ(ask(id::GetEndpointsRequest, stranger), kGood) << "discovery needs no session";
  EXPECT_EQ(ask(999, token), kBadServiceUnsupported);

  // The limit of a service's operations, before any of them is done.
  ServerLimits small;
  small.maxMonitoredItemsPerCall = 2;
  server = std::make_unique<UaServer>(*app, "opc.tcp://127.0.0.1:4840", small);
  token = openSession();
  EXPECT_EQ(ask(id::DeleteMonitoredItemsRequest, token, 3), kBadTooManyOperations);
  EXPECT_EQ(ask(id::DeleteMonitoredItemsRequest, token, 2), kBadSubscriptionIdInvalid) << "within it, the service runs";
}

TEST_F(Services, APublishForALateSubscriptionIsAnsweredAtOnce) {
  // Its first interval begins at once and passes with a keep-alive due and no Publish
  // waiting; the Publish that comes later is answered then, not an interval later.
  const std::uint32_t sub = createSubscription(token, 600000, 30, 10);
  ASSERT_NE(sub, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Bytes publish = request(id::PublishRequest, token);
  Encoder(publish).arrayLength(0);
  // Not call(): a Publish left waiting must not hold the test for the whole interval.
  auto answered = std::make_shared<std::promise<Bytes>>();
  auto done = answered->get_future();
  server->handle(channel, publish, [answered](Bytes b) { answered->set_value(std::move(b)); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const Bytes answer = afterHeader(done.get(), id::PublishResponse);
  Decoder d(answer);
  EXPECT_EQ(d.uint32(), sub);
}

}  // namespace
