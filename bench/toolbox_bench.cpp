// The toolbox's hot paths: item-id look-up in a large address space, and valueChanged on
// observed items (the path every event and poll result takes to the subscriptions).
//   build/bin/toolbox_bench

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "opctoolbox/da_address_space_root.h"

namespace {

using namespace OpcToolbox;

// 10 systems x 10 boards x 50 channels x 20 parameters = 100,000 items.
struct Space {
  DaAddressSpaceRoot root;
  std::vector<std::string> ids;
  std::vector<ElementPtr> items;
  Space() {
    for (int s = 0; s < 10; ++s) {
      auto sys = std::make_shared<DaAddressSpaceElement>("", "S" + std::to_string(s), 1, 0, 0);
      root.addChild(sys);
      for (int b = 0; b < 10; ++b) {
        auto board = std::make_shared<DaAddressSpaceElement>("", "Board" + std::to_string(b), 1, 0, 0);
        sys->addChild(board);
        for (int c = 0; c < 50; ++c) {
          auto chan = std::make_shared<DaAddressSpaceElement>("", "Chan" + std::to_string(c), 1, 0, 0);
          board->addChild(chan);
          for (int p = 0; p < 20; ++p) {
            auto item = std::make_shared<DaAddressSpaceElement>("", "P" + std::to_string(p), 3, 2, VT_R4);
            chan->addChild(item);
            ids.push_back(item->getItemId());
            items.push_back(item);
          }
        }
      }
    }
  }
};

Space& space() {
  static Space s;
  return s;
}

void BM_FindByItemId(benchmark::State& state) {
  Space& s = space();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.root.findElement(s.ids[i]));
    i = (i + 7919) % s.ids.size();
  }
  state.counters["elements"] = static_cast<double>(s.root.elementCount());
}
BENCHMARK(BM_FindByItemId);

class Counter : public ValueObserver {
 public:
  void onValueChanged(DaAddressSpaceElement&, const ValueQT&) override { ++count; }
  std::size_t count = 0;
};

void BM_ValueChangedTo10000ObservedItems(benchmark::State& state) {
  Space& s = space();
  Counter counter;
  for (std::size_t i = 0; i < 10000; ++i) s.items[i]->addObserver(&counter);
  Variant v;
  v.setR4(1.5f);
  const ValueQT value(v, kQualityGood, DateTime::now());
  for (auto _ : state) {
    for (std::size_t i = 0; i < 10000; ++i) s.items[i]->valueChanged(value);
  }
  for (std::size_t i = 0; i < 10000; ++i) s.items[i]->removeObserver(&counter);
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_ValueChangedTo10000ObservedItems)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
