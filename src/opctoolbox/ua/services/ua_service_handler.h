#pragma once
// What the connections hand their complete requests to: the service sets behind an
// endpoint (the server), or a test's stand-in.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/security/ua_security.h"

namespace OpcToolbox::ua {

// Answers one complete service request body (type id and fields) of a channel; respond
// may be called later, from any thread, exactly once.
class ServiceHandler {
 public:
  using Respond = std::function<void(std::vector<std::uint8_t> body)>;
  virtual ~ServiceHandler() = default;
  virtual void handle(std::uint32_t channelId, std::span<const std::uint8_t> body, Respond respond) = 0;
  // Before the channel's first request, with the client's address and the channel's
  // security (its policy, mode and client certificate never change); channelClosed follows.
  virtual void channelOpened(std::uint32_t /*channelId*/, const std::string& /*peer*/,
                             std::shared_ptr<const ChannelSecurity> /*security*/) {}
  virtual void channelClosed(std::uint32_t /*channelId*/) {}
  // An OpenSecureChannel refused for its security (policy, certificate, signature), with
  // the client's address: for the audit.
  virtual void channelRefused(const std::string& /*peer*/, StatusCode /*why*/, std::string_view /*what*/) {}
  // The endpoints and identities offered; SecurityPolicy None and anonymous users unless
  // the handler says otherwise.
  virtual const SecurityConfiguration& security() const { return SecurityConfiguration::noneAnonymous(); }
};

}  // namespace OpcToolbox::ua
