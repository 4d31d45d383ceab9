#pragma once
// The one directory that holds every stand-in's state: registry hives, service records,
// firewall rules and the log directory. VEXAHV_ROOT overrides the default.

#include <filesystem>
#include <system_error>

namespace vexahv::platform {

// Where the root is: VEXAHV_ROOT, else /var/lib/vexahv for root, else
// $XDG_STATE_HOME/vexahv or ~/.local/state/vexahv. Does not touch the disk.
std::filesystem::path platformRoot();

// Creates dir and its parents when missing (mode 0755); an existing directory is fine.
std::error_code ensureDirectory(const std::filesystem::path& dir);

// platformRoot(), created on demand.
std::error_code ensurePlatformRoot(std::filesystem::path& root);

}  // namespace vexahv::platform
