#include "sim/simulator.h"

#include "hwlib/VEXAHVWrapper.h"
#include "platform/interruptible_sleep.h"

namespace vexahv::sim {

bool Simulator::add(CrateSpec spec, std::string& error) {
  for (const auto& m : mainframes_) {
    if (m->spec().address == spec.address || m->spec().name == spec.name) {
      error = "crate " + spec.name + ": name or address already served";
      return false;
    }
  }
  std::uint16_t port = settings_.port != 0 ? settings_.port : VEXAHV_DEFAULT_PORT;
  if (settings_.pickFreePort) port = mainframes_.empty() ? 0 : mainframes_.front()->port();
  auto m = std::make_unique<SimulatedMainframe>(std::move(spec), port);
  m->faults().latencyMs = settings_.latencyMs;
  if (auto ec = m->start()) {
    error = "crate " + m->spec().name + ": cannot listen on " +
            platform::Ipv4Endpoint{m->spec().address, port}.toString() + ": " + ec.message();
    return false;
  }
  mainframes_.push_back(std::move(m));
  return true;
}

std::uint16_t Simulator::port() const {
  return mainframes_.empty() ? settings_.port : mainframes_.front()->port();
}

void Simulator::run() {
  ticker_ = platform::WorkerThread("sim-tick", [this](std::stop_token st) { tickLoop(st); });
}

void Simulator::stop() {
  ticker_.stopAndJoin();
  for (auto& m : mainframes_) m->stop();
}

SimulatedMainframe* Simulator::find(std::string_view nameOrAddress) {
  for (auto& m : mainframes_) {
    if (m->spec().name == nameOrAddress ||
        platform::Ipv4Endpoint{m->spec().address, 0}.addressText() == nameOrAddress) {
      return m.get();
    }
  }
  return nullptr;
}

void Simulator::step(bool keepAliveDue) {
  const double dt = std::chrono::duration<double>(settings_.tick).count();
  const double uptime =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  for (auto& m : mainframes_) m->tick(dt, keepAliveDue, uptime);
}

void Simulator::tickLoop(std::stop_token stop) {
  auto next = std::chrono::steady_clock::now();
  auto nextKeepAlive = next;
  while (!stop.stop_requested()) {
    const auto now = std::chrono::steady_clock::now();
    const bool keepAliveDue = now >= nextKeepAlive;
    if (keepAliveDue) nextKeepAlive = now + settings_.keepAlivePeriod;
    step(keepAliveDue);
    next += settings_.tick;
    if (next < now) next = now;  // a slow tick skips ahead rather than bursting
    platform::sleepFor(stop, std::chrono::duration_cast<std::chrono::milliseconds>(next - now));
  }
}

}  // namespace vexahv::sim
