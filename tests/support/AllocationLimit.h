// Makes large allocations fail on purpose, to test what code does when memory cannot be had, and
// measures how much memory code takes. The test executable's operator new refuses, while a limit
// is in force, every block of the limit's size or more with std::bad_alloc; smaller blocks, and
// malloc, are served as usual.
#ifndef QM_TESTS_SUPPORT_ALLOCATIONLIMIT_H
#define QM_TESTS_SUPPORT_ALLOCATIONLIMIT_H

#include <cstddef>

namespace qmtest {

// In force from construction to destruction, on every thread; limits do not nest.
class AllocationLimit {
public:
    explicit AllocationLimit(std::size_t refusedFromBytes);
    ~AllocationLimit();
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;
};

// The most bytes the executable's operator new has handed out and not taken back at once, from
// construction on (blocks handed out before do not count), on every thread; peaks do not nest.
class HeapPeak {
public:
    HeapPeak();
    ~HeapPeak();
    HeapPeak(const HeapPeak&) = delete;
    HeapPeak& operator=(const HeapPeak&) = delete;

    std::size_t bytes() const;
};

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_ALLOCATIONLIMIT_H
