#include "platform/process_identity.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/atomic_file.h"

namespace vexahv::platform {

std::uint64_t processStartTime(pid_t pid) noexcept {
  if (pid <= 0) return 0;
  std::string stat;
  if (readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat, 4096)) return 0;
  // "pid (comm) state ppid ..." where comm may hold blanks and parentheses: the fields
  // start after the last ')'. The start time is field 22, the 20th after comm.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  fields >> field;
  // A zombie has ended; only its exit status waits to be collected.
  if (field == "Z" || field == "X") return 0;
  for (int i = 0; i < 19 && fields >> field; ++i) {
  }
  if (!fields) return 0;
  char* end = nullptr;
  const unsigned long long ticks = std::strtoull(field.c_str(), &end, 10);
  return end != field.c_str() && *end == '\0' ? ticks : 0;
}

bool sameProcessAlive(pid_t pid, std::uint64_t startTime) noexcept {
  return startTime != 0 && processStartTime(pid) == startTime;
}

std::filesystem::path executablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

bool mayReadSecrets(uid_t caller) noexcept { return caller == 0 || caller == ::geteuid(); }

}  // namespace vexahv::platform
