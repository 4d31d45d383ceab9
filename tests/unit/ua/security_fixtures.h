#pragma once
// Keys and certificates for the security tests, made fresh with the server's own primitives
// (and, for a CA's work, with OpenSSL directly: the server never issues certificates).

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/security/ua_security.h"

namespace securitytest {

using namespace OpcToolbox::ua;

inline std::shared_ptr<ServerCredentials> makeCredentials(const std::string& uri, int bits = 2048, int days = 365) {
  auto c = std::make_shared<ServerCredentials>();
  c->privateKey = crypto::generateRsaKey(bits);
  crypto::CertificateRequest r;
  r.applicationUri = uri;
  r.commonName = uri.substr(uri.rfind(':') + 1);
  r.dnsNames = {"localhost"};
  r.validDays = days;
  c->certificate = crypto::makeSelfSignedCertificate(c->privateKey.get(), r);
  return c;
}

inline crypto::Certificate certificateOf(X509* x) {
  unsigned char* der = nullptr;
  const int n = i2d_X509(x, &der);
  crypto::Certificate c = crypto::Certificate::fromDer(std::span<const std::uint8_t>(der, static_cast<std::size_t>(n)));
  OPENSSL_free(der);
  return c;
}

// A certificate for subjectKey issued by issuerCert with issuerKey (self-signed when
// issuerCert is null); ca true makes a CA.
inline crypto::Certificate issueWith(X509* issuerCert, EVP_PKEY* issuerKey, EVP_PKEY* subjectKey,
                                     const std::string& cn, bool ca, long serial) {
  crypto::X509Ptr x(X509_new());
  X509_set_version(x.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 86400L * 30);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509* issuer = issuerCert != nullptr ? issuerCert : x.get();
  X509_set_issuer_name(x.get(), X509_get_subject_name(issuer));
  X509_set_pubkey(x.get(), subjectKey);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x.get(), nullptr, nullptr, 0);
  auto add = [&](int nid, const char* value) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(x.get(), e, -1);
    X509_EXTENSION_free(e);
  };
  add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  add(NID_key_usage, ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  add(NID_subject_alt_name, ("URI:urn:test:" + cn).c_str());
  X509_sign(x.get(), issuerKey, EVP_sha256());
  return certificateOf(x.get());
}

inline crypto::Certificate issue(const ServerCredentials& ca, EVP_PKEY* subjectKey, const std::string& cn, bool isCa,
                                 long serial) {
  return issueWith(ca.certificate.get(), ca.privateKey.get(), subjectKey, cn, isCa, serial);
}

// A self-signed CA.
inline std::shared_ptr<ServerCredentials> makeCa(const std::string& cn) {
  auto ca = std::make_shared<ServerCredentials>();
  ca->privateKey = crypto::generateRsaKey(2048);
  ca->certificate = issueWith(nullptr, ca->privateKey.get(), ca->privateKey.get(), cn, true, 1);
  return ca;
}

// A DER CRL of the CA revoking the serial numbers given.
inline std::string makeCrl(const ServerCredentials& ca, std::initializer_list<long> revoked) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.certificate.get()));
  ASN1_TIME* now = X509_gmtime_adj(nullptr, -60);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 86400);
  X509_CRL_set1_lastUpdate(crl, now);
  X509_CRL_set1_nextUpdate(crl, next);
  for (long serial : revoked) {
    X509_REVOKED* r = X509_REVOKED_new();
    ASN1_INTEGER* s = ASN1_INTEGER_new();
    ASN1_INTEGER_set(s, serial);
    X509_REVOKED_set_serialNumber(r, s);
    X509_REVOKED_set_revocationDate(r, now);
    X509_CRL_add0_revoked(crl, r);
    ASN1_INTEGER_free(s);
  }
  X509_CRL_sort(crl);
  X509_CRL_sign(crl, ca.privateKey.get(), EVP_sha256());
  unsigned char* der = nullptr;
  const int n = i2d_X509_CRL(crl, &der);
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(n));
  OPENSSL_free(der);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  X509_CRL_free(crl);
  return out;
}

inline std::vector<std::uint8_t> hex(std::string_view h) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

}  // namespace securitytest
