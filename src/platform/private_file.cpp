#include "platform/private_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vexahv::platform {
namespace {

std::error_code judge(const std::filesystem::path& path, const struct stat& st, bool directory,
                      std::string& reason) {
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    reason = path.string() + (directory ? " is not a directory" : " is not a regular file");
    return std::make_error_code(std::errc::permission_denied);
  }
  if (st.st_uid != ::geteuid()) {
    reason = path.string() + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    return std::make_error_code(std::errc::permission_denied);
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    reason = path.string() + " may be written by other users";
    return std::make_error_code(std::errc::permission_denied);
  }
  return {};
}

}  // namespace

std::error_code ensurePrivateDirectory(const std::filesystem::path& dir, std::string& reason) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    const std::error_code ec(errno, std::generic_category());
    reason = "cannot create " + dir.string() + ": " + ec.message();
    return ec;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    const std::error_code ec(errno, std::generic_category());
    reason = "cannot inspect " + dir.string() + ": " + ec.message();
    return ec;
  }
  return judge(dir, st, true, reason);
}

std::error_code lockPrivateDirectory(const std::filesystem::path& dir, FileLock& lock, std::string& reason) {
  if (const std::error_code ec = ensurePrivateDirectory(dir, reason)) return ec;
  if (const std::error_code ec = FileLock::acquire(dir / ".lock", FileLock::Mode::Exclusive, lock)) {
    reason = "cannot lock " + (dir / ".lock").string() + ": " + ec.message();
    return ec;
  }
  return {};
}

std::error_code checkPrivateFile(const std::filesystem::path& file, std::string& reason) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) {
    const std::error_code ec(errno, std::generic_category());
    if (errno != ENOENT) reason = "cannot inspect " + file.string() + ": " + ec.message();
    return ec;
  }
  return judge(file, st, false, reason);
}

}  // namespace vexahv::platform
