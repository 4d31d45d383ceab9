#pragma once
// Files that decide what the server does with the machine (service records, firewall
// rules) are trusted only when no other user could have written them: owned by this
// process's user, not writable by group or others, and not symlinks.

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_lock.h"

namespace vexahv::platform {

// Creates dir (mode 0700) when missing; refuses an existing one that another user owns
// or may write. reason names the fault for the caller's message.
std::error_code ensurePrivateDirectory(const std::filesystem::path& dir, std::string& reason);
// ensurePrivateDirectory, then the directory's own lock (<dir>/.lock), held exclusively by
// `lock` until it is released: one writer at a time across processes and threads.
std::error_code lockPrivateDirectory(const std::filesystem::path& dir, FileLock& lock, std::string& reason);
// Success for a missing file (errc::no_such_file_or_directory is returned, reason empty)
// is the caller's to decide; an existing file must be a regular file of this user's,
// writable by no one else, or errc::permission_denied with the reason.
std::error_code checkPrivateFile(const std::filesystem::path& file, std::string& reason);

}  // namespace vexahv::platform
