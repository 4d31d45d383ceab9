// The log calls sit on every hot path of the server: a line filtered out by the ceiling
// must cost next to nothing, and a written line must not serialise threads for long.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "logging/logging.h"

namespace {

struct ScratchRoot {
  ScratchRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexahv-bench-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
    ::setenv("VEXAHV_ROOT", dir.c_str(), 1);
  }
  ~ScratchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::filesystem::path dir;
};

void BM_FilteredOut(benchmark::State& state) {
  ScratchRoot root;
  vexahv::startLogging(3);
  const std::string name = "S1.Board01.Chan002.VMon";
  for (auto _ : state) vexahv::logDebug("Reading item [", name, "] value ", 1234, " done");
  vexahv::stopLogging();
}
BENCHMARK(BM_FilteredOut);

void BM_Written(benchmark::State& state) {
  static ScratchRoot* root = nullptr;
  if (state.thread_index() == 0) {
    root = new ScratchRoot;
    vexahv::startLogging(7);
  }
  const std::string name = "S1.Board01.Chan002.VMon";
  for (auto _ : state) vexahv::logDebug("Reading item [", name, "] value ", 1234, " done");
  if (state.thread_index() == 0) {
    vexahv::stopLogging();
    delete root;
  }
}
BENCHMARK(BM_Written)->Threads(1)->Threads(4);

}  // namespace

BENCHMARK_MAIN();
