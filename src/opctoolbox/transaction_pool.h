#pragma once
// The toolbox's worker threads: transactions run here, so a slow device read never holds
// up the caller's thread, cache reads or value notifications. Stopping runs nothing new:
// queued work is cancelled (its cancel hook answers its issuer), running work finishes,
// every thread is joined. A task that throws is answered through its cancel hook and
// the worker goes on.

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/wake_semaphore.h"
#include "platform/worker_thread.h"

namespace OpcToolbox {

class TransactionPool {
 public:
  struct Task {
    std::function<void()> run;
    // Answers the issuer when run does not: E_ABORT at stop, E_UNEXPECTED when run threw.
    std::function<void(long reason)> cancel;
    // Who may cancel it while it waits: a session's request (tag 0: nobody).
    std::uint32_t session = 0, tag = 0;
  };

  explicit TransactionPool(unsigned threads);
  ~TransactionPool() { stop(); }

  // false when stopped (the task is not taken; nothing is called).
  bool submit(Task task);
  // Runs a task that cannot wait on a device at once on the caller's thread, as a worker
  // would run it (a throw is answered through its cancel hook); false when stopped.
  bool runHere(Task task);
  void stop();
  std::size_t queued() const;
  // The session's tasks of that tag still waiting are answered through their cancel hook
  // with reason and never run; a task already running finishes. How many there were.
  std::size_t cancel(std::uint32_t session, std::uint32_t tag, long reason);

 private:
  void work(std::stop_token stop);
  static void run(Task& task);

  mutable std::mutex mutex_;
  // One count per queued task, and one per thread at stop. A condition variable would
  // cost a third system call per transaction (its mutex is contended after every wake).
  vexahv::platform::WakeSemaphore ready_;
  std::deque<Task> queue_;
  bool stopped_ = false;
  std::vector<vexahv::platform::WorkerThread> threads_;
};

}  // namespace OpcToolbox
