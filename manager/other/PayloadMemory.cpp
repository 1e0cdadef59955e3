#include "PayloadMemory.h"

#include "RequestMemory.h"

#include <algorithm>
#include <cstddef>

namespace quillmark {

bool PayloadMemory::takeKept(std::size_t bodyLength, std::vector<char>& room) {
    if (!room.empty() || bodyLength >= spare_.size()) return false;
    room.swap(spare_);
    return true;
}

void PayloadMemory::makeRoom(std::vector<char>& room, std::size_t base, std::size_t arrived,
                             std::size_t needed, std::size_t finalSize) {
    // Growing to the whole body as soon as the rule allows it copies the fewest bytes.
    const std::size_t allowed =
        std::min(finalSize, base + std::max(kFirstRoom, kGrowthFactor * arrived));
    if (needed > room.capacity() || (allowed == finalSize && room.capacity() < finalSize)) {
        std::vector<char> larger;
        larger.reserve(std::max(needed, allowed));
        // Before the copy, which is the first touch of the new memory.
        adviseHugePages(larger.data(), larger.capacity());
        const std::size_t kept = std::min(room.size(), base + arrived);
        larger.insert(larger.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(kept));
        room.swap(larger);
    }
    if (room.size() < needed) room.resize(needed);
}

void PayloadMemory::recycle(std::vector<char>& payload) noexcept {
    if (payload.capacity() == 0) return;
    if (payload.capacity() > kKeptCapacity) {
        std::vector<char>().swap(payload);
        return;
    }
    if (payload.capacity() > spare_.capacity()) {
        // Filling up to the capacity zero-fills only the slack after the last body; the next
        // body then overwrites bytes that exist already.
        payload.resize(payload.capacity());
        spare_.swap(payload);
    }
    std::vector<char>().swap(payload);
}

}  // namespace quillmark
