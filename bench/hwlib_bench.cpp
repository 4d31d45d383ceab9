// Library call rates against an in-process simulated crate on loopback, latency 0.
//   build/bin/hwlib_bench
// Small call: one system-property read. Channel reads: "VMon" of 48 channels of one
// board, as one call and as 48 calls of one channel.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
#include "sim/crate_file.h"
#include "sim/simulator.h"

namespace {

std::string crateText() {
  std::string t =
      "mainframe name=Bench address=127.0.0.50 type=0 slots=16\n"
      "property name=SwRelease type=text mode=ro value=\"1.0\"\n"
      "board slot=0 model=A1535 description=\"48 Ch\" serial=1 firmware=1.0 channels=48\n"
      "channelparam name=V0Set type=numeric mode=rw min=0 max=3000 value=0\n"
      "channelparam name=VMon type=numeric mode=ro value=0\n"
      "channelparam name=IMon type=numeric mode=ro value=0\n"
      "channelparam name=Pw type=onoff mode=rw value=0\n";
  for (int s = 1; s < 16; ++s) t += "board slot=" + std::to_string(s) + " like=0\n";
  return t;
}

struct Crate {
  std::unique_ptr<vexahv::sim::Simulator> sim;
  int handle = -1;
  Crate() {
    vexahv::sim::SimulatorSettings settings;
    settings.pickFreePort = true;
    sim = std::make_unique<vexahv::sim::Simulator>(settings);
    vexahv::sim::CrateSpec spec;
    std::string error;
    if (!vexahv::sim::parseCrateText(crateText(), spec, error) || !sim->add(std::move(spec), error)) {
      std::abort();
    }
    ::setenv("VEXAHV_MAINFRAME_PORT", std::to_string(sim->port()).c_str(), 1);
    if (VEXAHV_InitSystem(0, 0, "127.0.0.50", "", "", &handle) != VEXAHV_OK) std::abort();
  }
};

Crate& crate() {
  static Crate c;
  return c;
}

void BM_SmallCall(benchmark::State& state) {
  const int h = crate().handle;
  char text[VEXAHV_SYSPROP_TEXT_SIZE];
  for (auto _ : state) {
    if (VEXAHV_GetSysProp(h, "SwRelease", text) != VEXAHV_OK) state.SkipWithError("call failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SmallCall)->UseRealTime();
BENCHMARK(BM_SmallCall)->Threads(4)->UseRealTime();

std::vector<std::uint16_t> channels48() {
  std::vector<std::uint16_t> c(48);
  for (std::uint16_t i = 0; i < 48; ++i) c[i] = i;
  return c;
}

void BM_GetChParam48OneCall(benchmark::State& state) {
  const int h = crate().handle;
  const auto chans = channels48();
  std::vector<float> values(48);
  for (auto _ : state) {
    if (VEXAHV_GetChParam(h, 3, "VMon", 48, chans.data(), values.data()) != VEXAHV_OK) {
      state.SkipWithError("call failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * 48);
}
BENCHMARK(BM_GetChParam48OneCall)->UseRealTime();

void BM_GetChParam48SingleCalls(benchmark::State& state) {
  const int h = crate().handle;
  float value = 0;
  for (auto _ : state) {
    for (std::uint16_t c = 0; c < 48; ++c) {
      if (VEXAHV_GetChParam(h, 3, "VMon", 1, &c, &value) != VEXAHV_OK) state.SkipWithError("call failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * 48);
}
BENCHMARK(BM_GetChParam48SingleCalls)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
