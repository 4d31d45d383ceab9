#pragma once
// The sample crates served in process on loopback, with the library pointed at them.
// Time is driven by hand (step) unless a test starts the tick thread, so physics and
// events are deterministic.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/simulator.h"

namespace vexahv::test {

class SimulatedCrates {
 public:
  // Serves crate-a-udp, crate-b-tcp and crate-c-fu; timeoutMs becomes the library's
  // call time-out.
  explicit SimulatedCrates(int timeoutMs = 500);
  ~SimulatedCrates();

  sim::Simulator& simulator() { return *simulator_; }
  sim::SimulatedMainframe& crate(const std::string& name) { return *simulator_->find(name); }
  std::string control(const std::string& line) { return sim::runControlCommand(*simulator_, line); }
  // n ticks of 100 ms; the first one also sends keep-alives when keepAlive is set.
  void step(int n = 1, bool keepAlive = false);

  // VEXAHV_InitSystem for the sample crates; the handle, or -1 with a test failure.
  static int openCrateA();
  static int openCrateB();
  static int openCrateC();

 private:
  std::unique_ptr<sim::Simulator> simulator_;
};

std::string sampleCratePath(const std::string& file);

}  // namespace vexahv::test
