#include "platform/heap_tuning.h"

#include <malloc.h>

namespace vexahv::platform {

void tuneHeapForServer() noexcept {
  // A fixed threshold: blocks of 128 KiB and more (large Read and Browse answers) are
  // mapped and go back to the system when freed.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_ARENA_MAX, 2);
}

void releaseFreeHeap() noexcept { malloc_trim(0); }

}  // namespace vexahv::platform
