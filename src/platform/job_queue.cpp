#include "platform/job_queue.h"

namespace vexahv::platform {

JobQueue::JobQueue(std::string name, std::size_t maxWaiting)
    : maxWaiting_(maxWaiting), thread_(std::move(name), [this](std::stop_token st) { loop(st); }) {}

bool JobQueue::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || jobs_.size() >= maxWaiting_) return false;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void JobQueue::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  thread_.requestStop();
  wake_.notify_all();
  thread_.join();
}

void JobQueue::loop(std::stop_token stop) {
  while (true) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, stop, [this] { return !jobs_.empty(); });
      // Stopping: what waits still runs (each answers its request), then the thread ends.
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace vexahv::platform
