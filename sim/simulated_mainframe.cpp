#include "sim/simulated_mainframe.h"

#include "hwlib/mainframe_protocol.h"
#include "hwlib/wire_codec.h"
#include "platform/interruptible_sleep.h"

namespace vexahv::sim {
namespace {
constexpr std::size_t kMaxConnections = 64;
}

SimulatedMainframe::SimulatedMainframe(CrateSpec spec, std::uint16_t port)
    : model_(std::move(spec)), events_(model_, model_.spec().address), port_(port) {}

SimulatedMainframe::~SimulatedMainframe() { stop(); }

std::error_code SimulatedMainframe::start() {
  platform::Socket listener;
  if (auto ec = platform::Socket::open(platform::Socket::Kind::Tcp, listener)) return ec;
  (void)listener.setReuseAddress(true);
  if (auto ec = listener.bind({spec().address, port_})) return ec;
  if (auto ec = listener.listen(64)) return ec;
  platform::Ipv4Endpoint local;
  if (auto ec = listener.localEndpoint(local)) return ec;
  port_ = local.port;
  listener_ = std::move(listener);
  acceptThread_ = platform::WorkerThread("sim-accept", [this](std::stop_token st) { acceptLoop(st); });
  return {};
}

void SimulatedMainframe::stop() {
  listener_.shutdown();
  acceptThread_.stopAndJoin();
  dropConnections();
  std::list<std::unique_ptr<Connection>> all;
  {
    std::lock_guard lock(mutex_);
    all.swap(connections_);
  }
  all.clear();  // joins every connection thread
  events_.clear();
}

void SimulatedMainframe::acceptLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    platform::Socket peer;
    platform::Ipv4Endpoint from;
    if (listener_.accept(peer, &from)) {
      if (stop.stop_requested()) return;
      platform::sleepFor(stop, std::chrono::milliseconds(10));
      continue;
    }
    reapFinished();
    std::lock_guard lock(mutex_);
    if (connections_.size() >= kMaxConnections) continue;  // peer closes as it goes out of scope
    (void)peer.setNoDelay(true);
    auto c = std::make_unique<Connection>();
    c->socket = std::move(peer);
    c->session.peer = from;
    Connection& ref = *c;
    connections_.push_back(std::move(c));
    ref.thread = platform::WorkerThread("sim-conn", [this, &ref](std::stop_token st) { serve(st, ref); });
  }
}

void SimulatedMainframe::serve(std::stop_token stop, Connection& c) {
  std::vector<std::uint8_t> body;
  while (!stop.stop_requested()) {
    std::uint8_t length[hwlib::kLengthSize];
    // A busy client sends its next request at once: catch it without going to sleep.
    platform::spinUntilReadable(c.socket.fd(), std::chrono::microseconds(100));
    if (c.socket.receiveAll(length, sizeof length)) break;
    const std::uint32_t size = hwlib::loadLe32(length);
    if (size < hwlib::kRequestHeadSize || size > hwlib::kMaxBodySize) break;  // not our protocol
    body.resize(size);
    if (c.socket.receiveAll(body.data(), body.size())) break;
    bool close = false;
    const auto response = handleRequest(context_, c.session, body, close);
    ++requests_;
    if (hwlib::RequestView request; hwlib::parseRequest(body, request) && request.opcode < byOp_.size()) {
      ++byOp_[request.opcode];
    }
    // A silent mainframe reads on and answers nothing.
    if (!faults_.silent.load()) {
      if (const int latency = faults_.latencyMs.load(); latency > 0) {
        platform::sleepFor(stop, std::chrono::milliseconds(latency));
      }
      if (!response.empty() && c.socket.sendAll(response.data(), response.size())) break;
    }
    if (close) break;
  }
  c.socket.shutdown();
  c.finished = true;
}

void SimulatedMainframe::reapFinished() {
  std::list<std::unique_ptr<Connection>> done;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->finished) {
        done.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  done.clear();  // joins outside the lock
}

void SimulatedMainframe::dropConnections() {
  std::lock_guard lock(mutex_);
  for (auto& c : connections_) c->socket.shutdown();
  events_.breakTcpConnections();
}

void SimulatedMainframe::restart() {
  dropConnections();
  events_.clear();
  model_.reset();
}

bool SimulatedMainframe::removeBoard(std::uint16_t slot) {
  if (!model_.removeBoard(slot)) return false;
  events_.boardChanged(slot, false);
  return true;
}

bool SimulatedMainframe::insertBoard(std::uint16_t slot) {
  if (!model_.insertBoard(slot)) return false;
  events_.boardChanged(slot, true);
  return true;
}

bool SimulatedMainframe::replaceBoard(std::uint16_t slot, std::string_view param, float low, float high) {
  if (!model_.replaceBoard(slot, param, low, high)) return false;
  events_.boardChanged(slot, false);
  events_.boardChanged(slot, true);
  return true;
}

void SimulatedMainframe::tick(double seconds, bool keepAliveDue, double uptimeSeconds) {
  model_.tick(seconds);
  if (!faults_.silent.load()) events_.publish(keepAliveDue, uptimeSeconds);
}

std::size_t SimulatedMainframe::connectionCount() {
  reapFinished();
  std::lock_guard lock(mutex_);
  return connections_.size();
}

}  // namespace vexahv::sim
