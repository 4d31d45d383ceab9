#pragma once
// What a node of the address space stands for.

#include <cstdint>

namespace vexahv {

enum class ElementKind : std::int32_t {
  System = 0,
  SystemItem = 1,
  SystemProperty = 2,
  Board = 3,
  BoardInfo = 4,
  BoardParam = 5,
  BoardParamProperty = 6,
  Channel = 7,
  ChannelParam = 8,
  ChannelParamProperty = 9,
  ServerSetting = 10,
  // The Groups folder and each operators' group of channels in it.
  Group = 11,
};

// Connection status of a system: 0 pending, 1 ok, 2 failed.
inline constexpr std::int32_t kStatusPending = 0;
inline constexpr std::int32_t kStatusOk = 1;
inline constexpr std::int32_t kStatusKo = 2;
// "Pending", "Ok", "Ko", or "" for any other value.
const char* statusText(std::int32_t status) noexcept;

}  // namespace vexahv
