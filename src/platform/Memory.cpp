#include "Memory.h"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
#define ZARV_ASAN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZARV_ASAN_ALLOCATOR 1
#endif
#endif

#ifdef ZARV_ASAN_ALLOCATOR
// From <sanitizer/allocator_interface.h>, which not every compiler installs.
extern "C" void __sanitizer_purge_allocator();
#endif

namespace zarv::Memory {

void useOneHeap() {
#if defined(__GLIBC__) && !defined(ZARV_ASAN_ALLOCATOR)
    mallopt(M_ARENA_MAX, 1);
#endif
}

void release() {
#ifdef ZARV_ASAN_ALLOCATOR
    // AddressSanitizer keeps what was freed in quarantine, then in free lists of its own.
    __sanitizer_purge_allocator();
#elif defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace zarv::Memory
