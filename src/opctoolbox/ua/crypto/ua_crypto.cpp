#include "opctoolbox/ua/crypto/ua_crypto.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>

namespace OpcToolbox::ua::crypto {
namespace {

struct MdCtxFree { void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); } };
struct PkeyCtxFree { void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); } };
struct CipherCtxFree { void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };
struct GeneralNamesFree { void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); } };
struct ExtensionFree { void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); } };

using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

int oaepOverhead(EncryptionPadding p) { return p == EncryptionPadding::OaepSha1 ? 42 : 66; }

bool setSignaturePadding(EVP_PKEY_CTX* ctx, SignaturePadding padding) {
  if (padding == SignaturePadding::Pkcs1) return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
  return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
         EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) > 0;
}

bool setEncryptionPadding(EVP_PKEY_CTX* ctx, EncryptionPadding padding) {
  if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0) return false;
  // MGF1 follows the OAEP digest unless set otherwise.
  return padding == EncryptionPadding::OaepSha1 || EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0;
}

Bytes digest(const EVP_MD* md, ByteView data) {
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr) != 1) return {};
  out.resize(n);
  return out;
}

bool addExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, ExtensionFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

}  // namespace

void PkeyFree::operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
void X509Free::operator()(X509* p) const { X509_free(p); }

SecretBytes& SecretBytes::operator=(const SecretBytes& o) {
  if (this != &o) {
    wipe();
    bytes_ = o.bytes_;
  }
  return *this;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& o) noexcept {
  if (this != &o) {
    wipe();
    bytes_ = std::move(o.bytes_);
  }
  return *this;
}

SecretBytes::~SecretBytes() { wipe(); }

void SecretBytes::wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

bool randomFill(std::span<std::uint8_t> out) {
  return out.empty() || RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

Bytes sha1(ByteView data) { return digest(EVP_sha1(), data); }
Bytes sha256(ByteView data) { return digest(EVP_sha256(), data); }

bool hmacSha256(ByteView key, ByteView data, std::uint8_t* out) {
  unsigned int n = 0;
  return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out, &n) != nullptr &&
         n == 32;
}

SecretBytes pSha256(ByteView secret, ByteView seed, std::size_t length) {
  SecretBytes out(length);
  // A(0) = seed, A(i) = HMAC(secret, A(i-1)); output HMAC(secret, A(i) || seed) for i = 1, 2, ...
  SecretBytes a(seed);
  SecretBytes input(32 + seed.size());
  std::uint8_t block[32];
  std::size_t done = 0;
  while (done < length) {
    if (!hmacSha256(secret, a.view(), block)) return SecretBytes();
    a = SecretBytes(ByteView(block, 32));
    std::memcpy(input.data(), block, 32);
    if (!seed.empty()) std::memcpy(input.data() + 32, seed.data(), seed.size());
    if (!hmacSha256(secret, input.view(), block)) return SecretBytes();
    const std::size_t n = std::min<std::size_t>(32, length - done);
    std::memcpy(out.data() + done, block, n);
    done += n;
  }
  OPENSSL_cleanse(block, sizeof block);
  return out;
}

bool aesCbc(bool encrypt, ByteView key, ByteView iv, std::span<std::uint8_t> data) {
  const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc() : key.size() == 16 ? EVP_aes_128_cbc() : nullptr;
  if (cipher == nullptr || iv.size() != 16 || data.size() % 16 != 0 || data.size() > INT_MAX) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  return ctx && EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) == 1 &&
         EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
         EVP_CipherUpdate(ctx.get(), data.data(), &n, data.data(), static_cast<int>(data.size())) == 1 &&
         static_cast<std::size_t>(n) == data.size();
}

bool equalConstantTime(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::size_t keySize(const EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
  return static_cast<std::size_t>(EVP_PKEY_get_size(key));
}

std::size_t plainBlockSize(const EVP_PKEY* key, EncryptionPadding padding) {
  const std::size_t k = keySize(key);
  const auto over = static_cast<std::size_t>(oaepOverhead(padding));
  return k > over ? k - over : 0;
}

bool sign(EVP_PKEY* privateKey, SignaturePadding padding, ByteView data, Bytes& signature) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  std::size_t n = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, privateKey) != 1 ||
      !setSignaturePadding(pctx, padding) || EVP_DigestSign(ctx.get(), nullptr, &n, data.data(), data.size()) != 1) {
    return false;
  }
  signature.resize(n);
  if (EVP_DigestSign(ctx.get(), signature.data(), &n, data.data(), data.size()) != 1) return false;
  signature.resize(n);
  return true;
}

bool verify(EVP_PKEY* publicKey, SignaturePadding padding, ByteView data, ByteView signature) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  const bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, publicKey) == 1 &&
                  setSignaturePadding(pctx, padding) &&
                  EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
  if (!ok) ERR_clear_error();  // a bad signature is the peer's fault, not ours to report later
  return ok;
}

bool encrypt(EVP_PKEY* publicKey, EncryptionPadding padding, ByteView plaintext, Bytes& ciphertext) {
  const std::size_t plain = plainBlockSize(publicKey, padding), cipher = keySize(publicKey);
  if (plain == 0) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(publicKey, nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 || !setEncryptionPadding(ctx.get(), padding)) return false;
  const std::size_t blocks = (plaintext.size() + plain - 1) / plain;
  ciphertext.resize(blocks * cipher);
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::size_t from = i * plain, n = std::min(plain, plaintext.size() - from);
    std::size_t outLength = cipher;
    if (EVP_PKEY_encrypt(ctx.get(), ciphertext.data() + i * cipher, &outLength, plaintext.data() + from, n) != 1 ||
        outLength != cipher) {
      return false;
    }
  }
  return true;
}

bool decrypt(EVP_PKEY* privateKey, EncryptionPadding padding, ByteView ciphertext, SecretBytes& plaintext) {
  const std::size_t plain = plainBlockSize(privateKey, padding), cipher = keySize(privateKey);
  if (plain == 0 || ciphertext.size() % cipher != 0) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new(privateKey, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || !setEncryptionPadding(ctx.get(), padding)) return false;
  const std::size_t blocks = ciphertext.size() / cipher;
  SecretBytes out(blocks * plain);
  std::size_t used = 0;
  SecretBytes block(cipher);
  for (std::size_t i = 0; i < blocks; ++i) {
    std::size_t n = cipher;
    if (EVP_PKEY_decrypt(ctx.get(), block.data(), &n, ciphertext.data() + i * cipher, cipher) != 1 || n > plain) {
      ERR_clear_error();
      return false;
    }
    std::memcpy(out.data() + used, block.data(), n);
    used += n;
  }
  plaintext = SecretBytes(ByteView(out.data(), used));
  return true;
}

PkeyPtr generateRsaKey(int bits) { return PkeyPtr(EVP_RSA_gen(static_cast<unsigned>(bits))); }

PkeyPtr readPrivateKeyPem(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

std::string privateKeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_secmem()));
  if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

Certificate::Certificate(const Certificate& o) : der_(o.der_) {
  if (o.x509_ && X509_up_ref(o.x509_.get()) == 1) x509_.reset(o.x509_.get());
}

Certificate& Certificate::operator=(const Certificate& o) {
  if (this != &o) *this = Certificate(o);
  return *this;
}

Certificate Certificate::fromDer(ByteView der) {
  Certificate c;
  const unsigned char* p = der.data();
  c.x509_.reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!c.x509_) {
    ERR_clear_error();
    return Certificate();
  }
  c.der_.assign(der.data(), p);
  return c;
}

std::vector<Certificate> Certificate::chainFromDer(ByteView der) {
  std::vector<Certificate> chain;
  while (!der.empty() && chain.size() < 16) {
    Certificate c = fromDer(der);
    if (!c) return {};
    der = der.subspan(c.der_.size());
    chain.push_back(std::move(c));
  }
  if (!der.empty()) return {};
  return chain;
}

Certificate Certificate::fromPem(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr x(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!x) {
    ERR_clear_error();
    return Certificate();
  }
  unsigned char* der = nullptr;
  const int n = i2d_X509(x.get(), &der);
  if (n <= 0) return Certificate();
  Certificate c = fromDer(ByteView(der, static_cast<std::size_t>(n)));
  OPENSSL_free(der);
  return c;
}

Certificate Certificate::fromDerOrPem(std::string_view text) {
  Certificate c = fromDer(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return c ? c : fromPem(text);
}

EVP_PKEY* Certificate::publicKey() const { return x509_ ? X509_get0_pubkey(x509_.get()) : nullptr; }

std::string Certificate::thumbprintHex() const {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : thumbprint()) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string Certificate::applicationUri() const {
  if (!x509_) return {};
  std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return {};
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(names.get(), i);
    if (n->type != GEN_URI) continue;
    const ASN1_STRING* s = n->d.uniformResourceIdentifier;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(ASN1_STRING_length(s)));
  }
  return {};
}

std::string Certificate::subjectName() const {
  if (!x509_) return {};
  char buffer[512];
  X509_NAME_oneline(X509_get_subject_name(x509_.get()), buffer, sizeof buffer);
  return buffer;
}

bool Certificate::currentlyValid() const {
  return x509_ && X509_cmp_current_time(X509_get0_notBefore(x509_.get())) < 0 &&
         X509_cmp_current_time(X509_get0_notAfter(x509_.get())) > 0;
}

bool Certificate::selfSigned() const { return x509_ && X509_check_issued(x509_.get(), x509_.get()) == X509_V_OK; }

Certificate makeSelfSignedCertificate(EVP_PKEY* key, const CertificateRequest& request) {
  // The extension syntax separates names with commas: a name with one cannot be expressed.
  auto plain = [](const std::string& s) { return !s.empty() && s.find_first_of(",\n") == std::string::npos; };
  if (!plain(request.applicationUri)) return Certificate();
  X509Ptr x(X509_new());
  if (!x || X509_set_version(x.get(), 2) != 1) return Certificate();
  std::uint8_t serial[16];
  if (!randomFill(serial)) return Certificate();
  serial[0] &= 0x7F;  // positive
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(serial, sizeof serial, nullptr), &BN_free);
  if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x.get())) == nullptr) return Certificate();
  X509_gmtime_adj(X509_getm_notBefore(x.get()), -86400);  // a day back: clocks of clients differ
  X509_gmtime_adj(X509_getm_notAfter(x.get()), static_cast<long>(request.validDays) * 86400L);
  X509_NAME* name = X509_get_subject_name(x.get());
  const std::string cn = request.commonName.substr(0, 64);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(x.get(), name);
  if (X509_set_pubkey(x.get(), key) != 1) return Certificate();
  std::string san = "URI:" + request.applicationUri;
  for (const std::string& dns : request.dnsNames) {
    if (plain(dns)) san += ",DNS:" + dns;
  }
  if (!addExtension(x.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !addExtension(x.get(), NID_key_usage,
                    "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign") ||
      !addExtension(x.get(), NID_ext_key_usage, "serverAuth,clientAuth") ||
      !addExtension(x.get(), NID_subject_key_identifier, "hash") ||
      !addExtension(x.get(), NID_authority_key_identifier, "keyid:always") ||
      !addExtension(x.get(), NID_subject_alt_name, san)) {
    return Certificate();
  }
  if (X509_sign(x.get(), key, EVP_sha256()) <= 0) return Certificate();
  unsigned char* der = nullptr;
  const int n = i2d_X509(x.get(), &der);
  if (n <= 0) return Certificate();
  Certificate c = Certificate::fromDer(ByteView(der, static_cast<std::size_t>(n)));
  OPENSSL_free(der);
  return c;
}

bool useSecureHeap() {
  static const bool ok = CRYPTO_secure_malloc_initialized() == 1 || CRYPTO_secure_malloc_init(1u << 16, 32) != 0;
  return ok;
}

std::string lastError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buffer[256];
  ERR_error_string_n(e, buffer, sizeof buffer);
  return buffer;
}

}  // namespace OpcToolbox::ua::crypto
