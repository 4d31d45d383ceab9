#include "opctoolbox/ua/security/ua_pki.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/host_names.h"
#include "platform/platform_root.h"

namespace OpcToolbox::ua {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFiles = 1000;          // per folder: a full folder is not read past this
constexpr std::size_t kMaxFileBytes = 1u << 20;  // a certificate or CRL file

struct StoreFree { void operator()(X509_STORE* p) const { X509_STORE_free(p); } };
struct StoreCtxFree { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct StackFree { void operator()(STACK_OF(X509)* p) const { sk_X509_pop_free(p, X509_free); } };
struct CrlFree { void operator()(X509_CRL* p) const { X509_CRL_free(p); } };
struct BioFree { void operator()(BIO* p) const { BIO_free(p); } };

// The regular files of a folder, at most kMaxFiles, in name order.
std::vector<fs::path> filesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end && out.size() < kMaxFiles; it.increment(ec)) {
    if (it->is_regular_file(ec)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<crypto::Certificate> certificatesIn(const fs::path& dir) {
  std::vector<crypto::Certificate> out;
  for (const fs::path& file : filesIn(dir)) {
    std::string text;
    if (vexahv::platform::readWholeFile(file, text, kMaxFileBytes)) continue;
    if (crypto::Certificate c = crypto::Certificate::fromDerOrPem(text)) out.push_back(std::move(c));
  }
  return out;
}

std::vector<std::unique_ptr<X509_CRL, CrlFree>> crlsIn(const fs::path& dir) {
  std::vector<std::unique_ptr<X509_CRL, CrlFree>> out;
  for (const fs::path& file : filesIn(dir)) {
    std::string text;
    if (vexahv::platform::readWholeFile(file, text, kMaxFileBytes)) continue;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    X509_CRL* crl = d2i_X509_CRL(nullptr, &p, static_cast<long>(text.size()));
    if (crl == nullptr) {
      std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
      crl = bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    }
    ERR_clear_error();
    if (crl != nullptr) out.emplace_back(crl);
  }
  return out;
}

using Findings = std::vector<std::pair<int, int>>;  // error, depth

int collect(int ok, X509_STORE_CTX* ctx) {
  if (ok == 0) {
    auto* findings = static_cast<Findings*>(X509_STORE_CTX_get_app_data(ctx));
    findings->emplace_back(X509_STORE_CTX_get_error(ctx), X509_STORE_CTX_get_error_depth(ctx));
  }
  return 1;  // go on: every finding is collected, then ranked
}

// The findings ranked as OPC UA Part 4 orders its checks: structure and signatures, the
// trust list, the validity periods, revocation.
StatusCode rank(const Findings& findings, bool& untrusted) {
  StatusCode trust = kGood, time = kGood, revocation = kGood;
  untrusted = false;
  for (const auto& [error, depth] : findings) {
    switch (error) {
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
      case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      case X509_V_ERR_CERT_UNTRUSTED:
      case X509_V_ERR_CERT_REJECTED:
        trust = kBadCertificateUntrusted;
        untrusted = true;
        break;
      case X509_V_ERR_CERT_NOT_YET_VALID:
      case X509_V_ERR_CERT_HAS_EXPIRED:
        if (time == kGood) time = depth == 0 ? kBadCertificateTimeInvalid : kBadCertificateIssuerTimeInvalid;
        break;
      case X509_V_ERR_CERT_REVOKED:
        if (revocation == kGood) revocation = depth == 0 ? kBadCertificateRevoked : kBadCertificateIssuerRevoked;
        break;
      // A CA without a current CRL: revocation cannot be known, and is not held against it.
      case X509_V_ERR_UNABLE_TO_GET_CRL:
      case X509_V_ERR_CRL_HAS_EXPIRED:
      case X509_V_ERR_CRL_NOT_YET_VALID:
      case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
        break;
      default:
        return kBadCertificateInvalid;
    }
  }
  if (trust != kGood) return trust;
  if (time != kGood) return time;
  return revocation;
}

// A file name an administrator recognises: the subject's common name and the thumbprint.
std::string fileNameOf(const crypto::Certificate& c) {
  std::string name = c.subjectName();
  if (const std::size_t cn = name.find("CN="); cn != std::string::npos) name = name.substr(cn + 3);
  name = name.substr(0, name.find('/'));
  std::string safe;
  for (char ch : name.substr(0, 48)) {
    const bool ok = std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_' || ch == '.' || ch == ' ';
    safe += ok ? ch : '_';
  }
  if (safe.empty() || safe[0] == '.') safe = "certificate" + safe;
  return safe + " [" + c.thumbprintHex() + "].der";
}

void wipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

}  // namespace

PkiStore::PkiStore(PkiOptions options, PkiLog log) : options_(std::move(options)), log_(std::move(log)) {}

std::shared_ptr<const ServerCredentials> PkiStore::loadOrCreateCredentials(const std::string& applicationUri,
                                                                           const std::string& applicationName,
                                                                           std::string& error) {
  for (const char* dir : {"own/certs", "trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl",
                          "rejected/certs"}) {
    if (const std::error_code ec = vexahv::platform::ensureDirectory(options_.root / dir)) {
      error = "cannot create [" + (options_.root / dir).string() + "]: " + ec.message();
      return nullptr;
    }
  }
  const fs::path keyDir = options_.privateKey.parent_path();
  if (const std::error_code ec = vexahv::platform::ensureDirectory(keyDir)) {
    error = "cannot create [" + keyDir.string() + "]: " + ec.message();
    return nullptr;
  }
  std::error_code ec;
  fs::permissions(keyDir, fs::perms::owner_all, fs::perm_options::replace, ec);

  auto credentials = std::make_shared<ServerCredentials>();
  const bool haveCertificate = fs::exists(options_.certificate, ec), haveKey = fs::exists(options_.privateKey, ec);
  if (haveCertificate != haveKey) {
    error = haveCertificate ? "the certificate [" + options_.certificate.string() + "] has no private key [" +
                                  options_.privateKey.string() + "]"
                            : "the private key [" + options_.privateKey.string() + "] has no certificate [" +
                                  options_.certificate.string() + "]";
    return nullptr;
  }
  if (!haveCertificate) {
    credentials->privateKey = crypto::generateRsaKey(2048);
    crypto::CertificateRequest request;
    request.applicationUri = applicationUri;
    request.commonName = applicationName;
    request.dnsNames = vexahv::platform::hostNames();
    if (credentials->privateKey) {
      credentials->certificate = crypto::makeSelfSignedCertificate(credentials->privateKey.get(), request);
    }
    if (!credentials->certificate) {
      error = "cannot make the server's certificate: " + crypto::lastError();
      return nullptr;
    }
    std::string pem = crypto::privateKeyPem(credentials->privateKey.get());
    const crypto::Bytes& der = credentials->certificate.der();
    std::error_code written = vexahv::platform::replaceSecretFileAtomically(options_.privateKey, pem);
    wipe(pem);
    if (!written) {
      written = vexahv::platform::replaceFileAtomically(
          options_.certificate, std::string_view(reinterpret_cast<const char*>(der.data()), der.size()), 0644);
      if (written) fs::remove(options_.privateKey, ec);  // a key without its certificate would block the next start
    }
    if (written) {
      error = "cannot store the server's certificate and key: " + written.message();
      return nullptr;
    }
    log_(SecurityLogLevel::Warning, "made the server's certificate [" + options_.certificate.string() + "], thumbprint " +
                   credentials->certificate.thumbprintHex());
    return credentials;
  }

  std::string pem, der;
  if (const std::error_code e = vexahv::platform::readWholeFile(options_.privateKey, pem, kMaxFileBytes)) {
    error = "cannot read [" + options_.privateKey.string() + "]: " + e.message();
    return nullptr;
  }
  credentials->privateKey = crypto::readPrivateKeyPem(pem);
  wipe(pem);
  if (const std::error_code e = vexahv::platform::readWholeFile(options_.certificate, der, kMaxFileBytes)) {
    error = "cannot read [" + options_.certificate.string() + "]: " + e.message();
    return nullptr;
  }
  credentials->certificate = crypto::Certificate::fromDerOrPem(der);
  if (!credentials->privateKey || !credentials->certificate) {
    error = !credentials->privateKey ? "[" + options_.privateKey.string() + "] is not a private key"
                                     : "[" + options_.certificate.string() + "] is not a certificate";
    ERR_clear_error();
    return nullptr;
  }
  if (X509_check_private_key(credentials->certificate.get(), credentials->privateKey.get()) != 1) {
    ERR_clear_error();
    error = "the private key [" + options_.privateKey.string() + "] does not belong to the certificate [" +
            options_.certificate.string() + "]";
    return nullptr;
  }
  const std::size_t bits = crypto::keySize(credentials->privateKey.get()) * 8;
  if (bits < 2048 || bits > 4096) {
    error = "the server's key has " + std::to_string(bits) + " bits; the secure policies need 2048 to 4096";
    return nullptr;
  }
  if (const std::string uri = credentials->certificate.applicationUri(); uri != applicationUri) {
    log_(SecurityLogLevel::Warning, "the server's certificate names the ApplicationUri [" + uri + "], the server is [" + applicationUri +
                   "]: clients will refuse it");
  }
  if (X509_cmp_current_time(X509_get0_notAfter(credentials->certificate.get())) < 0) {
    log_(SecurityLogLevel::Warning, "the server's certificate [" + options_.certificate.string() + "] has expired");
  }
  return credentials;
}

StatusCode PkiStore::verify(const std::vector<crypto::Certificate>& chain) {
  if (chain.empty()) return kBadCertificateInvalid;
  const crypto::Certificate& leaf = chain.front();
  if (options_.trustAllClients) {
    // Commissioning: trust is not asked, but an expired certificate stays refused.
    if (X509_cmp_current_time(X509_get0_notBefore(leaf.get())) > 0 ||
        X509_cmp_current_time(X509_get0_notAfter(leaf.get())) < 0) {
      return kBadCertificateTimeInvalid;
    }
    return kGood;
  }
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  if (!store || !untrusted || !ctx) return kBadCertificateInvalid;
  for (const crypto::Certificate& c : certificatesIn(options_.root / "trusted/certs")) X509_STORE_add_cert(store.get(), c.get());
  for (auto& crl : crlsIn(options_.root / "trusted/crl")) X509_STORE_add_crl(store.get(), crl.get());
  for (auto& crl : crlsIn(options_.root / "issuers/crl")) X509_STORE_add_crl(store.get(), crl.get());
  auto addUntrusted = [&](const crypto::Certificate& c) {
    X509_up_ref(c.get());
    if (sk_X509_push(untrusted.get(), c.get()) == 0) X509_free(c.get());
  };
  for (const crypto::Certificate& c : certificatesIn(options_.root / "issuers/certs")) addUntrusted(c);
  for (std::size_t i = 1; i < chain.size(); ++i) addUntrusted(chain[i]);
  ERR_clear_error();
  if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get()) != 1) return kBadCertificateInvalid;
  // A certificate in the trust list is trusted itself, whoever issued it.
  X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  Findings findings;
  X509_STORE_CTX_set_app_data(ctx.get(), &findings);
  X509_STORE_CTX_set_verify_cb(ctx.get(), collect);
  if (X509_verify_cert(ctx.get()) < 0) findings.emplace_back(X509_V_ERR_UNSPECIFIED, 0);
  ERR_clear_error();
  bool untrustedLeaf = false;
  const StatusCode result = rank(findings, untrustedLeaf);
  if (untrustedLeaf) reject(leaf);
  return result;
}

void PkiStore::reject(const crypto::Certificate& certificate) {
  std::lock_guard lock(rejectMutex_);
  const fs::path dir = options_.root / "rejected/certs";
  const fs::path target = dir / fileNameOf(certificate);
  std::error_code ec;
  if (fs::exists(target, ec)) return;
  // Bounded: the oldest rejected certificates make room.
  std::vector<fs::path> files = filesIn(dir);
  if (files.size() >= options_.maxRejected) {
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
      std::error_code e;
      return fs::last_write_time(a, e) < fs::last_write_time(b, e);
    });
    for (std::size_t i = 0; i + options_.maxRejected <= files.size() && i < files.size(); ++i) fs::remove(files[i], ec);
  }
  const crypto::Bytes& der = certificate.der();
  if (const std::error_code written = vexahv::platform::replaceFileAtomically(
          target, std::string_view(reinterpret_cast<const char*>(der.data()), der.size()), 0644)) {
    log_(SecurityLogLevel::Error, "cannot keep the rejected certificate [" + target.string() + "]: " + written.message());
    return;
  }
  log_(SecurityLogLevel::Warning, "rejected the untrusted client certificate " + certificate.subjectName() + " as [" + target.string() +
                 "]; move it to [" + (options_.root / "trusted/certs").string() + "] to trust it");
}

}  // namespace OpcToolbox::ua
