#include "opctoolbox/ua/crypto/ua_security_policy.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::string_view kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr std::string_view kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr std::string_view kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

using crypto::EncryptionPadding;
using crypto::SignaturePadding;

constexpr SecurityPolicy kPolicies[] = {
    {"http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256", "Basic256Sha256", SignaturePadding::Pkcs1,
     kRsaSha256, EncryptionPadding::OaepSha1, kRsaOaep, 32, 32, 2048, 4096, 3},
    {"http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep", "Aes128_Sha256_RsaOaep",
     SignaturePadding::Pkcs1, kRsaSha256, EncryptionPadding::OaepSha1, kRsaOaep, 32, 16, 2048, 4096, 2},
    {"http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss", "Aes256_Sha256_RsaPss", SignaturePadding::Pss,
     kRsaPssSha256, EncryptionPadding::OaepSha256, kRsaOaepSha256, 32, 32, 2048, 4096, 4},
};

}  // namespace

std::span<const SecurityPolicy> securePolicies() { return kPolicies; }

const SecurityPolicy* findSecurePolicy(std::string_view uriOrName) {
  for (const SecurityPolicy& p : kPolicies) {
    if (p.uri == uriOrName || p.name == uriOrName) return &p;
  }
  return nullptr;
}

}  // namespace OpcToolbox::ua
