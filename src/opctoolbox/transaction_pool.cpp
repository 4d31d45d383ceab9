#include "opctoolbox/transaction_pool.h"

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
    if (t.cancel) t.cancel();
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
    task.run();
  }
}

}  // namespace OpcToolbox
