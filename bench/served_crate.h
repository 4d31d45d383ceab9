#pragma once
// One crate described in text, served by an in-process simulator on loopback, with the
// library pointed at it, in a scratch platform root whose systems list holds it.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/system_entries.h"
#include "sim/crate_file.h"
#include "sim/simulator.h"

namespace vexahv::bench {

class ServedCrate {
 public:
  ServedCrate(const std::string& crateText, const std::string& systemEntry)
      : dir_(std::filesystem::temp_directory_path() / ("vexahv-bench-" + std::to_string(::getpid()))),
        sim_(settings()) {
    std::filesystem::create_directories(dir_);
    ::setenv("VEXAHV_ROOT", dir_.c_str(), 1);
    sim::CrateSpec spec;
    std::string error;
    if (!sim::parseCrateText(crateText, spec, error) || !sim_.add(std::move(spec), error)) std::abort();
    ::setenv("VEXAHV_MAINFRAME_PORT", std::to_string(sim_.port()).c_str(), 1);
    std::uint32_t count = 0;
    addSystemEntry(systemEntry, count);
  }
  ~ServedCrate() {
    sim_.stop();
    std::filesystem::remove_all(dir_);
  }
  sim::Simulator& simulator() { return sim_; }
  std::uint64_t requests() const { return sim_.mainframes().front()->requestCount(); }

 private:
  static sim::SimulatorSettings settings() {
    sim::SimulatorSettings s;
    s.pickFreePort = true;
    return s;
  }
  std::filesystem::path dir_;
  sim::Simulator sim_;
};

}  // namespace vexahv::bench
