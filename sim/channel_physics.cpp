// The channel physics on a fixed tick: ramping toward the set voltage, the current through
// the load with a little noise, the trip after a sustained over-current, the status bits.

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "sim/mainframe_model.h"

namespace vexahv::sim {

void MainframeModel::tick(double seconds) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    if (!boards_[i].present) continue;
    for (Channel& ch : boards_[i].channels) stepChannel(boards_[i], physics_[i], ch, seconds);
  }
}

void MainframeModel::stepChannel(const Board& b, const PhysicsIndex& ix, Channel& c,
                                 double dt) {
  if (ix.vMon < 0) return;
  auto value = [&](int i, double fallback) {
    return i >= 0 ? c.params[static_cast<std::size_t>(i)].number : fallback;
  };
  auto store = [&](int i, double v) {
    if (i >= 0) c.params[static_cast<std::size_t>(i)].number = v;
  };
  constexpr double kNone = std::numeric_limits<double>::infinity();
  const bool on = value(ix.pw, 0) != 0;
  const double set = value(ix.v0Set, 0);
  const double svMax = value(ix.svMax, kNone);
  const double hvMax = ix.hvMax >= 0 ? b.params[static_cast<std::size_t>(ix.hvMax)].number : kNone;
  const double target = on ? std::min({set, svMax, hvMax}) : 0.0;
  double v = value(ix.vMon, 0);
  std::uint32_t status = on ? kStatusOn : 0;

  if (v < target) {
    v = std::min(target, v + value(ix.rUp, 50.0) * dt);
    if (v < target) status |= kStatusRampUp;
  } else if (v > target) {
    v = std::max(target, v - value(ix.rDwn, 50.0) * dt);
    if (v > target) status |= kStatusRampDown;
  }
  v = std::round(v * 100.0) / 100.0;

  // Volts over megaohms give microamperes.
  double current = v / b.spec->loadMegaOhm;
  if (v > 0) {
    std::normal_distribution<double> noise(0.0, 0.002);
    current = std::max(0.0, current * (1.0 + noise(noise_)));
  }
  current = std::round(current * 1000.0) / 1000.0;

  const double limit = value(ix.i0Set, kNone);
  if (current > limit) {
    status |= kStatusOverCurrent;
    c.overCurrentSeconds += dt;
    if (ix.trip >= 0 && c.overCurrentSeconds >= value(ix.trip, kNone)) {
      store(ix.pw, 0);
      c.flags |= kStatusTripped;
      c.overCurrentSeconds = 0;
      status &= ~kStatusOn;
    }
  } else {
    c.overCurrentSeconds = 0;
  }
  const bool ramping = (status & (kStatusRampUp | kStatusRampDown)) != 0;
  if (on && !ramping) {
    if (v > set * 1.02 + 1.0) status |= kStatusOverVoltage;
    if (v < target * 0.98 - 1.0) status |= kStatusUnderVoltage;
  }
  if (on && ix.svMax >= 0 && set >= svMax && v >= svMax - 0.5) status |= kStatusMaxV;
  status |= c.flags;

  store(ix.vMon, v);
  store(ix.iMon, current);
  store(ix.status, status);
}

}  // namespace vexahv::sim
