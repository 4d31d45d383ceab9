#include "opctoolbox/ua/settings/ua_security_settings.h"

#include <algorithm>

#include "opctoolbox/ua/encoding/ua_settings_text.h"

namespace OpcToolbox::ua {
namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string parseSwitch(std::string_view key, std::string_view value, bool& out) {
  const std::string v = lower(value);
  if (v == "true" || v == "on" || v == "yes") out = true;
  else if (v == "false" || v == "off" || v == "no") out = false;
  else return std::string(key) + " [" + shownSetting(value) + "] is not true or false";
  return {};
}

std::string parsePolicies(std::string_view value, std::vector<const SecurityPolicy*>& out) {
  std::vector<const SecurityPolicy*> next;
  if (lower(value) == "none") {
    out.clear();
    return {};
  }
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    const std::string_view name = trimSetting(value.substr(0, comma));
    value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    const SecurityPolicy* p = findSecurePolicy(name);
    if (p == nullptr) {
      return "securityPolicies: [" + shownSetting(name) +
             "] is not Basic256Sha256, Aes128_Sha256_RsaOaep or Aes256_Sha256_RsaPss";
    }
    if (std::find(next.begin(), next.end(), p) == next.end()) next.push_back(p);
  }
  if (next.empty()) return "securityPolicies is empty (say none to offer no secure policy)";
  out = std::move(next);
  return {};
}

std::string parsePath(std::string_view key, std::string_view value, std::filesystem::path& out) {
  if (value.empty() || value.find('\0') != std::string_view::npos) {
    return std::string(key) + " [" + shownSetting(value) + "] is not a file path";
  }
  out = std::filesystem::path(std::string(value));
  return {};
}

}  // namespace

SecurityFileSettings::SecurityFileSettings() {
  for (const SecurityPolicy& p : securePolicies()) policies.push_back(&p);
}

std::string parseSecuritySettings(std::string_view text, SecurityFileSettings& out) {
  SecurityFileSettings next = out;
  const std::string bad = forEachSetting(text, [&](std::string_view key, std::string_view value) -> std::string {
    if (key == "securityPolicies") return parsePolicies(value, next.policies);
    if (key == "noneForSessions") return parseSwitch(key, value, next.noneForSessions);
    if (key == "anonymousSessions") return parseSwitch(key, value, next.anonymousSessions);
    if (key == "trustAllClients") return parseSwitch(key, value, next.trustAllClients);
    if (key == "anonymousRole") {
      const auto role = parseRole(value);
      if (!role) return "anonymousRole [" + shownSetting(value) + "] is not reader, operator or admin";
      next.anonymousRole = *role;
      return {};
    }
    if (key == "certificate") return parsePath(key, value, next.certificate);
    if (key == "privateKey") return parsePath(key, value, next.privateKey);
    return "unknown key [" + shownSetting(key) + "]";
  });
  if (!bad.empty()) return bad;
  if (next.policies.empty() && !next.noneForSessions) {
    return "no endpoint could carry a session: no secure policy and noneForSessions is false";
  }
  out = std::move(next);
  return {};
}

std::string readSecuritySettings(const std::filesystem::path& file, SecurityFileSettings& out) {
  return readSettingsFile(file, [&](std::string_view text) { return parseSecuritySettings(text, out); });
}

}  // namespace OpcToolbox::ua
