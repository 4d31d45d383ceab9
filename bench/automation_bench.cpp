// Round trips of the configuration interface against a running server, on the bus that
// DBUS_SESSION_BUS_ADDRESS names (bench/config_measure.js starts both):
//   build/bin/automation_bench [--benchmark_...]
#include <benchmark/benchmark.h>
#include <sdbus-c++/sdbus-c++.h>

#include "config/automation_names.h"
#include "vexahv_opc_service_proxy.h"

namespace {

struct Proxy final : sdbus::ProxyInterfaces<::VEXAHVOPCService::IVEXAHVOPCService_proxy> {
  Proxy() : ProxyInterfaces(sdbus::createSessionBusConnection(), vexahv::kAutomationBusName, vexahv::kAutomationObjectPath) {
    registerProxy();
  }
  ~Proxy() { unregisterProxy(); }
};

void BM_GetConnectionStatus(benchmark::State& state) {
  Proxy proxy;
  std::uint32_t i = 0;
  for (auto _ : state) {
    auto [hr, status] = proxy.getConnectionStatus(i++ % 100);
    benchmark::DoNotOptimize(hr);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_GetConnectionStatus)->Unit(benchmark::kMicrosecond);

// What `vexahv-config status` asks, without the process start: four reads and an entry
// and a status per system.
void BM_StatusOf100Systems(benchmark::State& state) {
  Proxy proxy;
  for (auto _ : state) {
    proxy.getRelease();
    proxy.getServerActivity();
    proxy.getClients();
    const auto [hr, systems] = proxy.getPowerSupplies();
    for (std::uint32_t i = 0; i < systems; ++i) {
      benchmark::DoNotOptimize(proxy.getEntry(i));
      benchmark::DoNotOptimize(proxy.getConnectionStatus(i));
    }
  }
}
BENCHMARK(BM_StatusOf100Systems)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
