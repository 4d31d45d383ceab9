#pragma once
// The cryptographic primitives of OPC UA security, each one call into OpenSSL 3: digests,
// HMAC, the P_SHA256 key derivation, AES-CBC without padding, RSA signatures (PKCS#1 v1.5
// and PSS) and RSA-OAEP encryption in blocks, keys and X.509 certificates. Owners of
// OpenSSL objects are RAII types; secrets are cleansed when they go.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

namespace OpcToolbox::ua::crypto {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Bytes that are wiped before their memory is given back (keys, nonces, passwords).
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(ByteView b) : bytes_(b.begin(), b.end()) {}
  explicit SecretBytes(std::size_t n) : bytes_(n) {}
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes& o);
  SecretBytes(SecretBytes&& o) noexcept : bytes_(std::move(o.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& o) noexcept;
  ~SecretBytes();
  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  ByteView view() const { return bytes_; }
  void wipe();

 private:
  Bytes bytes_;
};

struct PkeyFree { void operator()(EVP_PKEY* p) const; };
struct X509Free { void operator()(X509* p) const; };
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Fills out with cryptographically strong random bytes; false when OpenSSL cannot.
bool randomFill(std::span<std::uint8_t> out);
Bytes sha1(ByteView data);
Bytes sha256(ByteView data);
// HMAC-SHA256 of data into out (32 bytes).
bool hmacSha256(ByteView key, ByteView data, std::uint8_t* out);
// P_SHA256 of TLS 1.2 (RFC 5246, 5): length bytes from secret and seed.
SecretBytes pSha256(ByteView secret, ByteView seed, std::size_t length);
// AES-CBC over whole 16-byte blocks in place (key of 16 or 32 bytes, iv of 16).
bool aesCbc(bool encrypt, ByteView key, ByteView iv, std::span<std::uint8_t> data);
// Constant-time comparison of two byte strings of equal length (unequal lengths: false).
bool equalConstantTime(ByteView a, ByteView b);

enum class SignaturePadding { Pkcs1, Pss };
enum class EncryptionPadding { OaepSha1, OaepSha256 };

// The size in bytes of an RSA key's modulus (0 for anything else).
std::size_t keySize(const EVP_PKEY* key);
// Plaintext bytes per RSA block under a padding.
std::size_t plainBlockSize(const EVP_PKEY* key, EncryptionPadding padding);

// SHA-256 signatures with RSA.
bool sign(EVP_PKEY* privateKey, SignaturePadding padding, ByteView data, Bytes& signature);
bool verify(EVP_PKEY* publicKey, SignaturePadding padding, ByteView data, ByteView signature);
// RSA-OAEP in blocks: plaintext cut into plainBlockSize pieces, each a keySize block.
bool encrypt(EVP_PKEY* publicKey, EncryptionPadding padding, ByteView plaintext, Bytes& ciphertext);
bool decrypt(EVP_PKEY* privateKey, EncryptionPadding padding, ByteView ciphertext, SecretBytes& plaintext);

PkeyPtr generateRsaKey(int bits);
PkeyPtr readPrivateKeyPem(std::string_view pem);
std::string privateKeyPem(EVP_PKEY* key);  // PKCS#8, unencrypted: the file is mode 0600

// A certificate and its DER encoding.
class Certificate {
 public:
  Certificate() = default;
  Certificate(const Certificate& o);  // shares the parsed certificate
  Certificate& operator=(const Certificate& o);
  Certificate(Certificate&&) noexcept = default;
  Certificate& operator=(Certificate&&) noexcept = default;
  // The first certificate of a DER sequence (a client may send its chain); null on damage.
  static Certificate fromDer(ByteView der);
  static Certificate fromPem(std::string_view pem);
  // A certificate file's content, DER or PEM.
  static Certificate fromDerOrPem(std::string_view text);
  // Every certificate of a concatenated DER chain, leaf first; empty on damage.
  static std::vector<Certificate> chainFromDer(ByteView der);
  explicit operator bool() const { return x509_ != nullptr; }
  X509* get() const { return x509_.get(); }
  EVP_PKEY* publicKey() const;  // owned by the certificate
  const Bytes& der() const { return der_; }
  Bytes thumbprint() const { return sha1(der_); }
  std::string thumbprintHex() const;
  // The URI of subjectAltName (the ApplicationUri), empty when there is none.
  std::string applicationUri() const;
  std::string subjectName() const;
  bool selfSigned() const;
  // Whether now lies within notBefore and notAfter.
  bool currentlyValid() const;

 private:
  X509Ptr x509_;
  Bytes der_;
};

struct CertificateRequest {
  std::string applicationUri;
  std::string commonName;
  std::vector<std::string> dnsNames;
  int validDays = 5 * 365;
};
// A self-signed application instance certificate (SHA-256) for key.
Certificate makeSelfSignedCertificate(EVP_PKEY* key, const CertificateRequest& request);

// Puts OpenSSL's private key material into its secure heap (locked memory left out of
// core dumps) from now on; false when the heap cannot be had. Once per process.
bool useSecureHeap();

// The last OpenSSL error as text, for log lines (never a secret).
std::string lastError();

}  // namespace OpcToolbox::ua::crypto
