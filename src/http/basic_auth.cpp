#include "http/basic_auth.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace vexahv::http {

std::optional<std::pair<std::string, std::string>> parseBasicAuthorization(std::string_view header) {
  constexpr std::string_view kScheme = "Basic ";
  if (header.size() <= kScheme.size() || header.size() > 4096) return std::nullopt;
  // The scheme's name is case-insensitive.
  for (std::size_t i = 0; i + 1 < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != std::tolower(static_cast<unsigned char>(kScheme[i]))) {
      return std::nullopt;
    }
  }
  std::string_view encoded = header.substr(kScheme.size());
  while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
  while (!encoded.empty() && encoded.back() == ' ') encoded.remove_suffix(1);
  if (encoded.empty() || encoded.size() % 4 != 0) return std::nullopt;
  if (!std::all_of(encoded.begin(), encoded.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=';
      })) {
    return std::nullopt;
  }
  std::vector<unsigned char> decoded(encoded.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(encoded.data()),
                                static_cast<int>(encoded.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding's bytes too.
  std::size_t size = static_cast<std::size_t>(n);
  if (encoded.ends_with("==")) size -= 2;
  else if (encoded.ends_with("=")) size -= 1;
  const std::string text(reinterpret_cast<const char*>(decoded.data()), size);
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  if (std::any_of(text.begin(), text.end(), [](char c) { return c == '\0'; })) return std::nullopt;
  return std::make_pair(text.substr(0, colon), text.substr(colon + 1));
}

namespace {

std::string digest(const std::string& user, const std::string& password) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  const std::string input = user + '\0' + password;
  EVP_Digest(input.data(), input.size(), out, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace

std::optional<std::string> BasicAuth::signIn(const char* header, const std::string& peer) {
  if (header == nullptr) return std::nullopt;
  auto credentials = parseBasicAuthorization(header);
  if (!credentials) return std::nullopt;
  const auto& [user, password] = *credentials;
  const std::string key = digest(user, password);
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    std::erase_if(remembered_, [&](const auto& kv) { return kv.second <= now; });
    if (remembered_.contains(key)) return user;
  }
  if (!check_ || !check_(user, password, peer)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (remembered_.size() >= kRemembered) {
    remembered_.erase(std::min_element(remembered_.begin(), remembered_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; }));
  }
  remembered_[key] = now + remember_;
  return user;
}

}  // namespace vexahv::http
