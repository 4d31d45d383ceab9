#pragma once
// The user identity tokens of ActivateSession (OPC UA Part 4, 7.36), decoded from the body
// of their ExtensionObject: anonymous, user name (with its password as sent, encrypted or
// not) and X.509 certificate. Issued tokens are not accepted.

#include <cstdint>
#include <string>

#include "opctoolbox/ua/encoding/ua_binary.h"

namespace OpcToolbox::ua {

inline constexpr std::uint32_t kAnonymousIdentityTokenBinary = 321;
inline constexpr std::uint32_t kUserNameIdentityTokenBinary = 324;
inline constexpr std::uint32_t kX509IdentityTokenBinary = 327;

struct IdentityToken {
  enum class Kind { Anonymous, UserName, Certificate } kind = Kind::Anonymous;
  std::string policyId;
  std::string userName;
  std::string secret;  // the password (or its encryption), or the certificate's DER
  std::string encryptionAlgorithm;
};

// Good, or BadIdentityTokenInvalid for a type this server does not take or a damaged body.
StatusCode decodeIdentityToken(const ExtensionObject& token, IdentityToken& out);

}  // namespace OpcToolbox::ua
