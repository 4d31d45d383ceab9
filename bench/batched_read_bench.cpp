// A device read of "VMon" and "IMon" of the 48 channels of one board with the simulator
// answering each call after 2 ms: batched (one library call per parameter and slot)
// against item by item. Counters: library calls per read.
//   build/bin/batched_read_bench

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

constexpr const char* kCrate =
    "mainframe name=Bench address=127.0.0.61 type=0 slots=1\n"
    "command name=Kill\ncommand name=ClearAlarm\n"
    "board slot=0 model=A1535 description=\"48 Ch\" serial=1 firmware=1.0 channels=48\n"
    "channelparam name=V0Set type=numeric mode=rw min=0 max=3000 unit=2 exp=0 value=0\n"
    "channelparam name=VMon type=numeric mode=ro min=0 max=3000 unit=2 exp=0 value=0\n"
    "channelparam name=IMon type=numeric mode=ro min=0 max=3000 unit=1 exp=-6 value=0\n"
    "channelparam name=Pw type=onoff mode=rw value=0\n";

void BM_Read48x2(benchmark::State& state) {
  const bool batched = state.range(0) != 0;
  vexahv::bench::ServedCrate crate(kCrate, "Bench,0,0,127.0.0.61");
  vexahv::VEXAHVServerGlobals::eventEnabled = false;
  vexahv::VEXAHVOPCServer::create();
  auto& server = *vexahv::VEXAHVOPCServer::getInstance();
  server.setApplicationIdentity();
  server.initialize(std::make_unique<vexahv::VEXAHVCreator>());
  server.start();
  server.buildAddressSpace();
  vexahv::sim::runControlCommand(crate.simulator(), "latency Bench 2");

  vexahv::VEXAHVCreator creator;
  OpcToolbox::RequestList requests;
  auto* root = OpcToolbox::getApp()->getDaAddressSpaceRoot();
  for (const char* p : {"VMon", "IMon"}) {
    for (int ch = 0; ch < 48; ++ch) {
      char id[64];
      std::snprintf(id, sizeof id, "Bench.Board00.Chan%03d.%s", ch, p);
      auto e = root->findElement(id);
      if (!e) std::abort();
      requests.push_back(creator.createRequest(OpcToolbox::EnumTransactionType::Read, 1, e, 0, 1));
    }
  }
  vexahv::VEXAHVServerGlobals::setUseBatchedGroupTransactions(batched);
  const std::uint64_t before = crate.requests();
  for (auto _ : state) {
    auto t = creator.createTransaction(OpcToolbox::EnumTransactionType::Read, requests, 1);
    t->handleReadRequests();
  }
  state.counters["library_calls_per_read"] =
      static_cast<double>(crate.requests() - before) / static_cast<double>(state.iterations());
  for (const auto& node : server.getSystemList()->snapshot()) VEXAHV_DeinitSystem(node->getHandle());
  server.stop();
  server.terminate();
  vexahv::VEXAHVOPCServer::destroy();
}
BENCHMARK(BM_Read48x2)->ArgName("batched")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
