#include "opctoolbox/ua/settings/ua_security_files.h"

#include "opctoolbox/ua/settings/ua_security_settings.h"
#include "opctoolbox/ua/security/ua_user_accounts.h"

namespace OpcToolbox::ua {

std::string loadSecurityConfiguration(const std::filesystem::path& root, const ServerIdentity& identity,
                                      const PkiLog& log, std::shared_ptr<const SecurityConfiguration>& out) {
  SecurityFileSettings file;
  if (std::string bad = readSecuritySettings(root / kSecuritySettingsFile, file); !bad.empty()) return bad;

  PkiOptions pki;
  pki.root = root / "pki";
  pki.certificate = root / file.certificate;  // an absolute path stays itself
  pki.privateKey = root / file.privateKey;
  pki.trustAllClients = file.trustAllClients;
  auto store = std::make_shared<PkiStore>(pki, log);
  std::shared_ptr<const ServerCredentials> credentials;
  if (!file.policies.empty()) {
    if (!crypto::useSecureHeap()) {
      log(SecurityLogLevel::Warning, "no secure heap for the private key: a core dump could hold it");
    }
    std::string error;
    credentials = store->loadOrCreateCredentials(identity.applicationUri, identity.applicationName, error);
    if (!credentials) {
      log(SecurityLogLevel::Error, error + "; no secure endpoint is offered");
      file.policies.clear();
    }
  }
  if (file.policies.empty() && !file.noneForSessions) {
    return "no endpoint could carry a session: no secure policy is available and noneForSessions is false";
  }
  if (file.trustAllClients) {
    log(SecurityLogLevel::Warning, "trustAllClients is on: EVERY client certificate is trusted. For commissioning "
                                   "only; switch it off in [" + (root / kSecuritySettingsFile).string() + "]");
  }
  if (file.noneForSessions) {
    log(SecurityLogLevel::Warning, "SecurityPolicy None carries sessions: their traffic is neither signed nor encrypted");
  }
  std::string offered;
  for (const SecurityPolicy* p : file.policies) offered += (offered.empty() ? "" : ", ") + std::string(p->name);
  log(SecurityLogLevel::Notice, "policies [" + (offered.empty() ? std::string("none") : offered) +
                                    "] with Sign and SignAndEncrypt" +
                                    (file.noneForSessions ? ", None for sessions" : ", None for discovery only") +
                                    (file.anonymousSessions
                                         ? ", anonymous sessions as " + std::string(roleName(file.anonymousRole)) + "s"
                                         : ", no anonymous sessions"));
  auto users = std::make_shared<UserDirectory>(root / kUsersFile);
  if (std::string bad = users->problem(); !bad.empty()) log(SecurityLogLevel::Error, bad + "; no user can log in");
  if (file.anonymousSessions && file.anonymousRole != Role::Reader) {
    log(SecurityLogLevel::Warning, "anonymous users are " + std::string(roleName(file.anonymousRole)) +
                                       "s: anyone who reaches the endpoint may write");
  }
  out = std::make_shared<SecurityConfiguration>(
      SecuritySettings{file.policies, file.noneForSessions, file.anonymousSessions, file.anonymousRole}, credentials,
      store, std::move(users));
  return {};
}

}  // namespace OpcToolbox::ua
