#pragma once
// The names this host answers to, for the DNS names of its certificates.

#include <string>
#include <vector>

namespace vexahv::platform {

// The host name (as gethostname gives it) and "localhost"; no name service is asked, so
// this never waits on the network.
std::vector<std::string> hostNames();

}  // namespace vexahv::platform
