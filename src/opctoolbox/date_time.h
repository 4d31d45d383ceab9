#pragma once
// A UTC point in time with 100 ns resolution, counted from 1601-01-01 like the OPC UA
// DateTime (and the Windows FILETIME). Zero means "not set".

#include <chrono>
#include <cstdint>
#include <string>

namespace OpcToolbox {

class DateTime {
 public:
  DateTime() = default;
  static DateTime now() noexcept;
  static DateTime fromTicks(std::int64_t ticks) noexcept;
  static DateTime fromSystemClock(std::chrono::system_clock::time_point t) noexcept;

  // Resets to "not set".
  void init() noexcept { ticks_ = 0; }
  bool isSet() const noexcept { return ticks_ != 0; }
  std::int64_t ticks() const noexcept { return ticks_; }
  std::chrono::system_clock::time_point toSystemClock() const noexcept;
  // "YYYY-MM-DDThh:mm:ss.fffffffZ"
  std::string toString() const;

  auto operator<=>(const DateTime&) const = default;

 private:
  std::int64_t ticks_ = 0;
};

}  // namespace OpcToolbox
