#pragma once
// The endpoint's security as the operator configured it in files under the platform root:
// the settings file (security.conf) and the certificate store (pki/), made into the
// configuration the endpoint serves, with a log line for everything an auditor should see.

#include <filesystem>
#include <memory>
#include <string>

#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/security/ua_pki.h"

namespace OpcToolbox::ua {

inline constexpr const char* kSecuritySettingsFile = "security.conf";

// Empty with out set, or why no endpoint may be served (a bad settings file, or no endpoint
// left that could carry a session): security fails closed.
std::string loadSecurityConfiguration(const std::filesystem::path& root, const ServerIdentity& identity,
                                      const PkiLog& log, std::shared_ptr<const SecurityConfiguration>& out);

}  // namespace OpcToolbox::ua
