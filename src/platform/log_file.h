#pragma once
// The log file as a rotating tool leaves it: opened for appending, and told apart from
// whatever now has its name (after a move, a new file, or none), so the writer can follow.

#include <filesystem>

#include "platform/unique_fd.h"

namespace vexahv::platform {

// Opens file for appending (created with mode), or an invalid descriptor with errno set.
UniqueFd openLogForAppend(const std::filesystem::path& file, unsigned mode = 0644);

// True while file still names the open file fd: false once it was moved, removed or
// replaced by another.
bool stillNamedBy(int fd, const std::filesystem::path& file) noexcept;

}  // namespace vexahv::platform
