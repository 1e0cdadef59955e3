#include "RequestMemory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace quillmark {

namespace {

const std::size_t kFixedMmapThreshold = 1024 * 1024;
const std::size_t kHugePageSize = 2 * 1024 * 1024;

// Allocations above this size get a mapping of their own, released whole when freed: the largest
// mmap threshold the GNU C library's dynamic adjustment reaches on 64-bit hosts, or the fixed
// threshold once keepLargeAllocationsApart() has set it.
std::atomic<std::size_t> ownMappingSize(32 * 1024 * 1024);

}  // namespace

void adviseHugePages(const void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    if (data == nullptr || size < kHugePageSize || size <= ownMappingSize.load()) return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    // Out to whole pages, which are all the allocation's own mapping (its first page also holds
    // the library's chunk header): the advice then covers the mapping without splitting it.
    const std::uintptr_t begin = start & ~(page - 1);
    const std::uintptr_t end = (start + size + page - 1) & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

void keepLargeAllocationsApart() {
    // Setting the mmap threshold also ends the dynamic adjustment of the trim threshold.
    if (::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kFixedMmapThreshold)) == 1) {
        ownMappingSize.store(kFixedMmapThreshold);
    }
}

void returnFreedMemory() {
    // Also the free memory between chunks still in use, not only at the top of each heap.
    ::malloc_trim(0);
}

}  // namespace quillmark
