#pragma once
// Whole-file reads and crash-safe replacement: a reader sees either the old or the new
// content, never a half-written file.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace vexahv::platform {

// Reads the whole file. A file larger than maxBytes gives errc::file_too_large and
// leaves out empty; a missing file gives errc::no_such_file_or_directory.
std::error_code readWholeFile(const std::filesystem::path& file, std::string& out,
                              std::size_t maxBytes = 64u << 20);

// Writes data to a temporary file beside target, fsyncs it, renames it over target and
// fsyncs the directory. On any failure target is untouched and the temporary removed.
// A symlink is written through to the file it names. An existing file keeps its mode and
// owner (or is not replaced when its owner cannot be kept); one without any write
// permission (mode 0444, even for root) or that this process may not write gives
// errc::permission_denied. A new file gets mode (less the umask).
std::error_code replaceFileAtomically(const std::filesystem::path& target, std::string_view data,
                                      unsigned mode = 0644);

// replaceFileAtomically for a file that holds a password or a private key: readable by
// its owner alone (mode 0600 whatever the umask), or by its group too where an existing
// file of this process's group was 0640 already (the service's group); never by others,
// never executable. An existing file's wider mode is narrowed, not kept.
std::error_code replaceSecretFileAtomically(const std::filesystem::path& target, std::string_view data);

// Removes temporaries of target (through its symlinks) left by writers that died before
// their rename; those of live processes are kept. Only safe while the caller holds
// whatever serialises this process's writers of target.
void removeStaleTemporaries(const std::filesystem::path& target) noexcept;

// The file that path names once its symlinks are followed (path itself when it is none,
// or when the last link dangles: the missing file it names).
std::error_code resolveSymlinks(const std::filesystem::path& path, std::filesystem::path& out);

}  // namespace vexahv::platform
