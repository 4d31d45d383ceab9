#include "opctoolbox/transaction_pool.h"

#include <exception>
#include <string>

#include "opctoolbox/results.h"
#include "platform/diagnostics.h"

namespace OpcToolbox {

TransactionPool::TransactionPool(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) {
    threads_.emplace_back("tb-worker", [this](std::stop_token st) { work(st); });
  }
}

bool TransactionPool::submit(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queue_.push_back(std::move(task));
  }
  ready_.post();
  return true;
}

void TransactionPool::stop() {
  std::deque<Task> cancelled;
  {
    std::lock_guard lock(mutex_);
    if (stopped_ && queue_.empty() && threads_.empty()) return;
    stopped_ = true;
    cancelled.swap(queue_);
  }
  for (auto& t : cancelled) {
    if (t.cancel) t.cancel(E_ABORT);
  }
  for (auto& t : threads_) {
    t.requestStop();
    ready_.post();
  }
  threads_.clear();  // joins
}

std::size_t TransactionPool::queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t TransactionPool::cancel(std::uint32_t session, std::uint32_t tag, long reason) {
  if (tag == 0) return 0;
  std::vector<std::function<void(long)>> hooks;
  {
    std::lock_guard lock(mutex_);
    // Left in the queue with nothing to do: each queued task holds one wake-up of a worker.
    for (Task& t : queue_) {
      if (t.session != session || t.tag != tag || !t.run) continue;
      t.run = nullptr;
      t.tag = 0;
      hooks.push_back(std::move(t.cancel));
      t.cancel = nullptr;
    }
  }
  for (auto& hook : hooks) {
    if (hook) hook(reason);
  }
  return hooks.size();
}

bool TransactionPool::runHere(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
  }
  run(task);
  return true;
}

void TransactionPool::work(std::stop_token stop) {
  for (;;) {
    Task task;
    ready_.wait();
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty() || stop.stop_requested()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    run(task);
  }
}

void TransactionPool::run(Task& task) {
  if (!task.run) return;  // cancelled while it waited
  {
    std::string fault;
    try {
      task.run();
    } catch (const std::exception& e) {
      fault = e.what();
    } catch (...) {
      fault = "an unknown exception";
    }
    if (fault.empty()) return;
    vexahv::platform::reportDiagnostic("a transaction failed with " + fault + "; its requests are answered as failed");
    try {
      if (task.cancel) task.cancel(E_UNEXPECTED);
    } catch (...) {
      // Nothing more can be told to the issuer.
    }
  }
}

}  // namespace OpcToolbox
