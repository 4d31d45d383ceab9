#pragma once
// The client's end of one OPC UA secure channel over opc.tcp (OPC UA Part 6, 7.1 and 6.7):
// Hello and Acknowledge, OpenSecureChannel under None or a secure policy, requests and
// their responses one at a time, and CloseSecureChannel. It is what the server needs to
// talk to a discovery server, and no more: no session, no renewal (a call takes seconds,
// a token lives an hour). Every wait is bounded by the time-out; abort() from another
// thread ends one at once.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/channel/ua_channel_crypto.h"
#include "opctoolbox/ua/channel/ua_transport.h"
#include "platform/socket.h"

namespace OpcToolbox::ua {

// "opc.tcp://host:port[/path]" with an IPv4 address or "localhost" as host; the port is
// 4840 when the URL names none. Empty on success, else what is wrong.
std::string parseOpcTcpUrl(std::string_view url, vexahv::platform::Ipv4Endpoint& out);

class UaClientChannel {
 public:
  explicit UaClientChannel(std::chrono::milliseconds timeout) : timeout_(timeout) {}
  ~UaClientChannel();
  UaClientChannel(const UaClientChannel&) = delete;
  UaClientChannel& operator=(const UaClientChannel&) = delete;

  // Each call gives Good or the status that ended it, with a line saying why.
  StatusCode connect(const std::string& url, std::string& why);
  // security null: SecurityPolicy None. mode: kModeNone, kModeSign or kModeSignAndEncrypt.
  StatusCode open(std::unique_ptr<SecureChannel> security, std::uint32_t mode, std::string& why);
  // One request's encoded body (type id first) and its response's, a ServiceFault too.
  StatusCode call(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& response, std::string& why);
  // Closes the channel (CloseSecureChannel when one is open) and the connection.
  void close();
  // From any thread: the call under way, and every later one, fails at once.
  void abort();

 private:
  StatusCode send(MessageType type, std::span<const std::uint8_t> body, std::uint32_t requestId, std::string& why);
  // The next whole message of the channel (all chunks), unprotected.
  StatusCode receive(MessageType expected, std::uint32_t requestId, std::vector<std::uint8_t>& body, std::string& why);
  StatusCode receiveMessage(std::vector<std::uint8_t>& bytes, MessageHeader& header, std::string& why);

  const std::chrono::milliseconds timeout_;
  std::mutex socketMutex_;  // abort() against close()
  vexahv::platform::Socket socket_;
  bool aborted_ = false;  // guarded by socketMutex_
  TransportLimits limits_;  // agreed by Hello and Acknowledge
  std::unique_ptr<SecureChannel> security_;  // null: None
  std::uint32_t channelId_ = 0, tokenId_ = 0, sequence_ = 0, requestId_ = 0;
  bool open_ = false;
};

}  // namespace OpcToolbox::ua
