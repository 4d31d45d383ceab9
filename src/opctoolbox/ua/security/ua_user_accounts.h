#pragma once
// The users who may open sessions, in one file under the platform root ("users", mode
// 0600), one account a line:
//   name:role:$pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>   a password
//   name:role:x509:<SHA-1 thumbprint, hex>                                  a certificate
// '#' starts a comment line. Passwords are never stored, only PBKDF2-HMAC-SHA256 of them
// with a random salt; the command-line switches and the server share this code and lock.

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "opctoolbox/access_role.h"

namespace OpcToolbox::ua {

inline constexpr const char* kUsersFile = "users";
inline constexpr std::uint32_t kPasswordIterations = 600000;

struct UserAccount {
  enum class Kind { Password, Certificate };
  std::string name;
  Role role = Role::Reader;
  Kind kind = Kind::Password;
  std::string secret;  // the password's hash text, or the certificate's thumbprint (lower-case hex)
};

// 1 to 64 characters of letters, digits, '.', '_', '-' and '@'.
bool validUserName(std::string_view name);

// The accounts of a users file; empty on success, else the line and what is wrong.
std::string parseUserAccounts(std::string_view text, std::vector<UserAccount>& out);
std::string formatUserAccounts(const std::vector<UserAccount>& accounts);

// "$pbkdf2-sha256$..." of a password with a fresh salt; empty when OpenSSL fails.
std::string hashPassword(std::string_view password, std::uint32_t iterations = kPasswordIterations);
// Whether password matches the stored hash text (compared in constant time).
bool verifyPassword(std::string_view password, std::string_view stored);

// The users file with its lock: the command-line switches edit it, the server reads it.
class UserAccountsFile {
 public:
  explicit UserAccountsFile(std::filesystem::path file) : file_(std::move(file)) {}
  const std::filesystem::path& path() const { return file_; }
  // The accounts (none when the file does not exist); empty or the reason.
  std::string load(std::vector<UserAccount>& out) const;
  // Reads, changes and writes back the accounts under an exclusive lock, atomically and
  // with mode 0600. change returns empty to write, else the reason to leave the file be.
  std::string update(const std::function<std::string(std::vector<UserAccount>&)>& change) const;

 private:
  std::filesystem::path file_;
};

// The server's view of the users file: read again whenever the file has changed, so that
// an account added while the server runs counts at the next login.
class UserDirectory {
 public:
  explicit UserDirectory(std::filesystem::path file) : file_(std::move(file)) {}
  std::optional<UserAccount> find(std::string_view name);
  std::optional<UserAccount> findCertificate(std::string_view thumbprintHex);
  // Why the last read failed (a damaged file keeps the accounts read before), or empty.
  std::string problem();

 private:
  void refresh();  // under mutex_
  UserAccountsFile file_;
  std::mutex mutex_;
  std::vector<UserAccount> accounts_;
  std::filesystem::file_time_type stamp_{};
  std::uintmax_t size_ = static_cast<std::uintmax_t>(-1);
  std::string problem_;
};

}  // namespace OpcToolbox::ua
