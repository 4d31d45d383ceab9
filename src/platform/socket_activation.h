#pragma once
// Listening sockets handed over by the service manager (systemd's socket activation:
// LISTEN_FDS and LISTEN_PID, descriptors from 3 on).

#include <vector>

#include "platform/unique_fd.h"

namespace vexahv::platform {

// The passed listening TCP sockets, owned by the caller, close-on-exec; empty when none
// were passed to this process. Clears the variables so that no child takes them too.
std::vector<UniqueFd> takeListeningSockets();

}  // namespace vexahv::platform
