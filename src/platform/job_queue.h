#pragma once
// A thread of its own that runs the jobs posted to it, in order, with a bound on how many
// may wait: a job that does not fit is refused at once, so a flood of requests costs the
// one who sends it. Stopping runs what waits, then joins.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/worker_thread.h"

namespace vexahv::platform {

class JobQueue {
 public:
  JobQueue(std::string name, std::size_t maxWaiting);
  ~JobQueue() { stop(); }
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // False (the job not taken) when maxWaiting wait already, or after stop.
  bool post(std::function<void()> job);
  void stop();

 private:
  void loop(std::stop_token stop);

  const std::size_t maxWaiting_;
  std::mutex mutex_;  // leaf: no job runs under it
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopped_ = false;
  WorkerThread thread_;  // last: starts after, and stops before, the above
};

}  // namespace vexahv::platform
