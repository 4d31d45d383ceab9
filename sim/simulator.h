#pragma once
// Every simulated mainframe of one process and the tick that drives them.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/worker_thread.h"
#include "sim/simulated_mainframe.h"

namespace vexahv::sim {

struct SimulatorSettings {
  std::uint16_t port = 0;  // 0: the library's default port
  // Tests: the first mainframe takes a free port and the others share it.
  bool pickFreePort = false;
  std::chrono::milliseconds tick{100};
  std::chrono::milliseconds keepAlivePeriod{1000};
  int latencyMs = 0;
};

class Simulator {
 public:
  explicit Simulator(SimulatorSettings settings) : settings_(settings) {}
  ~Simulator() { stop(); }

  // Starts serving one more crate; error names what failed.
  bool add(CrateSpec spec, std::string& error);
  // Starts the tick thread.
  void run();
  void stop();

  // By name or dotted address.
  SimulatedMainframe* find(std::string_view nameOrAddress);
  const std::vector<std::unique_ptr<SimulatedMainframe>>& mainframes() const { return mainframes_; }
  std::uint16_t port() const;
  // One tick by hand (tests that drive time themselves).
  void step(bool keepAliveDue);

 private:
  void tickLoop(std::stop_token stop);

  SimulatorSettings settings_;
  std::vector<std::unique_ptr<SimulatedMainframe>> mainframes_;
  platform::WorkerThread ticker_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

// One control line ("silent CrateA on"), answered with "OK ..." or "ERROR ...".
std::string runControlCommand(Simulator& simulator, std::string_view line);

}  // namespace vexahv::sim
