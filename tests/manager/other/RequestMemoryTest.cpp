#include "other/RequestMemory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// As small as the nodes and strings of a parsed document: the C library takes them from its heap,
// never from mappings of their own.
const std::size_t kBlockSize = 200;
const long long kMiB = 1024 * 1024;

long long residentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr) return -1;
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? static_cast<long long>(resident) * ::sysconf(_SC_PAGESIZE) : -1;
}

// Many small heap blocks, written to so that they are resident, and one more allocated after
// them that stays: freeing the many leaves a hole below it, which the C library keeps resident
// unless it is trimmed.
class SmallBlocks {
public:
    explicit SmallBlocks(long long bytes) {
        blocks_.reserve(static_cast<std::size_t>(bytes) / kBlockSize);
        for (long long built = 0; built < bytes; built += kBlockSize) {
            blocks_.emplace_back(new char[kBlockSize]);
            std::memset(blocks_.back().get(), 'x', kBlockSize);
        }
        pin_.reset(new char[kBlockSize]);
        std::memset(pin_.get(), 'p', kBlockSize);
    }
    // Frees the many; the pin stays.
    void release() { blocks_.clear(); }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::unique_ptr<char[]> pin_;
};

// What a request leaves in the heap, against what returnFreedMemory() does at its end: the
// freed memory of a large request goes back, whether the request built it or an earlier one
// did (and this one only freed it, touching no new page), while the few pages a small request
// frees stay resident for the next one.
TEST(RequestMemory, GivesBackLargeFreedMemoryAndKeepsSmall) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's allocator keeps freed memory in quarantine";
#endif
    struct Case {
        const char* name;
        long long bytes;
        bool builtByAnEarlierRequest;
        bool givenBack;
    };
    const Case cases[] = {
        {"a large request", 32 * kMiB, false, true},
        {"a small request freeing what a large one built", 32 * kMiB, true, true},
        {"a small request", kMiB / 4, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Whatever the cases before left behind is given back or settled first.
        quillmark::returnFreedMemory();
        quillmark::returnFreedMemory();
        const long long before = residentBytes();
        ASSERT_GT(before, 0);
        SmallBlocks blocks(c.bytes);
        if (c.builtByAnEarlierRequest) quillmark::returnFreedMemory();
        blocks.release();
        quillmark::returnFreedMemory();
        const long long after = residentBytes();
        if (c.givenBack) {
            EXPECT_LE(after, before + 2 * kMiB) << "resident " << after << ", before " << before;
        } else {
            EXPECT_GE(after, before + c.bytes / 2) << "resident " << after << ", before " << before;
        }
    }
}

}  // namespace
