#pragma once
// What a client's user may do: readers browse, read and subscribe; operators also write
// channel and board parameters, names and commands; admins also write system properties
// and the server's settings. Each writable item names the least role that may write it.

#include <cstdint>
#include <optional>
#include <string_view>

namespace OpcToolbox {

enum class Role : std::uint8_t { Reader = 0, Operator = 1, Admin = 2 };

constexpr std::string_view roleName(Role r) {
  return r == Role::Admin ? "admin" : r == Role::Operator ? "operator" : "reader";
}

constexpr std::optional<Role> parseRole(std::string_view s) {
  if (s == "reader") return Role::Reader;
  if (s == "operator") return Role::Operator;
  if (s == "admin") return Role::Admin;
  return std::nullopt;
}

constexpr bool mayWrite(Role user, Role required) { return static_cast<int>(user) >= static_cast<int>(required); }

}  // namespace OpcToolbox
