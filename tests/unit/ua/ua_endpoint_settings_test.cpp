// The endpoint settings file: what an operator writes takes effect; what is wrong is
// refused whole, with the line and the reason, and nothing of it takes effect.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "opctoolbox/ua/settings/ua_endpoint_settings.h"

namespace {

using namespace OpcToolbox::ua;

TEST(EndpointSettings, KeysTakeEffectAndDefaultsStay) {
  EndpointOptions o;
  const std::string text =
      "# limits for the plant network\n"
      "maxConnections = 50\r\n"
      "  helloTimeoutMs=2000   # slow links\n"
      "\n"
      "host = 127.0.0.1\n"
      "maxMonitoredItems = 5000\n"
      "minSamplingIntervalMs = 20\n"
      "maxConnections = 60\n"  // the last one holds
      "discoveryServerUrl = opc.tcp://localhost/UADiscovery\n"
      "discoveryRetryIntervalMs = 5000\n";
  ASSERT_EQ(parseEndpointSettings(text, o), "");
  EXPECT_EQ(o.maxConnections, 60u);
  EXPECT_EQ(o.timeouts.hello, std::chrono::milliseconds(2000));
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.server.maxMonitoredItems, 5000u);
  EXPECT_EQ(o.server.minSamplingIntervalMs, 20.0);
  EXPECT_EQ(o.server.maxSessions, EndpointOptions{}.server.maxSessions) << "not given: the default";
  EXPECT_EQ(o.port, 4840);
  EXPECT_EQ(o.discoveryServerUrl, "opc.tcp://localhost/UADiscovery");
  EXPECT_EQ(o.discoveryRetryInterval, std::chrono::milliseconds(5000));
  EXPECT_EQ(o.discoveryRegisterInterval, std::chrono::minutes(10));
}

TEST(EndpointSettings, BadFilesAreRefusedWholeWithTheLineAndReason) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"maxConnections = 50\nmaxConections = 10\n", "line 2: unknown key [maxConections]"},
      {"maxConnections = 0\n", "line 1: maxConnections [0] is not a whole number from 1 to 100000"},
      {"maxSessions = 10 sessions\n", "line 1: maxSessions [10 sessions] is not a whole number"},
      {"maxSessions = -5\n", "is not a whole number"},
      {"maxSessions = 99999999999999999999999\n", "is not a whole number"},
      {"maxSessions\n", "line 1: [maxSessions] is not \"key = value\""},
      {"host = localhost\n", "host [localhost] is not an IPv4 address"},
      {"minSessionTimeoutMs = 90000\nmaxSessionTimeoutMs = 60000\n", "minSessionTimeoutMs is greater than maxSessionTimeoutMs"},
      {"helloTimeoutMs = \x01\x02\n", "helloTimeoutMs [??] is not"},
      {"discoveryServerUrl = http://127.0.0.1:4840\n", "does not begin with opc.tcp://"},
      {"discoveryServerUrl = opc.tcp://lds.plant:4840\n", "neither an IPv4 address nor localhost"},
      {"discoveryServerUrl = opc.tcp://127.0.0.1:0\n", "its port is not a number from 1 to 65535"},
      {"discoveryServerUrl = opc.tcp://127.0.0.1:48x0\n", "its port is not a number"},
  };
  for (const auto& c : cases) {
    EndpointOptions o;
    const std::string said = parseEndpointSettings(c.text, o);
    EXPECT_NE(said.find(c.says), std::string::npos) << c.text << " said: " << said;
    EXPECT_EQ(o.maxConnections, EndpointOptions{}.maxConnections) << "nothing of a refused file takes effect";
    EXPECT_EQ(o.server.maxSessions, EndpointOptions{}.server.maxSessions);
  }
}

TEST(EndpointSettings, AMissingFileIsTheDefaultsAnUnreadableOneAnError) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "endpoint_settings_test";
  std::filesystem::create_directories(dir);
  EndpointOptions o;
  EXPECT_EQ(readEndpointSettings(dir / "none.conf", o), "");
  std::ofstream(dir / "opcua.conf") << "maxSessions = 7\nbogus = 1\n";
  const std::string said = readEndpointSettings(dir / "opcua.conf", o);
  EXPECT_NE(said.find("opcua.conf] line 2: unknown key [bogus]"), std::string::npos) << said;
  EXPECT_NE(readEndpointSettings(dir, o).find("cannot read"), std::string::npos) << "a directory";
  std::filesystem::remove_all(dir);
}

}  // namespace
