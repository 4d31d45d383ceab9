#include "opctoolbox/ua/security/ua_user_accounts.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <charconv>

#include "opctoolbox/ua/crypto/ua_crypto.h"
#include "opctoolbox/ua/encoding/ua_settings_text.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"

namespace OpcToolbox::ua {
namespace {

constexpr std::string_view kPbkdf2 = "$pbkdf2-sha256$";
constexpr std::size_t kSaltBytes = 16, kHashBytes = 32;

std::string base64(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<crypto::Bytes> unbase64(std::string_view text, std::size_t expected) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 256) return std::nullopt;
  crypto::Bytes out(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t size = static_cast<std::size_t>(n);
  if (text.back() == '=') --size;
  if (text.size() > 1 && text[text.size() - 2] == '=') --size;
  out.resize(size);
  if (out.size() != expected) return std::nullopt;
  return out;
}

struct ParsedHash {
  std::uint32_t iterations = 0;
  crypto::Bytes salt, hash;
};

std::optional<ParsedHash> parseHash(std::string_view stored) {
  if (stored.substr(0, kPbkdf2.size()) != kPbkdf2) return std::nullopt;
  stored.remove_prefix(kPbkdf2.size());
  const std::size_t a = stored.find('$');
  if (a == std::string_view::npos) return std::nullopt;
  const std::size_t b = stored.find('$', a + 1);
  if (b == std::string_view::npos) return std::nullopt;
  ParsedHash h;
  const std::string_view count = stored.substr(0, a);
  const auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), h.iterations);
  if (ec != std::errc() || end != count.data() + count.size() || h.iterations < 1000 || h.iterations > 100000000) {
    return std::nullopt;
  }
  auto salt = unbase64(stored.substr(a + 1, b - a - 1), kSaltBytes);
  auto hash = unbase64(stored.substr(b + 1), kHashBytes);
  if (!salt || !hash) return std::nullopt;
  h.salt = std::move(*salt);
  h.hash = std::move(*hash);
  return h;
}

bool pbkdf2(std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t iterations,
            std::uint8_t* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(), static_cast<int>(salt.size()),
                           static_cast<int>(iterations), EVP_sha256(), static_cast<int>(kHashBytes), out) == 1;
}

bool hexThumbprint(std::string_view s) {
  if (s.size() != 40) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool validUserName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-' || c == '@';
    if (!ok) return false;
  }
  return true;
}

std::string parseUserAccounts(std::string_view text, std::vector<UserAccount>& out) {
  std::vector<UserAccount> next;
  const std::string bad = forEachLine(text, [&](std::string_view line) -> std::string {
    if (line.empty() || line.front() == '#') return {};
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
    if (b == std::string_view::npos) return "not \"name:role:secret\"";
    UserAccount account;
    account.name = std::string(line.substr(0, a));
    if (!validUserName(account.name)) return "the user name is not 1 to 64 letters, digits, . _ - @";
    const auto role = parseRole(line.substr(a + 1, b - a - 1));
    if (!role) return "the role is not reader, operator or admin";
    account.role = *role;
    const std::string_view secret = line.substr(b + 1);
    if (secret.substr(0, 5) == "x509:") {
      account.kind = UserAccount::Kind::Certificate;
      if (!hexThumbprint(secret.substr(5))) return "the certificate thumbprint is not 40 lower-case hex digits";
      account.secret = std::string(secret.substr(5));
    } else {
      if (!parseHash(secret)) return "the password hash is not $pbkdf2-sha256$iterations$salt$hash";
      account.secret = std::string(secret);
    }
    for (const UserAccount& other : next) {
      if (other.name == account.name) return "the user " + account.name + " is listed twice";
    }
    if (next.size() >= 10000) return "more than 10000 users";
    next.push_back(std::move(account));
    return {};
  });
  if (!bad.empty()) return bad;
  out = std::move(next);
  return {};
}

std::string formatUserAccounts(const std::vector<UserAccount>& accounts) {
  std::string out = "# OPC UA users of vexahv-opcserver: name:role:secret. Edit with vexahv-opcserver --add-user,\n"
                    "# --remove-user and --list-users; passwords are stored as salted PBKDF2-HMAC-SHA256 only.\n";
  for (const UserAccount& a : accounts) {
    out += a.name + ":" + std::string(roleName(a.role)) + ":" +
           (a.kind == UserAccount::Kind::Certificate ? "x509:" + a.secret : a.secret) + "\n";
  }
  return out;
}

std::string hashPassword(std::string_view password, std::uint32_t iterations) {
  std::uint8_t salt[kSaltBytes], hash[kHashBytes];
  if (!crypto::randomFill(salt) || !pbkdf2(password, salt, iterations, hash)) return {};
  std::string out = std::string(kPbkdf2) + std::to_string(iterations) + "$" + base64(salt) + "$" + base64(hash);
  OPENSSL_cleanse(hash, sizeof hash);
  return out;
}

bool verifyPassword(std::string_view password, std::string_view stored) {
  const auto h = parseHash(stored);
  if (!h) return false;
  std::uint8_t hash[kHashBytes];
  const bool ok = pbkdf2(password, h->salt, h->iterations, hash) && crypto::equalConstantTime(hash, h->hash);
  OPENSSL_cleanse(hash, sizeof hash);
  return ok;
}

std::string UserAccountsFile::load(std::vector<UserAccount>& out) const {
  std::string text;
  if (const std::error_code ec = vexahv::platform::readWholeFile(file_, text, 4u << 20)) {
    if (ec == std::errc::no_such_file_or_directory) {
      out.clear();
      return {};
    }
    return "cannot read [" + file_.string() + "]: " + ec.message();
  }
  if (std::string bad = parseUserAccounts(text, out); !bad.empty()) return "[" + file_.string() + "] " + bad;
  return {};
}

std::string UserAccountsFile::update(const std::function<std::string(std::vector<UserAccount>&)>& change) const {
  vexahv::platform::FileLock lock;
  std::filesystem::path lockFile = file_;
  lockFile += ".lock";
  if (const std::error_code ec = vexahv::platform::FileLock::acquire(lockFile, vexahv::platform::FileLock::Mode::Exclusive, lock)) {
    return "cannot lock [" + lockFile.string() + "]: " + ec.message();
  }
  std::vector<UserAccount> accounts;
  if (std::string bad = load(accounts); !bad.empty()) return bad;  // a damaged file is never overwritten
  if (std::string refused = change(accounts); !refused.empty()) return refused;
  if (const std::error_code ec = vexahv::platform::replaceSecretFileAtomically(file_, formatUserAccounts(accounts))) {
    return "cannot write [" + file_.string() + "]: " + ec.message();
  }
  return {};
}

void UserDirectory::refresh() {
  std::error_code ec;
  const auto stamp = std::filesystem::last_write_time(file_.path(), ec);
  const auto size = ec ? 0 : std::filesystem::file_size(file_.path(), ec);
  if (ec) {
    if (!std::filesystem::exists(file_.path())) {
      accounts_.clear();  // no file, no users
      problem_.clear();
      size_ = 0;
      stamp_ = {};
    }
    return;
  }
  if (stamp == stamp_ && size == size_) return;
  std::vector<UserAccount> fresh;
  problem_ = file_.load(fresh);
  if (problem_.empty()) accounts_ = std::move(fresh);
  stamp_ = stamp;
  size_ = size;
}

std::optional<UserAccount> UserDirectory::find(std::string_view name) {
  std::lock_guard lock(mutex_);
  refresh();
  for (const UserAccount& a : accounts_) {
    if (a.name == name && a.kind == UserAccount::Kind::Password) return a;
  }
  return std::nullopt;
}

std::optional<UserAccount> UserDirectory::findCertificate(std::string_view thumbprintHex) {
  std::lock_guard lock(mutex_);
  refresh();
  for (const UserAccount& a : accounts_) {
    if (a.kind == UserAccount::Kind::Certificate && a.secret == thumbprintHex) return a;
  }
  return std::nullopt;
}

std::string UserDirectory::problem() {
  std::lock_guard lock(mutex_);
  refresh();
  return problem_;
}

}  // namespace OpcToolbox::ua
