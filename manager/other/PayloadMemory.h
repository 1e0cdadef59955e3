// PayloadMemory: the memory policy of request payloads, kept apart from the framing that fills
// them.
//
// Growth: a body is read into room that grows with the bytes that have arrived, to at most
// kGrowthFactor times them (at least kFirstRoom, at most the whole body), so a peer's announced
// length alone cannot make the receiver reserve memory, and few bytes are copied on the way.
//
// Keeping: a payload handed back through recycle() is kept for the next request when its room is
// at most kKeptCapacity, so that a client sending its upload in chunks of up to 1 MiB is served
// without fresh memory; a larger one is freed at once, so an idle receiver holds at most
// kKeptCapacity bytes.
//
// Threads: one thread at a time per object (its TcpSenderReceiver's).
#ifndef QUILLMARK_MANAGER_PAYLOADMEMORY_H
#define QUILLMARK_MANAGER_PAYLOADMEMORY_H

#include <cstddef>
#include <vector>

namespace quillmark {

class PayloadMemory {
public:
    // The largest payload room kept between requests: a 1 MiB chunk with its command, file name
    // and delimiters.
    static constexpr std::size_t kKeptCapacity = 1024 * 1024 + 4096;
    // A body's room grows to at most this many times the bytes that have arrived (at least
    // kFirstRoom, at most the whole body).
    static constexpr std::size_t kGrowthFactor = 16;
    // The room a body may take however little of it has arrived.
    static constexpr std::size_t kFirstRoom = 1024 * 1024;

    // Swaps the kept memory into the empty `room` when a body of `bodyLength` bytes fits it;
    // false (nothing changed) otherwise.
    bool takeKept(std::size_t bodyLength, std::vector<char>& room);

    // Makes `room` hold at least `needed` bytes, where `arrived` bytes of the body have arrived
    // after its first `base` bytes and the whole payload takes `finalSize`. Only the first
    // base + arrived bytes are carried over when the room moves (the rest of kept memory holds a
    // former request's bytes). May throw std::bad_alloc.
    static void makeRoom(std::vector<char>& room, std::size_t base, std::size_t arrived,
                         std::size_t needed, std::size_t finalSize);

    // Takes over `payload`'s memory for the next request when its capacity is at most
    // kKeptCapacity (and more than what is kept already); otherwise frees it. `payload` is left
    // empty, without memory. Never throws.
    void recycle(std::vector<char>& payload) noexcept;

private:
    // Memory kept from the last recycled payload, its size equal to its capacity (the bytes are
    // a former request's and are overwritten before use), or empty.
    std::vector<char> spare_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_PAYLOADMEMORY_H
