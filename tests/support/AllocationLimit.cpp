#include "support/AllocationLimit.h"

#include <malloc.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> gRefusedFrom{SIZE_MAX};

// While a HeapPeak measures: the bytes handed out since it began (less those given back, which
// may have been handed out before) and the most of them at once.
std::atomic<bool> gMeasuring{false};
std::atomic<long long> gInUse{0};
std::atomic<long long> gPeak{0};

void* allocate(std::size_t size) {
    if (size >= gRefusedFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    if (gMeasuring.load(std::memory_order_relaxed)) {
        const long long now = gInUse += static_cast<long long>(malloc_usable_size(block));
        long long peak = gPeak.load(std::memory_order_relaxed);
        while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
        }
    }
    return block;
}

void release(void* block) {
    if (block != nullptr && gMeasuring.load(std::memory_order_relaxed)) {
        gInUse -= static_cast<long long>(malloc_usable_size(block));
    }
    std::free(block);
}

}  // namespace

namespace qmtest {

AllocationLimit::AllocationLimit(std::size_t refusedFromBytes) {
    gRefusedFrom.store(refusedFromBytes);
}

AllocationLimit::~AllocationLimit() { gRefusedFrom.store(SIZE_MAX); }

HeapPeak::HeapPeak() {
    gInUse.store(0);
    gPeak.store(0);
    gMeasuring.store(true);
}

HeapPeak::~HeapPeak() { gMeasuring.store(false); }

std::size_t HeapPeak::bytes() const { return static_cast<std::size_t>(gPeak.load()); }

}  // namespace qmtest

// The executable's allocation functions, so that the limit reaches the standard containers.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
