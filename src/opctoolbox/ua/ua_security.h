#pragma once
// Security of secure channels and identities of sessions, in one place: the policies an
// endpoint offers and an OpenSecureChannel may ask for, how each chunk is protected and
// checked, and the user identity tokens ActivateSession accepts. This server offers
// SecurityPolicy None with anonymous users; signing, encryption and user names are
// further implementations of these two classes, nothing else changes for them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/ua/ua_transport.h"
#include "opctoolbox/ua/ua_types.h"

namespace OpcToolbox::ua {

// The security of one secure channel, chosen by its OpenSecureChannel.
class ChannelSecurity {
 public:
  virtual ~ChannelSecurity() = default;
  virtual std::string_view policyUri() const = 0;
  virtual std::uint32_t securityMode() const = 0;  // 1 None, 2 Sign, 3 SignAndEncrypt
  virtual UaString serverNonce() const = 0;        // for the OpenSecureChannel response
  // Bytes a chunk grows by when protected (signature, padding).
  virtual std::size_t chunkOverhead() const = 0;
  // Signs and encrypts the finished chunk that starts at out[chunkStart].
  virtual StatusCode protect(std::vector<std::uint8_t>& out, std::size_t chunkStart) const = 0;
  // Checks (and decrypts) a received symmetric chunk before its body is used.
  virtual StatusCode unprotect(Chunk& chunk) const = 0;
};

struct UserTokenPolicy {
  std::string policyId;
  std::uint32_t tokenType = 0;  // 0 anonymous, 1 user name, 2 certificate, 3 issued token
};

class SecurityConfiguration {
 public:
  virtual ~SecurityConfiguration() = default;
  // The channel security for a requested policy and mode; null with the reason when it is
  // not offered.
  virtual std::unique_ptr<ChannelSecurity> openChannel(std::string_view policyUri, std::uint32_t mode,
                                                       StatusCode& why) const = 0;
  // What GetEndpoints and CreateSession describe.
  virtual std::string_view offeredPolicyUri() const = 0;
  virtual std::uint32_t offeredMode() const = 0;
  virtual UaString serverCertificate() const = 0;
  virtual const std::vector<UserTokenPolicy>& userTokenPolicies() const = 0;
  // Good for an accepted identity token (by the type of its ExtensionObject; a null type
  // is an anonymous user), else BadIdentityTokenInvalid.
  virtual StatusCode validateIdentity(const NodeId& tokenType) const = 0;

  // SecurityPolicy None, security mode None, anonymous users.
  static const SecurityConfiguration& noneAnonymous();
};

}  // namespace OpcToolbox::ua
