#pragma once
// Every test runs against a fresh platform root and working directory of its own, removed
// afterwards, so tests never touch a user's state and never see each other's.

#include <filesystem>
#include <string>

namespace vexahv::test {

class ScratchEnvironment {
 public:
  ScratchEnvironment();
  ~ScratchEnvironment();
  ScratchEnvironment(const ScratchEnvironment&) = delete;
  ScratchEnvironment& operator=(const ScratchEnvironment&) = delete;

  const std::filesystem::path& root() const { return root_; }      // VEXAHV_ROOT
  const std::filesystem::path& workDir() const { return work_; }   // current directory

 private:
  std::filesystem::path base_;
  std::filesystem::path root_;
  std::filesystem::path work_;
  std::filesystem::path previousCwd_;
  std::string previousRoot_;
  bool hadRoot_ = false;
};

std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& text);

}  // namespace vexahv::test
