#pragma once
// Sign-in to the HTTP endpoint by HTTP Basic (RFC 7617) as one of the server's users:
// the Authorization header decoded and checked by the process's password check, which is
// slow and paced on purpose. A success is remembered for a minute (by a hash of the
// credentials, never the password itself), so a scraper that asks every second costs one
// check a minute.

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vexahv::http {

// Whether user and password are a server user's (any role): may block for the check.
using PasswordCheck = std::function<bool(const std::string& user, const std::string& password, const std::string& peer)>;

// "Basic <base64 of user:password>" split into user and password; nullopt when the header
// is no such thing.
std::optional<std::pair<std::string, std::string>> parseBasicAuthorization(std::string_view header);

class BasicAuth {
 public:
  explicit BasicAuth(PasswordCheck check, std::chrono::seconds remember = std::chrono::seconds(60))
      : check_(std::move(check)), remember_(remember) {}
  // header: the request's Authorization (null: none). The user it signed in as, or nullopt.
  std::optional<std::string> signIn(const char* header, const std::string& peer);

 private:
  static constexpr std::size_t kRemembered = 64;  // credentials remembered at most
  const PasswordCheck check_;
  const std::chrono::seconds remember_;
  std::mutex mutex_;
  std::map<std::string, std::chrono::steady_clock::time_point> remembered_;  // hash -> until when
};

}  // namespace vexahv::http
