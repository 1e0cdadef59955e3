// Makes large allocations fail on purpose, to test what code does when memory cannot be had.
// The test executable's operator new refuses, while a limit is in force, every block of the
// limit's size or more with std::bad_alloc; smaller blocks, and malloc, are served as usual.
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

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_ALLOCATIONLIMIT_H
