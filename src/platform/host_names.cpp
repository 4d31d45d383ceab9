#include "platform/host_names.h"

#include <unistd.h>

#include <climits>

namespace vexahv::platform {

std::vector<std::string> hostNames() {
  std::vector<std::string> names;
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0' && std::string(buffer) != "localhost") {
    names.emplace_back(buffer);
  }
  names.emplace_back("localhost");
  return names;
}

}  // namespace vexahv::platform
