// vexahv-sim: serves simulated HV mainframes on loopback addresses.
//   vexahv-sim --crate FILE [--crate FILE ...] [--port N] [--latency MS] [--tick MS]
//              [--control PORT] [--duration SECONDS]
//   vexahv-sim --send PORT COMMAND...     sends one control command, prints the answer

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/worker_thread.h"
#include "sim/crate_file.h"
#include "sim/simulator.h"

namespace {

using vexahv::platform::Ipv4Endpoint;
using vexahv::platform::Socket;

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

constexpr const char* kUsage =
    "usage: vexahv-sim --crate FILE [--crate FILE ...] [--port N] [--latency MS]\n"
    "                  [--tick MS] [--control PORT] [--duration SECONDS]\n"
    "       vexahv-sim --send PORT COMMAND...\n"
    "       vexahv-sim --help | --version\n"
    "  serves simulated mainframes from crate files; sim/README.md has the files' format\n"
    "  and the control commands\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool toNumber(const char* text, long min, long max, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && out >= min && out <= max;
}

bool readLine(Socket& s, std::string& line) {
  line.clear();
  char c = 0;
  std::size_t got = 0;
  while (line.size() < 4096) {
    if (s.receive(&c, 1, got) || got == 0) return !line.empty();
    if (c == '\n') return true;
    if (c != '\r') line += c;
  }
  return true;
}

int sendCommand(long port, int argc, char** argv, int from) {
  std::string command;
  for (int i = from; i < argc; ++i) command += std::string(i > from ? " " : "") + argv[i];
  Socket s;
  if (Socket::open(Socket::Kind::Tcp, s) ||
      s.connect({vexahv::platform::kLoopback, static_cast<std::uint16_t>(port)},
                std::chrono::milliseconds(2000))) {
    std::fprintf(stderr, "vexahv-sim: no simulator control on 127.0.0.1:%ld\n", port);
    return 1;
  }
  (void)s.setReceiveTimeout(std::chrono::milliseconds(5000));
  command += '\n';
  std::string answer;
  if (s.sendAll(command.data(), command.size()) || !readLine(s, answer)) {
    std::fprintf(stderr, "vexahv-sim: no answer from the simulator\n");
    return 1;
  }
  std::printf("%s\n", answer.c_str());
  return answer.rfind("OK", 0) == 0 ? 0 : 1;
}

// Serves control lines on 127.0.0.1:port, one connection at a time.
void controlLoop(std::stop_token stop, Socket& listener, vexahv::sim::Simulator& sim) {
  while (!stop.stop_requested()) {
    Socket peer;
    if (listener.accept(peer)) continue;
    (void)peer.setReceiveTimeout(std::chrono::milliseconds(5000));
    for (std::string line; !stop.stop_requested() && readLine(peer, line);) {
      const std::string answer = vexahv::sim::runControlCommand(sim, line) + "\n";
      if (peer.sendAll(answer.data(), answer.size())) break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  vexahv::sim::SimulatorSettings settings;
  std::vector<std::string> crates;
  long control = -1, duration = 0, v = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("vexahv-sim %s\n", VEXAHV_VERSION);
      return 0;
    }
    if (a == "--send" && hasValue && toNumber(argv[i + 1], 1, 65535, v) && i + 2 < argc) {
      return sendCommand(v, argc, argv, i + 2);
    } else if (a == "--crate" && hasValue) {
      crates.emplace_back(argv[++i]);
    } else if (a == "--port" && hasValue && toNumber(argv[i + 1], 1, 65535, v)) {
      settings.port = static_cast<std::uint16_t>(v);
      ++i;
    } else if (a == "--latency" && hasValue && toNumber(argv[i + 1], 0, 60000, v)) {
      settings.latencyMs = static_cast<int>(v);
      ++i;
    } else if (a == "--tick" && hasValue && toNumber(argv[i + 1], 10, 10000, v)) {
      settings.tick = std::chrono::milliseconds(v);
      ++i;
    } else if (a == "--control" && hasValue && toNumber(argv[i + 1], 1, 65535, v)) {
      control = v;
      ++i;
    } else if (a == "--duration" && hasValue && toNumber(argv[i + 1], 1, 86400 * 365, v)) {
      duration = v;
      ++i;
    } else {
      std::fprintf(stderr, "vexahv-sim: bad argument '%s'\n", argv[i]);
      return usage();
    }
  }
  if (crates.empty()) return usage();

  vexahv::sim::Simulator sim(settings);
  for (const auto& path : crates) {
    vexahv::sim::CrateSpec spec;
    std::string error;
    if (!vexahv::sim::readCrateFile(path, spec, error) || !sim.add(std::move(spec), error)) {
      std::fprintf(stderr, "vexahv-sim: %s\n", error.c_str());
      return 1;
    }
  }
  for (const auto& m : sim.mainframes()) {
    std::printf("vexahv-sim: %s (type %u) on %s\n", m->spec().name.c_str(), m->spec().systemType,
                Ipv4Endpoint{m->spec().address, m->port()}.toString().c_str());
  }

  Socket controlListener;
  vexahv::platform::WorkerThread controlThread;
  if (control > 0) {
    if (Socket::open(Socket::Kind::Tcp, controlListener) || controlListener.setReuseAddress(true) ||
        controlListener.bind({vexahv::platform::kLoopback, static_cast<std::uint16_t>(control)}) ||
        controlListener.listen(4)) {
      std::fprintf(stderr, "vexahv-sim: cannot listen for control on 127.0.0.1:%ld\n", control);
      return 1;
    }
    controlThread = vexahv::platform::WorkerThread(
        "sim-control", [&](std::stop_token st) { controlLoop(st, controlListener, sim); });
    std::printf("vexahv-sim: control on 127.0.0.1:%ld\n", control);
  }
  std::fflush(stdout);

  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  sim.run();
  for (long waited = 0; !gStop && (duration == 0 || waited < duration * 10); ++waited) {
    struct timespec ts{0, 100'000'000};
    nanosleep(&ts, nullptr);
  }
  controlListener.shutdown();
  controlThread.stopAndJoin();
  sim.stop();
  std::printf("vexahv-sim: stopped\n");
  return 0;
}
