// Building the address space of one crate of 16 boards of 48 channels over the simulator
// at latency 0: build time, library calls, and time per item.
//   build/bin/address_space_bench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "addressspace/vexahv_opc_server.h"
#include "config/server_globals.h"
#include "config/system_entries.h"
#include "core/vexahv_creator.h"
#include "hwlib/VEXAHVWrapper.h"
#include "sim/crate_file.h"
#include "sim/simulator.h"
#include "served_crate.h"

namespace {

std::string crateText() {
  std::string t =
      "mainframe name=Big address=127.0.0.60 type=0 slots=16\n"
      "property name=SwRelease type=text mode=ro value=\"1.0\"\n"
      "property name=IPAddr type=text mode=ro value=\"127.0.0.60\"\n"
      "command name=Kill\ncommand name=ClearAlarm\n"
      "board slot=0 model=A1535 description=\"48 Ch\" serial=1 firmware=1.0 channels=48\n"
      "boardparam name=Temp type=numeric mode=ro min=0 max=100 unit=4 value=30\n";
  for (const char* p : {"V0Set", "I0Set", "VMon", "IMon", "RUp", "RDWn", "SVMax", "Trip"}) {
    t += std::string("channelparam name=") + p + " type=numeric mode=rw min=0 max=3000 unit=2 exp=0 value=0\n";
  }
  t += "channelparam name=Pw type=onoff mode=rw value=0\nchannelparam name=Status type=chstatus mode=ro\n";
  for (int s = 1; s < 16; ++s) t += "board slot=" + std::to_string(s) + " like=0\n";
  return t;
}

void countItems(const OpcToolbox::ElementPtr& e, std::size_t& n) {
  for (const auto& c : e->getChildren()) {
    ++n;
    countItems(c, n);
  }
}

void BM_BuildCrate16x48(benchmark::State& state) {
  vexahv::bench::ServedCrate crate(crateText(), "Big,0,0,127.0.0.60");
  vexahv::VEXAHVServerGlobals::eventEnabled = false;

  std::size_t items = 0;
  std::uint64_t calls = 0;
  for (auto _ : state) {
    vexahv::VEXAHVOPCServer::create();
    auto& server = *vexahv::VEXAHVOPCServer::getInstance();
    server.setApplicationIdentity();
    server.initialize(std::make_unique<vexahv::VEXAHVCreator>());
    server.start();
    const std::uint64_t before = crate.requests();
    server.buildAddressSpace();
    calls = crate.requests() - before;
    state.PauseTiming();
    items = 0;
    for (const auto& c : OpcToolbox::getApp()->getDaAddressSpaceRoot()->getChildren()) {
      ++items;
      countItems(c, items);
    }
    for (const auto& node : server.getSystemList()->snapshot()) VEXAHV_DeinitSystem(node->getHandle());
    server.stop();
    server.terminate();
    vexahv::VEXAHVOPCServer::destroy();
    state.ResumeTiming();
  }
  state.counters["elements"] = static_cast<double>(items);
  state.counters["library_calls"] = static_cast<double>(calls);
  state.counters["us_per_element"] =
      benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_BuildCrate16x48)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
