// The hive parser over any bytes: damage is rejected with a message, and whatever parses
// formats to text that parses back to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hive_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vexahv::platform::HiveData hive;
  std::string error;
  if (!vexahv::platform::parseHive(text, hive, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  const std::string once = vexahv::platform::formatHive(hive);
  vexahv::platform::HiveData again;
  if (!vexahv::platform::parseHive(once, again, error)) std::abort();
  if (vexahv::platform::formatHive(again) != once) std::abort();
  return 0;
}
