#include "addressspace/crate_map.h"

#include <cstdio>

#include "hwlib/VEXAHVWrapper.h"

namespace vexahv {
namespace {

// The six lists of one crate map, freed on every path.
struct CrateMapLists {
  std::uint16_t* channels = nullptr;
  std::uint16_t* serials = nullptr;
  char* models = nullptr;
  char* descriptions = nullptr;
  std::uint8_t* minor = nullptr;
  std::uint8_t* major = nullptr;
  ~CrateMapLists() {
    for (void* list : {static_cast<void*>(channels), static_cast<void*>(models), static_cast<void*>(descriptions),
                       static_cast<void*>(serials), static_cast<void*>(minor), static_cast<void*>(major)}) {
      VEXAHV_Free(list);
    }
  }
};

// The next of n NUL-ended texts back to back.
std::string nextText(const char*& list) {
  if (list == nullptr) return {};
  std::string text(list);
  list += text.size() + 1;
  return text;
}

}  // namespace

std::string twoDigits(unsigned n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u", n);
  return buf;
}

int readCrateMap(std::int32_t handle, std::vector<SlotContent>& slots) {
  CrateMapLists l;
  std::uint16_t count = 0;
  const int rc = VEXAHV_GetCrateMap(handle, &count, &l.channels, &l.models, &l.descriptions, &l.serials, &l.minor, &l.major);
  if (rc != VEXAHV_OK) return rc;
  slots.assign(count, SlotContent{});
  const char* models = l.models;
  const char* descriptions = l.descriptions;
  for (std::uint16_t s = 0; s < count; ++s) {
    SlotContent& c = slots[s];
    c.channels = l.channels != nullptr ? l.channels[s] : 0;
    c.model = nextText(models);
    c.description = nextText(descriptions);
    c.serial = l.serials != nullptr ? l.serials[s] : 0;
    c.firmwareMajor = twoDigits(l.major != nullptr ? l.major[s] : 0);
    c.firmwareMinor = twoDigits(l.minor != nullptr ? l.minor[s] : 0);
  }
  return VEXAHV_OK;
}

}  // namespace vexahv
