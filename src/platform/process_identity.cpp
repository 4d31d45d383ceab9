#include "platform/process_identity.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/atomic_file.h"

namespace vexahv::platform {

namespace {

// The fields of /proc/<which>/stat after comm: "pid (comm) state ppid ..." where comm may
// hold blanks and parentheses, so they start after the last ')'. [0] is the state (field
// 3); field n is [n - 3]. Empty when the file cannot be read.
std::vector<std::string> statFields(const std::string& which) {
  std::string stat;
  if (readWholeFile("/proc/" + which + "/stat", stat, 4096)) return {};
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream in(stat.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; in >> field;) fields.push_back(std::move(field));
  return fields;
}

unsigned long long wholeNumber(const std::string& text) {
  char* end = nullptr;
  const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' ? n : 0;
}

}  // namespace

std::uint64_t processStartTime(pid_t pid) noexcept {
  if (pid <= 0) return 0;
  try {
    const std::vector<std::string> fields = statFields(std::to_string(pid));
    // A zombie has ended; only its exit status waits to be collected.
    if (fields.empty() || fields[0] == "Z" || fields[0] == "X") return 0;
    // The start time is field 22.
    return fields.size() > 19 ? wholeNumber(fields[19]) : 0;
  } catch (...) {
    return 0;
  }
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
    // utime and stime are fields 14 and 15; statm's second number is the resident pages.
    const std::vector<std::string> fields = statFields("self");
    std::string statm;
    if (fields.size() <= 12 || readWholeFile("/proc/self/statm", statm, 4096)) return false;
    unsigned long long size = 0, resident = 0;
    std::istringstream(statm) >> size >> resident;
    cpuSeconds = static_cast<double>(wholeNumber(fields[11]) + wholeNumber(fields[12])) /
                 static_cast<double>(::sysconf(_SC_CLK_TCK));
    residentBytes = static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
    return true;
  } catch (...) {
    return false;
  }
}

bool mayReadSecrets(uid_t caller) noexcept { return caller == 0 || caller == ::geteuid(); }

}  // namespace vexahv::platform
