#include "platform/process_identity.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
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

namespace {

struct UserIds {
  uid_t uid;
  gid_t gid;
};

std::optional<UserIds> userNamed(const std::string& name) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return std::nullopt;
  return UserIds{found->pw_uid, found->pw_gid};
}

}  // namespace

std::string serviceUserOfMachine() {
  const char* chosen = std::getenv("VEXAHV_SERVICE_USER");
  const std::string name = chosen != nullptr && *chosen != '\0' ? chosen : "vexahv";
  const std::optional<UserIds> ids = userNamed(name);
  return ids && ids->uid != 0 ? name : std::string();
}

std::error_code handOverTree(const std::filesystem::path& dir, const std::string& user,
                             std::initializer_list<std::string_view> kept, std::string& reason) {
  const std::optional<UserIds> ids = userNamed(user);
  if (!ids) {
    reason = "no user [" + user + "]";
    return std::make_error_code(std::errc::invalid_argument);
  }
  auto give = [&](const std::filesystem::path& p) -> std::error_code {
    if (::lchown(p.c_str(), ids->uid, ids->gid) == 0) return {};
    reason = "cannot give [" + p.string() + "] to [" + user + "]";
    return {errno, std::system_category()};
  };
  if (std::error_code ec = give(dir)) return ec;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec); !ec && it != std::filesystem::end(it);
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it.depth() == 0 && std::find(kept.begin(), kept.end(), name) != kept.end()) {
      it.disable_recursion_pending();
      continue;
    }
    if (std::error_code given = give(it->path())) return given;
  }
  if (ec) reason = "cannot walk [" + dir.string() + "]";
  return ec;
}

bool processUsage(double& cpuSeconds, double& residentBytes) noexcept {
  cpuSeconds = residentBytes = 0;
  try {
    std::string stat, statm;
    if (readWholeFile("/proc/self/stat", stat, 4096) || readWholeFile("/proc/self/statm", statm, 4096)) return false;
    // After comm: state is field 3, utime and stime fields 14 and 15.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoull(field);
      if (i == 15) stime = std::stoull(field);
    }
    unsigned long long size = 0, resident = 0;
    std::istringstream(statm) >> size >> resident;
    cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    residentBytes = static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
    return true;
  } catch (...) {
    return false;
  }
}

bool mayReadSecrets(uid_t caller) noexcept { return caller == 0 || caller == ::geteuid(); }

}  // namespace vexahv::platform
