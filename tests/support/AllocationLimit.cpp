#include "support/AllocationLimit.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> gRefusedFrom{SIZE_MAX};

void* allocate(std::size_t size) {
    if (size >= gRefusedFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

namespace qmtest {

AllocationLimit::AllocationLimit(std::size_t refusedFromBytes) {
    gRefusedFrom.store(refusedFromBytes);
}

AllocationLimit::~AllocationLimit() { gRefusedFrom.store(SIZE_MAX); }

}  // namespace qmtest

// The executable's allocation functions, so that the limit reaches the standard containers.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
