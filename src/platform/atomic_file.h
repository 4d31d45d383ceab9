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
std::error_code replaceFileAtomically(const std::filesystem::path& target, std::string_view data,
                                      unsigned mode = 0644);

// Removes temporaries left by writers that died before their rename. Only safe while the
// caller holds whatever lock serialises writers of target.
void removeStaleTemporaries(const std::filesystem::path& target) noexcept;

}  // namespace vexahv::platform
