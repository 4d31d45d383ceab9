#include "platform/platform_root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace vexahv::platform {

std::filesystem::path platformRoot() {
  if (const char* env = std::getenv("VEXAHV_ROOT"); env && *env) return env;
  if (::geteuid() == 0) return "/var/lib/vexahv";
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
    return std::filesystem::path(xdg) / "vexahv";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    if (const passwd* pw = ::getpwuid(::geteuid())) home = pw->pw_dir;
  }
  if (!home || !*home) home = "/tmp";
  return std::filesystem::path(home) / ".local" / "state" / "vexahv";
}

std::error_code ensureDirectory(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return ec;
  if (!std::filesystem::is_directory(dir, ec))
    return ec ? ec : std::make_error_code(std::errc::not_a_directory);
  return {};
}

std::error_code ensurePlatformRoot(std::filesystem::path& root) {
  root = platformRoot();
  return ensureDirectory(root);
}

}  // namespace vexahv::platform
