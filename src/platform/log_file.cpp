#include "platform/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace vexahv::platform {

UniqueFd openLogForAppend(const std::filesystem::path& file, unsigned mode) {
  return UniqueFd(::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, mode));
}

bool stillNamedBy(int fd, const std::filesystem::path& file) noexcept {
  struct stat open {}, named {};
  if (::fstat(fd, &open) != 0 || ::stat(file.c_str(), &named) != 0) return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace vexahv::platform
