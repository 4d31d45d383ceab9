// The simulator's run-time control: one line in, one line out. The commands and their
// arguments are listed in sim/README.md.

#include <charconv>
#include <cmath>
#include <sstream>
#include <vector>

#include "sim/simulator.h"

namespace vexahv::sim {
namespace {

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out;
  std::istringstream in{std::string(line)};
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool number(const std::string& text, long min, long max, long& out) {
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && p == text.data() + text.size() && out >= min && out <= max;
}

bool onOff(const std::string& text, bool& out) {
  if (text == "on") out = true;
  else if (text == "off") out = false;
  else return false;
  return true;
}

constexpr const char* kUsage =
    "ERROR commands: list | drop M | silent M on|off | latency M MS | refuse-login M on|off | "
    "break-events M | damage-udp M [N] | damage-tcp M [N] | remove M SLOT | insert M SLOT | "
    "replace M SLOT PARAM LOW HIGH | "
    "restart M | forget-events M | interlock M [on|off] | board-status M SLOT WORD | hv-limit M SLOT VOLTS   (M: name, address or *)";

}  // namespace

std::string runControlCommand(Simulator& simulator, std::string_view line) {
  const auto w = words(line);
  if (w.empty()) return kUsage;
  const std::string& cmd = w[0];
  if (cmd == "list") {
    std::string out = "OK";
    for (const auto& m : simulator.mainframes()) {
      out += " " + m->spec().name + "@" +
             platform::Ipv4Endpoint{m->spec().address, m->port()}.toString() + "/type" +
             std::to_string(m->spec().systemType) + "/conn" + std::to_string(m->connectionCount()) + "/req" +
             std::to_string(m->requestCount()) + "/ev" + std::to_string(m->events().recordsSent()) + "/set" +
             std::to_string(m->requestCount(hwlib::Op::SetChParam));
    }
    return out;
  }
  if (w.size() < 2) return kUsage;
  std::vector<SimulatedMainframe*> targets;
  if (w[1] == "*") {
    for (const auto& m : simulator.mainframes()) targets.push_back(m.get());
  } else if (auto* m = simulator.find(w[1])) {
    targets.push_back(m);
  } else {
    return "ERROR no mainframe named " + w[1];
  }
  const std::string arg = w.size() > 2 ? w[2] : "";
  long n = 0;
  bool flag = false;
  const std::size_t most = cmd == "replace"                               ? 6
                           : cmd == "board-status" || cmd == "hv-limit"   ? 4
                           : cmd == "drop" || cmd == "break-events" || cmd == "restart" || cmd == "forget-events" ? 2
                                                                          : 3;
  if (w.size() > most) {
    return "ERROR too many arguments for " + cmd;
  }
  if (cmd == "drop") {
    for (auto* m : targets) m->dropConnections();
  } else if (cmd == "silent" || cmd == "refuse-login") {
    if (!onOff(arg, flag)) return "ERROR " + cmd + " needs on or off";
    for (auto* m : targets) (cmd == "silent" ? m->faults().silent : m->faults().refuseLogin) = flag;
  } else if (cmd == "latency") {
    if (!number(arg, 0, 60000, n)) return "ERROR latency needs milliseconds from 0 to 60000";
    for (auto* m : targets) m->faults().latencyMs = static_cast<int>(n);
  } else if (cmd == "break-events") {
    for (auto* m : targets) m->events().breakTcpConnections();
  } else if (cmd == "damage-udp" || cmd == "damage-tcp") {
    n = 1;
    if (!arg.empty() && !number(arg, 1, 1000000, n)) return "ERROR " + cmd + " needs a count from 1";
    for (auto* m : targets) {
      if (cmd == "damage-udp") m->events().damageUdp(static_cast<int>(n));
      else m->events().damageTcp(static_cast<int>(n));
    }
  } else if (cmd == "remove" || cmd == "insert") {
    if (!number(arg, 0, 65535, n)) return "ERROR " + cmd + " needs a slot number";
    for (auto* m : targets) {
      const auto slot = static_cast<std::uint16_t>(n);
      const bool done = cmd == "remove" ? m->removeBoard(slot) : m->insertBoard(slot);
      if (!done) {
        return "ERROR " + m->spec().name + " has no " +
               (cmd == "remove" ? "board to remove" : "removed board to insert") + " in slot " + arg;
      }
    }
  } else if (cmd == "replace") {
    float low = 0, high = 0;
    const auto real = [](const std::string& text, float& out) {
      auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
      return ec == std::errc() && p == text.data() + text.size() && std::isfinite(out);
    };
    if (!number(arg, 0, 65535, n) || w.size() != 6 || !real(w[4], low) || !real(w[5], high) || !(low < high)) {
      return "ERROR replace needs a slot number, a parameter and its new limits, low below high";
    }
    for (auto* m : targets) {
      if (!m->replaceBoard(static_cast<std::uint16_t>(n), w[3], low, high)) {
        return "ERROR " + m->spec().name + " has no board with a numeric parameter " + w[3] + " in slot " + arg;
      }
    }
  } else if (cmd == "restart") {
    for (auto* m : targets) m->restart();
  } else if (cmd == "forget-events") {
    // Its subscriptions lost, its link kept: it answers every call and sends nothing.
    for (auto* m : targets) m->events().clear();
  } else if (cmd == "interlock") {
    flag = true;
    if (!arg.empty() && !onOff(arg, flag)) return "ERROR interlock needs on, off or nothing";
    for (auto* m : targets) m->model().interlock(flag);
  } else if (cmd == "board-status") {
    long word = 0;
    if (!number(arg, 0, 65535, n) || w.size() != 4 || !number(w[3], 0, 0xFFFFFFFFL, word)) {
      return "ERROR board-status needs a slot number and a status word";
    }
    for (auto* m : targets) {
      if (!m->model().setBoardStatus(static_cast<std::uint16_t>(n), static_cast<std::uint32_t>(word))) {
        return "ERROR " + m->spec().name + " has no board with a status word in slot " + arg;
      }
    }
  } else if (cmd == "hv-limit") {
    long volts = 0;
    if (!number(arg, 0, 65535, n) || w.size() != 4 || !number(w[3], 0, 100000, volts)) {
      return "ERROR hv-limit needs a slot number and volts";
    }
    for (auto* m : targets) {
      if (!m->model().setVoltageLimit(static_cast<std::uint16_t>(n), static_cast<double>(volts))) {
        return "ERROR " + m->spec().name + " has no board with a voltage limit in slot " + arg;
      }
    }
  } else {
    return kUsage;
  }
  return "OK " + cmd;
}

}  // namespace vexahv::sim
