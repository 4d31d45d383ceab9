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
  wake_.notify_one();
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
  for (auto& t : threads_) t.requestStop();
  wake_.notify_all();
  threads_.clear();  // joins
}

std::size_t TransactionPool::queued() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void TransactionPool::work(std::stop_token stop) {
  for (;;) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      if (!wake_.wait(lock, stop, [&] { return !queue_.empty(); })) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task.run();
  }
}

}  // namespace OpcToolbox
