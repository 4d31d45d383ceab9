#include "opctoolbox/date_time.h"

#include <cstdio>
#include <ctime>

namespace OpcToolbox {
namespace {
// 100 ns ticks from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
}  // namespace

DateTime DateTime::now() noexcept { return fromSystemClock(std::chrono::system_clock::now()); }

DateTime DateTime::fromTicks(std::int64_t ticks) noexcept {
  DateTime d;
  d.ticks_ = ticks;
  return d;
}

DateTime DateTime::fromSystemClock(std::chrono::system_clock::time_point t) noexcept {
  return fromTicks(std::chrono::duration_cast<Ticks>(t.time_since_epoch()).count() + kUnixEpochTicks);
}

std::chrono::system_clock::time_point DateTime::toSystemClock() const noexcept {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(Ticks(ticks_ - kUnixEpochTicks)));
}

std::string DateTime::toString() const {
  const std::int64_t sinceUnix = ticks_ - kUnixEpochTicks;
  std::int64_t seconds = sinceUnix / 10000000;
  std::int64_t fraction = sinceUnix % 10000000;
  if (fraction < 0) {
    fraction += 10000000;
    --seconds;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%07lldZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<long long>(fraction));
  return buf;
}

}  // namespace OpcToolbox
