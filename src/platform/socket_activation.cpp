#include "platform/socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

namespace vexahv::platform {

std::vector<UniqueFd> takeListeningSockets() {
  std::vector<UniqueFd> sockets;
  const int count = sd_listen_fds(1);
  for (int i = 0; i < count; ++i) {
    const int fd = SD_LISTEN_FDS_START + i;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Only a listening stream socket is of use; anything else is closed, not served.
    if (sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) > 0) sockets.emplace_back(fd);
    else UniqueFd discard(fd);
  }
  return sockets;
}

}  // namespace vexahv::platform
