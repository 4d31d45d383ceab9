#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

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

std::error_code replaceFileAtomically(const std::filesystem::path& target, std::string_view data,
                                      unsigned mode) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp = target;
  temp += std::string(kTempMarker) + std::to_string(::getpid()) + "." +
          std::to_string(counter.fetch_add(1));

  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return lastError();
  std::error_code ec = writeAll(fd.get(), data);
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

void removeStaleTemporaries(const std::filesystem::path& target) noexcept {
  std::error_code ec;
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  const std::string prefix = target.filename().string() + std::string(kTempMarker);
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0) std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace vexahv::platform
