// RequestMemory: how the memory of large request payloads is handled on Linux with the GNU C
// library: large allocations in mappings of their own, so that freeing them gives them back to
// the system, huge pages for a body large enough to fill one, and the freed memory of what a
// request built from many small allocations (a parsed document, a table of settings) given back
// once the request has been served.
//
// Both are advice to the system and the C library: they change how much memory a request
// touches and keeps, never what it holds.
#ifndef QUILLMARK_MANAGER_REQUESTMEMORY_H
#define QUILLMARK_MANAGER_REQUESTMEMORY_H

#include <cstddef>

namespace quillmark {

// Asks for transparent huge pages on the `size` bytes at `data`, an allocation not touched yet,
// when it spans huge pages and the C library surely maps it on its own (above 32 MiB, or above
// 1 MiB once keepLargeAllocationsApart() has run). A large body is
// fresh memory that its bytes fault in page by page; on a virtual machine the faults cost more
// than the transfer, and huge pages cut their number 512-fold. Smaller allocations may lie in
// the library's heap, where the advice would outlive them and keep huge pages of freed memory
// resident. Does nothing where huge pages are not available.
void adviseHugePages(const void* data, std::size_t size);

// Has the C library place every allocation of 1 MiB or more in a mapping of its own, which
// freeing unmaps, and keep its heaps trimmed to its default 128 KiB of free memory. By default
// the library raises both thresholds after each large free, up to 32 MiB and 64 MiB, and a
// thread's heap then keeps the memory of the largest requests it served. Call once at start-up,
// before other threads run.
void keepLargeAllocationsApart();

// Gives back to the system the memory that the C library holds free in every heap of the
// process, also between allocations still in use (malloc_trim), once the free memory it keeps
// resident has grown by more than 1 MiB since the last time: after a request that used or freed
// much of it. The many small allocations of a parsed document stay in the heap when they are
// freed, and the library returns only what lies at a heap's top; a large save would otherwise
// leave the idle daemon holding many times the document's size, and a small save after it the
// large one's settings. Below the margin, the pages that small requests use again stay resident.
// The free resident memory (a read of /proc/self/statm and a walk over the free lists) is only
// measured when it may have grown past the margin: after the process has faulted in a page since
// the last measure, or while the heaps had much more in use at it than at their least, which a
// request may have freed since. Otherwise the call costs one getrusage(). The Listener calls it
// after each request; any thread may.
void returnFreedMemory();

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_REQUESTMEMORY_H
