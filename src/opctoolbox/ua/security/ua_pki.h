#pragma once
// The certificate store under <platform root>/pki, laid out as open62541 and the .NET
// stack lay it out:
//   own/certs, own/private      this server's certificate (DER) and key (PEM, mode 0600)
//   trusted/certs, trusted/crl  the trust list: client certificates and CAs, and their CRLs
//   issuers/certs, issuers/crl  CAs that complete a chain without being trusted themselves
//   rejected/certs              certificates refused as untrusted; moving one to
//                               trusted/certs trusts it
// The folders are read at every check, so a moved file counts for the next connection.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "opctoolbox/ua/security/ua_security.h"

namespace OpcToolbox::ua {

struct PkiOptions {
  std::filesystem::path root;         // the pki folder
  std::filesystem::path certificate;  // the server's certificate (DER)
  std::filesystem::path privateKey;   // its key (PEM)
  bool trustAllClients = false;       // commissioning: any well-formed, current certificate
  std::size_t maxRejected = 100;      // the oldest rejected certificate makes room
};

enum class SecurityLogLevel { Error, Warning, Notice };
// Log lines of the store and of the security set-up.
using PkiLog = std::function<void(SecurityLogLevel level, const std::string& text)>;

class PkiStore final : public CertificateVerifier {
 public:
  PkiStore(PkiOptions options, PkiLog log);

  // Creates the folders, then loads the server's certificate and key, or, when neither
  // exists, makes them (RSA 2048, SHA-256, self-signed, the ApplicationUri and the host's
  // names in subjectAltName). Null with the reason when they cannot be had; nothing
  // existing is ever overwritten.
  std::shared_ptr<const ServerCredentials> loadOrCreateCredentials(const std::string& applicationUri,
                                                                   const std::string& applicationName,
                                                                   std::string& error);

  StatusCode verify(const std::vector<crypto::Certificate>& chain) override;

 private:
  void reject(const crypto::Certificate& certificate);

  const PkiOptions options_;
  const PkiLog log_;
  std::mutex rejectMutex_;
};

}  // namespace OpcToolbox::ua
