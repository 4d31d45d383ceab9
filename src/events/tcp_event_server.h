#pragma once
// The TCP event channel of systems of type 2: the mainframe connects to this server from
// its own address and pushes event batches; the connection is given to the configured
// system of type 2 at that address and read by a client thread of that system.
//
// A connection from an address that is no configured system of type 2 is closed at once. A new
// connection of a system that still has a client thread ends the old thread first. A
// connection that delivers nothing for silenceTimeout (the mainframe sends a keep-alive
// record every second) is treated as failed: a mainframe whose cable is pulled keeps its
// connection half-open and silent, and would otherwise look alive for ever.

#include <chrono>
#include <cstdint>
#include <memory>

#include "addressspace/vexahv_element.h"
#include "platform/socket.h"
#include "platform/sync_event.h"
#include "platform/worker_thread.h"

namespace vexahv::events {

class TcpEventServer {
 public:
  explicit TcpEventServer(std::chrono::milliseconds silenceTimeout = std::chrono::seconds(10))
      : silenceTimeout_(silenceTimeout) {}
  ~TcpEventServer() { stop(); }
  TcpEventServer(const TcpEventServer&) = delete;
  TcpEventServer& operator=(const TcpEventServer&) = delete;

  // Starts the server thread; false (and the line of the log) when it cannot be created.
  bool start();
  // Set once the server listens or has given up: tcpEventPort is final then.
  platform::OneShotEvent& ready() { return ready_; }
  // Stops accepting and joins the server thread (client threads are the systems').
  void stop();

  // Ends a system's client thread, if it has one: its socket is shut down and the thread
  // joined. Never called from the client thread itself.
  static void endClientThread(VEXAHVElement& node);

 private:
  void run(std::stop_token stop);
  void serve(const VEXAHVElementPtr& node, platform::Socket connection);
  static void clientThread(std::stop_token stop, const VEXAHVElementPtr& node, std::chrono::milliseconds silence);

  const std::chrono::milliseconds silenceTimeout_;
  platform::OneShotEvent ready_;
  std::mutex listenerMutex_;
  platform::Socket listener_;
  platform::WorkerThread thread_;
};

}  // namespace vexahv::events
