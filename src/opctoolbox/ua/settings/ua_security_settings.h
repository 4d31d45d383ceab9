#pragma once
// The security settings file under the platform root ("key = value" lines, as the endpoint
// settings): which secure policies are offered, whether SecurityPolicy None may carry
// sessions, whether anonymous sessions exist and what they may do (a reader's rights unless
// anonymousRole says more), whether every client certificate is trusted
// (commissioning only), and where the server's certificate and key are. Without a file the
// secure defaults hold: the three secure policies, None for discovery only. A bad line
// refuses the whole file, naming the line.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/access_role.h"
#include "opctoolbox/ua/crypto/ua_security_policy.h"

namespace OpcToolbox::ua {

struct SecurityFileSettings {
  std::vector<const SecurityPolicy*> policies;  // every secure policy unless the file says otherwise
  bool noneForSessions = false;
  bool anonymousSessions = true;
  Role anonymousRole = Role::Reader;  // what anonymous users may do
  bool trustAllClients = false;
  // Relative paths are relative to the platform root.
  std::filesystem::path certificate = "pki/own/certs/vexahv-opcserver.der";
  std::filesystem::path privateKey = "pki/own/private/vexahv-opcserver.pem";

  SecurityFileSettings();
};

// The settings of text over out: empty on success, else the reason (out is then unchanged).
std::string parseSecuritySettings(std::string_view text, SecurityFileSettings& out);
// The same for a file: a missing file is no error (the defaults hold).
std::string readSecuritySettings(const std::filesystem::path& file, SecurityFileSettings& out);

}  // namespace OpcToolbox::ua
