#include "support/test_environment.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vexahv::test {

ScratchEnvironment::ScratchEnvironment() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexahv-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  root_ = base_ / "root";
  work_ = base_ / "work";
  std::filesystem::create_directories(root_);
  std::filesystem::create_directories(work_);
  if (const char* r = std::getenv("VEXAHV_ROOT")) {
    hadRoot_ = true;
    previousRoot_ = r;
  }
  ::setenv("VEXAHV_ROOT", root_.c_str(), 1);
  previousCwd_ = std::filesystem::current_path();
  std::filesystem::current_path(work_);
}

ScratchEnvironment::~ScratchEnvironment() {
  std::error_code ec;
  std::filesystem::current_path(previousCwd_, ec);
  if (hadRoot_) {
    ::setenv("VEXAHV_ROOT", previousRoot_.c_str(), 1);
  } else {
    ::unsetenv("VEXAHV_ROOT");
  }
  // Tests may leave files read-only to provoke failures; make them removable again.
  for (auto it = std::filesystem::recursive_directory_iterator(base_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(base_, ec);
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace vexahv::test
