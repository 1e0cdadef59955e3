#include "RequestMemory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quillmark {

namespace {

// The largest mmap threshold the GNU C library's dynamic adjustment reaches on 64-bit hosts:
// every allocation above it gets a mapping of its own, released whole when it is freed, whether
// keepLargeAllocationsApart() ran or not.
const std::size_t kOwnMappingSize = 32 * 1024 * 1024;

}  // namespace

void adviseHugePages(const void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    if (data == nullptr || size <= kOwnMappingSize) return;
    const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    // Inward to whole pages: the mapping's first page also holds the library's chunk header.
    const std::uintptr_t begin = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + size) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

void keepLargeAllocationsApart() {
    // Setting the mmap threshold also ends the dynamic adjustment of the trim threshold.
    ::mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
}

}  // namespace quillmark
