#pragma once

namespace zarv {

/// Memory the allocator keeps for reuse after it was freed, and handing it back to the system.
namespace Memory {

/// Makes every thread allocate from one heap, so that release() reaches what any thread freed:
/// glibc gives back the top of only its main heap, and a large buffer freed on the D-Bus thread
/// would otherwise stay with that thread's heap. Call first thing in main, before any thread.
void useOneHeap();

/// Hands memory that was freed back to the system (glibc's malloc_trim; under AddressSanitizer,
/// its quarantine and free lists). Takes about a millisecond on a small heap; any thread.
void release();

} // namespace Memory
} // namespace zarv
