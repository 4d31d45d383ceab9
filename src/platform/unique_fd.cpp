#include "platform/unique_fd.h"

#include <unistd.h>

namespace vexahv::platform {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);  // EINTR on close still releases the descriptor on Linux
  fd_ = fd;
}

}  // namespace vexahv::platform
