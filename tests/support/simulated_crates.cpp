#include "support/simulated_crates.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "hwlib/VEXAHVWrapper.h"
#include "sim/crate_file.h"

namespace vexahv::test {

std::string sampleCratePath(const std::string& file) {
  return std::string(VEXAHV_SOURCE_DIR) + "/sim/crates/" + file;
}

SimulatedCrates::SimulatedCrates(int timeoutMs) {
  sim::SimulatorSettings settings;
  settings.pickFreePort = true;
  // The crates share the port the first one was given; on another address it may be
  // taken by a connection of a test running alongside: then all of them take another.
  std::string error;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (simulator_) simulator_->stop();
    simulator_ = std::make_unique<sim::Simulator>(settings);
    error.clear();
    for (const char* file : {"crate-a-udp.crate", "crate-b-tcp.crate", "crate-c-fu.crate"}) {
      sim::CrateSpec spec;
      if (!sim::readCrateFile(sampleCratePath(file), spec, error) || !simulator_->add(std::move(spec), error)) break;
    }
    if (error.empty() || error.find("cannot listen") == std::string::npos) break;
  }
  if (!error.empty()) ADD_FAILURE() << error;
  ::setenv("VEXAHV_MAINFRAME_PORT", std::to_string(simulator_->port()).c_str(), 1);
  ::setenv("VEXAHV_TIMEOUT_MS", std::to_string(timeoutMs).c_str(), 1);
}

SimulatedCrates::~SimulatedCrates() { simulator_->stop(); }

void SimulatedCrates::step(int n, bool keepAlive) {
  for (int i = 0; i < n; ++i) simulator_->step(keepAlive && i == 0);
}

namespace {
int open(int type, const char* address, const char* user, const char* password) {
  int handle = -1;
  const int rc = VEXAHV_InitSystem(type, VEXAHV_LINK_TCPIP, address, user, password, &handle);
  EXPECT_EQ(rc, VEXAHV_OK) << "init " << address;
  return rc == VEXAHV_OK ? handle : -1;
}
}  // namespace

int SimulatedCrates::openCrateA() { return open(0, "127.0.0.2", "qwzrt", "qwzrt"); }
int SimulatedCrates::openCrateB() { return open(2, "127.0.0.3", "admin", "hvsecret"); }
int SimulatedCrates::openCrateC() { return open(7, "127.0.0.4", "", ""); }

}  // namespace vexahv::test
