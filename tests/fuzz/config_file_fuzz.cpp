// The configuration file reader and writer over any text: no crash, no overflow, and a
// rewritten setting always reads back as written, whatever the rest of the file holds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/configuration_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool e = false, l = false;
  std::int32_t v = 600, lv = 0;
  std::atomic<bool> b{false};
  vexahv::applyConfigurationText(text, {e, l, v, lv, b});
  if (lv < 0 || lv > 9) std::abort();

  auto rewritten = vexahv::rewriteConfigurationText(text, "VerifyTime", "123");
  if (!rewritten) std::abort();
  v = 600;
  vexahv::applyConfigurationText(*rewritten, {e, l, v, lv, b});
  if (v != 123) std::abort();

  auto flag = vexahv::rewriteConfigurationText(text, "EventEnabled", "TRUE");
  if (!flag) std::abort();
  e = false;
  vexahv::applyConfigurationText(*flag, {e, l, v, lv, b});
  if (!e) std::abort();
  return 0;
}
