#pragma once
// In place of Sleep: a wait that a stop request ends at once.

#include <chrono>
#include <stop_token>

namespace vexahv::platform {

// True when the whole duration passed, false when stop was requested first.
bool sleepFor(std::stop_token stop, std::chrono::milliseconds duration);

}  // namespace vexahv::platform
