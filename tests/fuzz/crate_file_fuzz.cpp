// The crate-file parser over any text: no crash, no overflow; a file it accepts builds a
// mainframe that answers and ticks.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/crate_file.h"
#include "sim/mainframe_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vexahv::sim::CrateSpec spec;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!vexahv::sim::parseCrateText(text, spec, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  vexahv::sim::MainframeModel model(std::move(spec));
  model.tick(0.1);
  const auto map = model.crateMap();
  if (map.size() != model.spec().slots) std::abort();
  (void)model.execute("Kill");
  model.tick(0.1);
  // Every value of every board, after the physics ran.
  for (const auto& b : model.spec().boards) {
    for (std::uint16_t c = 0; c < b.channels; ++c) {
      for (const auto& p : b.channelParams) {
        vexahv::sim::WireValue v;
        (void)model.valueOf({b.slot, c, p.name}, v);
      }
    }
  }
  return 0;
}
