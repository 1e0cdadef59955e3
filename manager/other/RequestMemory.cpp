#include "RequestMemory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include "quillmark/FileHandle.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace quillmark {

namespace {

const std::size_t kFixedMmapThreshold = 1024 * 1024;
const std::size_t kHugePageSize = 2 * 1024 * 1024;

// Allocations above this size get a mapping of their own, released whole when freed: the largest
// mmap threshold the GNU C library's dynamic adjustment reaches on 64-bit hosts, or the fixed
// threshold once keepLargeAllocationsApart() has set it.
std::atomic<std::size_t> ownMappingSize(32 * 1024 * 1024);

// How far the resident memory that the heaps hold free may grow past what it was after the last
// trim before a request's end gives it back. Below it, the pages that small requests use again
// and again stay resident: giving them back costs a page fault for each on the next request.
const long long kFreeMemoryKept = 1024 * 1024;
// The free resident memory measured after the last trim; -1 before the first.
std::atomic<long long> freeResidentAfterTrim(-1);

// The process's resident bytes less what the C library counts as allocated (its heaps' chunks in
// use and its own mappings): the free memory that the heaps keep resident, plus the code, the
// stacks and whatever else lies outside them, which changes little. -1 when it cannot be read.
long long freeResidentMemory() {
    FileHandle statm(std::fopen("/proc/self/statm", "re"));
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (!statm || std::fscanf(statm.get(), "%llu %llu", &size, &resident) != 2) return -1;
    const struct mallinfo2 heaps = ::mallinfo2();
    const unsigned long long page = static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    return static_cast<long long>(resident * page) -
           static_cast<long long>(heaps.uordblks + heaps.hblkhd);
}

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
    const long long kept = freeResidentMemory();
    const long long afterTrim = freeResidentAfterTrim.load();
    if (kept >= 0 && afterTrim >= 0 && kept <= afterTrim + kFreeMemoryKept) {
        if (kept < afterTrim) freeResidentAfterTrim.store(kept);
        return;
    }
    // Also the free memory between chunks still in use, not only at the top of each heap.
    ::malloc_trim(0);
    freeResidentAfterTrim.store(freeResidentMemory());
}

}  // namespace quillmark
