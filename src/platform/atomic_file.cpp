#include "platform/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>

#include "platform/unique_fd.h"

namespace vexahv::platform {
namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

constexpr std::string_view kTempMarker = ".tmp.";

std::error_code writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

std::error_code readWholeFile(const std::filesystem::path& file, std::string& out,
                              std::size_t maxBytes) {
  out.clear();
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return lastError();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return lastError();
  if (S_ISDIR(st.st_mode)) return std::make_error_code(std::errc::is_a_directory);
  if (static_cast<unsigned long long>(st.st_size) > maxBytes)
    return std::make_error_code(std::errc::file_too_large);
  std::string data;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    if (n == 0) break;
    if (data.size() + static_cast<std::size_t>(n) > maxBytes)
      return std::make_error_code(std::errc::file_too_large);
    data.append(buf, static_cast<std::size_t>(n));
  }
  out = std::move(data);
  return {};
}

std::error_code resolveSymlinks(const std::filesystem::path& file, std::filesystem::path& out) {
  // As the kernel does: at most 40 links, a relative one taken from its link's folder.
  out = file;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(out, ec))) return {};
    const std::filesystem::path next = std::filesystem::read_symlink(out, ec);
    if (ec) return ec;
    out = next.is_absolute() ? next : out.parent_path() / next;
  }
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

namespace {

enum class Secrecy { Plain, Secret };

// Group read survives only where someone chose it: a file of this process's group that
// others could not read (0640). A 0644 file is the umask's doing and becomes 0600.
unsigned secretMode(const struct stat& old) {
  const bool groupChosen = (old.st_mode & 0044) == 0040 && old.st_gid == ::getegid();
  return groupChosen ? 0640 : 0600;
}

std::error_code replace(const std::filesystem::path& link, std::string_view data, unsigned mode, Secrecy secrecy) {
  std::filesystem::path target;
  if (std::error_code ec = resolveSymlinks(link, target)) return ec;

  // An existing file keeps its mode and owner; one that nobody may write is left alone.
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) return lastError();
  if (exists) {
    if (!S_ISREG(old.st_mode)) return std::make_error_code(std::errc::invalid_argument);
    if ((old.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)
      return std::make_error_code(std::errc::permission_denied);
  }

  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp = target;
  temp += std::string(kTempMarker) + std::to_string(::getpid()) + "." +
          std::to_string(counter.fetch_add(1));

  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return lastError();
  std::error_code ec;
  if (exists) {
    struct stat made {};
    if (::fstat(fd.get(), &made) != 0) ec = lastError();
    if (!ec && (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
        ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
      ec = lastError();
    if (!ec && ::fchmod(fd.get(), secrecy == Secrecy::Secret ? secretMode(old) : old.st_mode & 07777) != 0)
      ec = lastError();
  } else if (secrecy == Secrecy::Secret && ::fchmod(fd.get(), 0600) != 0) {
    ec = lastError();  // the umask may have taken the owner's own bits
  }
  if (!ec) ec = writeAll(fd.get(), data);
  if (!ec && ::fsync(fd.get()) != 0) ec = lastError();
  if (!ec && ::close(fd.release()) != 0) ec = lastError();
  if (!ec && ::rename(temp.c_str(), target.c_str()) != 0) ec = lastError();
  if (ec) {
    ::unlink(temp.c_str());
    return ec;
  }
  // The rename is durable only once the directory entry is on disk.
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd) ::fsync(dfd.get());
  return {};
}

}  // namespace

std::error_code replaceFileAtomically(const std::filesystem::path& target, std::string_view data, unsigned mode) {
  return replace(target, data, mode, Secrecy::Plain);
}

std::error_code replaceSecretFileAtomically(const std::filesystem::path& target, std::string_view data) {
  // Created with no bit beyond the owner's, so no other reader can open it in between.
  return replace(target, data, 0600, Secrecy::Secret);
}

void removeStaleTemporaries(const std::filesystem::path& link) noexcept {
  std::filesystem::path target;
  if (resolveSymlinks(link, target)) return;
  std::error_code ec;
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  const std::string prefix = target.filename().string() + std::string(kTempMarker);
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // <target>.tmp.<pid>.<n>: another process that is alive may be writing it right now.
    int pid = 0;
    const char* digits = name.c_str() + prefix.size();
    std::from_chars(digits, name.c_str() + name.size(), pid);
    if (pid > 0 && pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM)) continue;
    std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace vexahv::platform
