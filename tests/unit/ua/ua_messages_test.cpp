// The service messages against real bytes: a session that node-opcua's client ran
// (recorded from the interop tests) decodes message by message, every field read to its end;
// and the fixed parts of answers have their exact bytes.

#include <gtest/gtest.h>

#include <set>

#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/services/ua_endpoint_descriptions.h"
#include "recorded_session.h"
#include "opctoolbox/ua/security/ua_security.h"
#include "opctoolbox/ua/services/ua_subscription.h"
#include "opctoolbox/ua/channel/ua_transport.h"

namespace {

using namespace OpcToolbox::ua;
using Bytes = std::vector<std::uint8_t>;


TEST(UaMessages, RealClientSessionDecodesWhole) {
  const Bytes wire = recordedSession();
  ASSERT_FALSE(wire.empty());
  std::span<const std::uint8_t> rest(wire);
  std::set<std::uint32_t> seen;
  while (rest.size() >= kHeaderSize) {
    MessageHeader h;
    ASSERT_EQ(parseHeader(rest, 1u << 20, h), kGood);
    const auto message = rest.first(h.size);
    rest = rest.subspan(h.size);
    if (h.type == MessageType::Hello) {
      Hello hello;
      ASSERT_EQ(decodeHello(message.subspan(kHeaderSize), hello), kGood);
      EXPECT_EQ(hello.endpointUrl.rfind("opc.tcp://127.0.0.1:", 0), 0u);
      continue;
    }
    if (h.type == MessageType::Close) continue;
    Chunk c;
    ASSERT_EQ(parseChunk(message, h, c), kGood);
    ASSERT_EQ(h.chunk, 'F') << "the recorded requests are single chunks";
    Decoder d(c.body);
    const NodeId type = d.nodeId();
    seen.insert(type.numeric);
    switch (type.numeric) {
      case id::OpenSecureChannelRequest: {
        const auto r = decodeOpenSecureChannelRequest(d);
        EXPECT_EQ(r.securityMode, 1u);
        EXPECT_EQ(c.asymmetric.policyUri.value_or(""), kSecurityPolicyNone);
        break;
      }
      case id::GetEndpointsRequest: decodeGetEndpointsRequest(d); break;
      case id::CreateSessionRequest: {
        const auto r = decodeCreateSessionRequest(d);
        EXPECT_GT(r.requestedTimeout, 0);
        EXPECT_FALSE(r.sessionName.empty());
        break;
      }
      case id::ActivateSessionRequest: {
        const auto r = decodeActivateSessionRequest(d);
        EXPECT_EQ(r.identityTokenType, NodeId::numericId(0, id::AnonymousIdentityToken));
        break;
      }
      case id::ReadRequest: {
        const auto r = decodeReadRequest(d);
        ASSERT_FALSE(r.nodes.empty());
        EXPECT_EQ(r.nodes[0].nodeId.toNodeId(), NodeId::stringId(1, "Demo.Float"));
        break;
      }
      case id::BrowseRequest: EXPECT_EQ(decodeBrowseRequest(d).nodes.size(), 1u); break;
      case id::WriteRequest: {
        const auto r = decodeWriteRequest(d);
        ASSERT_EQ(r.nodes.size(), 1u);
        EXPECT_EQ(r.nodes[0].value.value->type, BuiltinType::Int32);
        break;
      }
      case id::CloseSessionRequest:
        decodeRequestHeader(d);
        d.boolean();
        break;
      default: ADD_FAILURE() << "unexpected message " << type.numeric;
    }
    EXPECT_TRUE(d.ok()) << type.numeric;
    EXPECT_EQ(d.remaining(), 0u) << "message " << type.numeric << " read to its end";
  }
  EXPECT_EQ(seen, (std::set<std::uint32_t>{id::OpenSecureChannelRequest, id::GetEndpointsRequest,
                                           id::CreateSessionRequest, id::ActivateSessionRequest, id::ReadRequest,
                                           id::BrowseRequest, id::WriteRequest, id::CloseSessionRequest}));
}

TEST(UaMessages, ServiceFaultBytes) {
  const Bytes fault = encodeServiceFault(7, kBadServiceUnsupported);
  // Type id 397 (four-byte form), then the header after its 8-byte timestamp.
  EXPECT_EQ(Bytes(fault.begin(), fault.begin() + 4), (Bytes{0x01, 0x00, 0x8D, 0x01}));
  EXPECT_EQ(Bytes(fault.begin() + 12, fault.end()),
            (Bytes{7, 0, 0, 0, 0x00, 0x00, 0x0B, 0x80, 0x00, 0, 0, 0, 0, 0x00, 0x00, 0x00}));
}

// A String as the binary encoding writes it: Int32 length, then the bytes.
void putString(Bytes& b, const std::string& s) {
  const auto n = static_cast<std::uint32_t>(s.size());
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  b.insert(b.end(), s.begin(), s.end());
}
void putNull(Bytes& b) { b.insert(b.end(), {0xFF, 0xFF, 0xFF, 0xFF}); }
void putUInt32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

TEST(UaMessages, EndpointDescriptionBytes) {
  const std::string url = "opc.tcp://127.0.0.1:4840";
  Bytes out;
  Encoder e(out);
  encodeEndpointDescriptions(e, url, ServerIdentity{"urn:app", "urn:product", "HV server"},
                             SecurityConfiguration::noneAnonymous());
  Bytes expected;
  putUInt32(expected, 1);                     // one endpoint
  putString(expected, url);                   // endpointUrl
  putString(expected, "urn:app");             // server.applicationUri
  putString(expected, "urn:product");         // server.productUri
  expected.push_back(0x02);                   // applicationName: text only
  putString(expected, "HV server");
  putUInt32(expected, 0);                     // applicationType: Server
  putNull(expected);                          // gatewayServerUri
  putNull(expected);                          // discoveryProfileUri
  putUInt32(expected, 1);                     // discoveryUrls: one
  putString(expected, url);
  putNull(expected);                          // serverCertificate: none with policy None
  putUInt32(expected, 1);                     // securityMode: None
  putString(expected, "http://opcfoundation.org/UA/SecurityPolicy#None");
  putUInt32(expected, 1);                     // userIdentityTokens: one
  putString(expected, "anonymous");           //   policyId
  putUInt32(expected, 0);                     //   tokenType: Anonymous
  putNull(expected);                          //   issuedTokenType
  putNull(expected);                          //   issuerEndpointUrl
  putNull(expected);                          //   securityPolicyUri
  putString(expected, "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary");
  expected.push_back(0);                      // securityLevel
  EXPECT_EQ(out, expected);
}

TEST(UaMessages, NotificationMessageBytes) {
  // One data change: client handle 5, Float 1.5, Good (status omitted), a source timestamp.
  DataValue v{Variant::scalar(BuiltinType::Float, 1.5f), kGood, 0x0102030405060708, std::nullopt};
  const Bytes message = encodeNotificationMessage(9, {{5u, v}});
  EXPECT_EQ(Bytes(message.begin(), message.begin() + 4), (Bytes{9, 0, 0, 0})) << "sequence number";
  // After the publish time: one ExtensionObject, DataChangeNotification (811), binary body.
  const Bytes expected{
      1, 0, 0, 0,                                      // NotificationData: one
      0x01, 0x00, 0x2B, 0x03,                          // type id 811, four-byte form
      0x01,                                            // body is binary
      26, 0, 0, 0,                                     // body length
      1, 0, 0, 0,                                      // MonitoredItems: one
      5, 0, 0, 0,                                      // client handle
      0x05,                                            // DataValue mask: value, source timestamp
      10, 0x00, 0x00, 0xC0, 0x3F,                      // Variant Float 1.5
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // source timestamp
      0, 0, 0, 0,                                      // DiagnosticInfos: none
  };
  EXPECT_EQ(Bytes(message.begin() + 12, message.end()), expected);

  const Bytes keepAlive = encodeNotificationMessage(10, {});
  EXPECT_EQ(Bytes(keepAlive.begin() + 12, keepAlive.end()), (Bytes{0, 0, 0, 0})) << "a keep-alive carries nothing";
}

}  // namespace
