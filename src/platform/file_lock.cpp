#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace vexahv::platform {

std::error_code FileLock::acquire(const std::filesystem::path& lockFile, Mode mode, FileLock& out) {
  out.release();
  UniqueFd fd(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return {errno, std::system_category()};
  const int op = mode == Mode::Shared ? LOCK_SH : LOCK_EX;
  while (::flock(fd.get(), op) != 0) {
    if (errno != EINTR) return {errno, std::system_category()};
  }
  out.fd_ = std::move(fd);
  return {};
}

}  // namespace vexahv::platform
