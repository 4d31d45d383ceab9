#include "platform/interruptible_sleep.h"

#include <condition_variable>
#include <mutex>

namespace vexahv::platform {

bool sleepFor(std::stop_token stop, std::chrono::milliseconds duration) {
  std::mutex mutex;
  std::condition_variable_any cv;
  std::unique_lock lock(mutex);
  // Nothing notifies but the stop token, so the predicate is the stop state alone.
  return !cv.wait_for(lock, stop, duration, [] { return false; }) && !stop.stop_requested();
}

}  // namespace vexahv::platform
