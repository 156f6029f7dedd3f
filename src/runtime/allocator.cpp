#include "runtime/allocator.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tsa {

bool TuneAllocator(const AllocatorSettings& settings) {
#if defined(__GLIBC__)
  // Setting either threshold also switches off glibc's dynamic adjustment of
  // the mmap threshold, which would otherwise move it after the first free.
  bool ok = mallopt(M_MMAP_THRESHOLD, static_cast<int>(settings.mmapThresholdBytes)) == 1;
  ok = mallopt(M_TRIM_THRESHOLD, static_cast<int>(settings.trimThresholdBytes)) == 1 && ok;
  ok = mallopt(M_ARENA_MAX, settings.maxArenas) == 1 && ok;
  return ok;
#else
  (void)settings;
  return false;
#endif
}

}  // namespace tsa
