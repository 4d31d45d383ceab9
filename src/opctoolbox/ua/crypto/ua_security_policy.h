#pragma once
// The secure policies this server offers (OPC UA Part 7, the security policy facets), as
// data: which algorithm each step uses and how long its keys are.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "opctoolbox/ua/crypto/ua_crypto.h"

namespace OpcToolbox::ua {

struct SecurityPolicy {
  std::string_view uri;
  std::string_view name;  // the last part of the URI, as settings and log lines say it
  crypto::SignaturePadding asymmetricSignature;
  std::string_view asymmetricSignatureUri;
  crypto::EncryptionPadding asymmetricEncryption;
  std::string_view asymmetricEncryptionUri;
  std::size_t signingKeyLength;     // derived HMAC-SHA256 key
  std::size_t encryptingKeyLength;  // derived AES key: 16 or 32
  std::size_t minKeyBits, maxKeyBits;
  std::uint8_t securityLevel;  // relative strength, for EndpointDescription.securityLevel
};

inline constexpr std::size_t kNonceLength = 32;
inline constexpr std::size_t kBlockSize = 16;       // AES
inline constexpr std::size_t kSymmetricSignature = 32;  // HMAC-SHA256

// Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss.
std::span<const SecurityPolicy> securePolicies();
// The secure policy with this URI or name, or null (None and unknown policies).
const SecurityPolicy* findSecurePolicy(std::string_view uriOrName);

}  // namespace OpcToolbox::ua
