#include "RequestMemory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "quillmark/FileHandle.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

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

// What the heaps hold, as far as a trim is concerned.
struct HeapFigures {
    // The process's resident bytes less what the C library counts as allocated (its heaps'
    // chunks in use and its own mappings): the free memory that the heaps keep resident, plus the
    // code, the stacks and whatever else lies outside them, which changes little. -1 when it
    // cannot be read.
    long long freeResident = -1;
    // The bytes of the heaps' chunks in use, the library's own mappings left out: freeing a
    // mapping unmaps it, freeing a chunk leaves it resident in its heap.
    long long heapInUse = 0;
};

HeapFigures measureHeaps() {
    HeapFigures figures;
    FileHandle statm(std::fopen("/proc/self/statm", "re"));
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (!statm || std::fscanf(statm.get(), "%llu %llu", &size, &resident) != 2) return figures;
    const struct mallinfo2 heaps = ::mallinfo2();
    const unsigned long long page = static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
    figures.freeResident = static_cast<long long>(resident * page) -
                           static_cast<long long>(heaps.uordblks + heaps.hblkhd);
    figures.heapInUse = static_cast<long long>(heaps.uordblks);
    return figures;
}

// The pages the process has made resident through page faults since it began, -1 when unknown.
// Every page that a request receives into or builds on and that was not resident before costs
// one (a huge page counts once too), so an unchanged count means that no memory came in.
long long pagesFaulted() {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return static_cast<long long>(usage.ru_minflt) + static_cast<long long>(usage.ru_majflt);
}

// When the free resident memory has to be measured, and what it was.
//
// The heaps come to hold more free resident memory in two ways only: pages faulted in, and
// chunks in use being freed. So after a measure, as long as the process faults in no page, the
// free resident memory can grow at most by what was then in use above the least in use that any
// measure has seen (below that lie the service's own lasting objects). While that cannot carry it
// past the margin, the end of a request costs one getrusage() instead of a read of /proc and a
// walk over the free lists. A request that received or built much memory has faulted pages in;
// one that freed much of what an earlier one left in use finds the measure armed.
class FreedMemoryWatch {
public:
    void afterRequest();

private:
    std::mutex lock_;
    // All guarded by lock_. The fault count when the last check began; -1 before the first.
    long long faultsAtCheck_ = -1;
    // The free resident memory measured after the last trim; -1 before the first.
    long long freeResidentAfterTrim_ = -1;
    // The least heap memory in use that a check has seen; -1 before the first.
    long long heapInUseFloor_ = -1;
    // Whether the free resident memory could pass the margin without a page fault.
    bool armedWithoutFaults_ = true;
};

void FreedMemoryWatch::afterRequest() {
    std::lock_guard<std::mutex> guard(lock_);
    const long long faults = pagesFaulted();
    if (faults >= 0 && faults == faultsAtCheck_ && !armedWithoutFaults_) return;
    faultsAtCheck_ = faults;

    HeapFigures now = measureHeaps();
    const long long afterTrim = freeResidentAfterTrim_;
    if (now.freeResident < 0 || afterTrim < 0 || now.freeResident > afterTrim + kFreeMemoryKept) {
        // Also the free memory between chunks still in use, not only at the top of each heap.
        ::malloc_trim(0);
        now = measureHeaps();
        freeResidentAfterTrim_ = now.freeResident;
    } else if (now.freeResident < afterTrim) {
        freeResidentAfterTrim_ = now.freeResident;
    }
    if (now.freeResident < 0 || freeResidentAfterTrim_ < 0) {
        armedWithoutFaults_ = true;
        return;
    }
    if (heapInUseFloor_ < 0 || now.heapInUse < heapInUseFloor_) heapInUseFloor_ = now.heapInUse;
    armedWithoutFaults_ = now.freeResident + (now.heapInUse - heapInUseFloor_) >
                          freeResidentAfterTrim_ + kFreeMemoryKept;
}

FreedMemoryWatch& freedMemoryWatch() {
    static FreedMemoryWatch watch;
    return watch;
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

void returnFreedMemory() { freedMemoryWatch().afterRequest(); }

}  // namespace quillmark
