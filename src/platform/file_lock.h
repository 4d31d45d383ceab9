#pragma once
// An advisory whole-file lock (flock) held for the object's lifetime. Each lock opens the
// lock file afresh, so it also excludes other threads of the same process.

#include <filesystem>
#include <system_error>

#include "platform/unique_fd.h"

namespace vexahv::platform {

class FileLock {
 public:
  enum class Mode { Shared, Exclusive };

  FileLock() = default;
  // Blocks until the lock is held; creates the lock file when missing.
  static std::error_code acquire(const std::filesystem::path& lockFile, Mode mode, FileLock& out);

  bool held() const noexcept { return static_cast<bool>(fd_); }
  void release() noexcept { fd_.reset(); }

 private:
  UniqueFd fd_;
};

}  // namespace vexahv::platform
