#include "core/user_admin.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/security/ua_user_accounts.h"
#include "platform/atomic_file.h"
#include "platform/platform_root.h"
#include "platform/terminal.h"

namespace vexahv {
namespace {

namespace ua = OpcToolbox::ua;

struct Wiped {
  std::string text;
  ~Wiped() {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  }
};

int usage(const char* why) {
  std::fprintf(stderr,
               "vexahv-opcserver: %s\n"
               "usage: vexahv-opcserver --add-user NAME --role reader|operator|admin [--certificate FILE]\n"
               "       vexahv-opcserver --remove-user NAME\n"
               "       vexahv-opcserver --list-users\n",
               why);
  return 2;
}

// The new password: typed twice on a terminal, one line from a pipe.
bool readPassword(Wiped& password) {
  const bool terminal = platform::standardInputIsTerminal();
  if (terminal) std::fputs("Password: ", stderr);
  if (!platform::readStandardInputLine(password.text, true)) {
    std::fputs("vexahv-opcserver: no password given on standard input\n", stderr);
    return false;
  }
  if (terminal) {
    Wiped again;
    std::fputs("Password again: ", stderr);
    if (!platform::readStandardInputLine(again.text, true) || again.text != password.text) {
      std::fputs("vexahv-opcserver: the two passwords differ; nothing changed\n", stderr);
      return false;
    }
  }
  if (password.text.size() < 8 || password.text.size() > 256) {
    std::fputs("vexahv-opcserver: a password has 8 to 256 characters; nothing changed\n", stderr);
    return false;
  }
  return true;
}

int addUser(const ua::UserAccountsFile& file, const std::string& name, const std::string& roleText,
            const char* certificateFile) {
  if (!ua::validUserName(name)) return usage("a user name has 1 to 64 letters, digits, '.', '_', '-' or '@'");
  const auto role = OpcToolbox::parseRole(roleText);
  if (!role) return usage("--role is reader, operator or admin");
  ua::UserAccount account{name, *role, ua::UserAccount::Kind::Password, {}};
  if (certificateFile != nullptr) {
    std::string text;
    if (const std::error_code ec = platform::readWholeFile(certificateFile, text, 1u << 20)) {
      std::fprintf(stderr, "vexahv-opcserver: cannot read [%s]: %s\n", certificateFile, ec.message().c_str());
      return 1;
    }
    const ua::crypto::Certificate c = ua::crypto::Certificate::fromDerOrPem(text);
    if (!c) {
      std::fprintf(stderr, "vexahv-opcserver: [%s] is not a certificate (DER or PEM)\n", certificateFile);
      return 1;
    }
    account.kind = ua::UserAccount::Kind::Certificate;
    account.secret = c.thumbprintHex();
  } else {
    Wiped password;
    if (!readPassword(password)) return 1;
    account.secret = ua::hashPassword(password.text);
    if (account.secret.empty()) {
      std::fputs("vexahv-opcserver: cannot hash the password\n", stderr);
      return 1;
    }
  }
  const std::string bad = file.update([&](std::vector<ua::UserAccount>& accounts) -> std::string {
    for (const ua::UserAccount& a : accounts) {
      if (a.name == name) return "the user " + name + " exists; --remove-user it first to replace it";
    }
    accounts.push_back(account);
    return {};
  });
  if (!bad.empty()) {
    std::fprintf(stderr, "vexahv-opcserver: %s\n", bad.c_str());
    return 1;
  }
  std::printf("added the %s %s to [%s]\n", std::string(OpcToolbox::roleName(*role)).c_str(), name.c_str(),
              file.path().c_str());
  return 0;
}

int removeUser(const ua::UserAccountsFile& file, const std::string& name) {
  const std::string bad = file.update([&](std::vector<ua::UserAccount>& accounts) -> std::string {
    const auto before = accounts.size();
    std::erase_if(accounts, [&](const ua::UserAccount& a) { return a.name == name; });
    return accounts.size() == before ? "there is no user " + name : std::string();
  });
  if (!bad.empty()) {
    std::fprintf(stderr, "vexahv-opcserver: %s\n", bad.c_str());
    return 1;
  }
  std::printf("removed the user %s from [%s]\n", name.c_str(), file.path().c_str());
  return 0;
}

int listUsers(const ua::UserAccountsFile& file) {
  std::vector<ua::UserAccount> accounts;
  if (const std::string bad = file.load(accounts); !bad.empty()) {
    std::fprintf(stderr, "vexahv-opcserver: %s\n", bad.c_str());
    return 1;
  }
  for (const ua::UserAccount& a : accounts) {
    std::printf("%-24s %-8s %s\n", a.name.c_str(), std::string(OpcToolbox::roleName(a.role)).c_str(),
                a.kind == ua::UserAccount::Kind::Certificate ? ("certificate " + a.secret).c_str() : "password");
  }
  if (accounts.empty()) std::printf("no users in [%s]\n", file.path().c_str());
  return 0;
}

}  // namespace

std::optional<int> runUserAdministration(int argc, char** argv) {
  const char *add = nullptr, *remove = nullptr, *role = nullptr, *certificate = nullptr;
  bool list = false, any = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&](const char*& out) {
      if (i + 1 < argc) out = argv[++i];
      else out = "";
    };
    if (a == "--add-user") value(add), any = true;
    else if (a == "--remove-user") value(remove), any = true;
    else if (a == "--list-users") list = any = true;
    else if (a == "--role") value(role);
    else if (a == "--certificate") value(certificate);
  }
  if (!any) return std::nullopt;
  if ((add != nullptr) + (remove != nullptr) + (list ? 1 : 0) != 1) {
    return usage("give one of --add-user, --remove-user and --list-users");
  }
  std::filesystem::path root;
  if (const std::error_code ec = platform::ensurePlatformRoot(root)) {
    std::fprintf(stderr, "vexahv-opcserver: cannot create [%s]: %s\n", platform::platformRoot().c_str(),
                 ec.message().c_str());
    return 1;
  }
  const ua::UserAccountsFile file(root / ua::kUsersFile);
  if (add != nullptr) {
    if (role == nullptr) return usage("--add-user needs --role");
    return addUser(file, add, role, certificate);
  }
  if (remove != nullptr) return removeUser(file, remove);
  return listUsers(file);
}

}  // namespace vexahv
