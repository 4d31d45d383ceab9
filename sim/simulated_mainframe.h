#pragma once
// One simulated mainframe on the network: the protocol listener on its own loopback
// address, a thread per library connection, its model, its events and its faults.

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/socket.h"
#include "platform/worker_thread.h"
#include "sim/event_publisher.h"
#include "sim/mainframe_model.h"
#include "sim/request_handler.h"

namespace vexahv::sim {

class SimulatedMainframe {
 public:
  SimulatedMainframe(CrateSpec spec, std::uint16_t port);
  ~SimulatedMainframe();
  SimulatedMainframe(const SimulatedMainframe&) = delete;
  SimulatedMainframe& operator=(const SimulatedMainframe&) = delete;

  // Listens on the crate's address and the port (0: any free port, see port()).
  std::error_code start();
  void stop();

  const CrateSpec& spec() const { return model_.spec(); }
  std::uint16_t port() const { return port_; }
  MainframeModel& model() { return model_; }
  EventPublisher& events() { return events_; }
  Faults& faults() { return faults_; }

  void dropConnections();
  // Power cycle: every connection and subscription gone, values back to the crate file.
  void restart();
  bool removeBoard(std::uint16_t slot);
  bool insertBoard(std::uint16_t slot);
  // Out and in again as another board whose param spans low..high (MainframeModel).
  bool replaceBoard(std::uint16_t slot, std::string_view param, float low, float high);
  void tick(double seconds, bool keepAliveDue, double uptimeSeconds);
  std::size_t connectionCount();
  // Requests answered since start (benchmarks count library calls with it).
  std::uint64_t requestCount() const { return requests_.load(); }
  // Those of one operation (the calls that set channel parameters, say).
  std::uint64_t requestCount(hwlib::Op op) const {
    const auto k = static_cast<std::size_t>(op);
    return k < byOp_.size() ? byOp_[k].load() : 0;
  }

 private:
  struct Connection {
    platform::Socket socket;
    Session session;
    platform::WorkerThread thread;
    std::atomic<bool> finished{false};
  };

  void acceptLoop(std::stop_token stop);
  void serve(std::stop_token stop, Connection& connection);
  void reapFinished();

  MainframeModel model_;
  EventPublisher events_;
  Faults faults_;
  std::atomic<std::uint64_t> requests_{0};
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(hwlib::Op::Last) + 1> byOp_{};
  RequestContext context_{model_, events_, faults_};
  std::uint16_t port_;
  platform::Socket listener_;
  platform::WorkerThread acceptThread_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace vexahv::sim
