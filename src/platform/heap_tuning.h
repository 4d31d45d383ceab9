#pragma once
// Heap settings for a long-running server process. glibc's defaults grow the threshold
// above which blocks are mapped (so the buffers of large requests stay in the heap after
// use) and open an arena per thread; both keep memory resident that a server, running for
// months with a few busy threads, never needs again.

namespace vexahv::platform {

// Call once at the start of main, before other threads exist.
void tuneHeapForServer() noexcept;
// Gives the free pages inside the heap back to the system: after many small blocks were
// freed at once (a large subscription deleted), which the heap alone keeps resident.
void releaseFreeHeap() noexcept;

}  // namespace vexahv::platform
