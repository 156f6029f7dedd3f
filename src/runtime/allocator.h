// How the process's memory allocator is set up for serving large documents.
//
// A call on a large tree allocates tens of megabytes (the markup read, the
// parsed document, the markup written) and frees them again at its end. With
// the C library's defaults the freed memory goes back to the kernel after
// every call (blocks above the mmap threshold are unmapped, the top of each
// arena is trimmed) and the next call takes a page fault for every page it
// touches again. TuneAllocator() keeps freed memory in the process for reuse:
// large blocks come from the arenas rather than from their own mappings, an
// arena is trimmed only when more than `trimThresholdBytes` lie free at its
// top, and the number of arenas is bounded so that the memory kept stays a
// small multiple of what the busiest calls need. Resident memory therefore
// grows to the working set of the largest calls (plus the document cache's
// budget) and stays there instead of being given back and faulted in again.
//
// Called once at start-up by the programs that serve calls (the service and
// the benchmarks), before any thread starts. Does nothing where the C
// library has no such settings.
#pragma once

#include <cstddef>

namespace tsa {

struct AllocatorSettings {
  size_t mmapThresholdBytes = size_t{32} << 20;  // blocks at least this large get their own mapping (glibc allows 32 MiB at most)
  size_t trimThresholdBytes = size_t{128} << 20; // free memory an arena keeps at its top
  int maxArenas = 4;                             // arenas shared by the threads
};

// Applies the settings; returns false when the C library refused them.
bool TuneAllocator(const AllocatorSettings& settings = {});

}  // namespace tsa
