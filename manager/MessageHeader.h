// MessageHeader: the 13 bytes that open a framed message of the manager's protocol.
//
// On the wire, without padding: the magic "QMCP" (4 bytes), the version (1 byte, 1 when sent,
// not examined on receipt) and the body length (8 bytes, little-endian). The length passes
// through Utils::hton64 / Utils::ntoh64, which leave it in host order: peers rely on the
// little-endian order of the x86-64 hosts this runs on. The body and one zero byte, not counted
// in the length, follow the header.
//
// A plain value; encode and decode touch nothing but their arguments and may be called from any
// thread.
#ifndef QUILLMARK_MESSAGEHEADER_H
#define QUILLMARK_MESSAGEHEADER_H

#include "quillmark/Utils.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmark {

struct MessageHeader {
    static constexpr std::size_t kSize = 13;
    static constexpr std::size_t kMagicSize = 4;
    // The bytes after the magic: version and length.
    static constexpr std::size_t kTailSize = kSize - kMagicSize;
    static constexpr const char* kMagic = "QMCP";
    static constexpr std::uint8_t kVersion = 1;

    std::uint8_t version = kVersion;
    // Number of body bytes.
    std::uint64_t length = 0;

    // Writes the 13 header bytes to `out`.
    void encode(char* out) const {
        std::memcpy(out, kMagic, kMagicSize);
        out[kMagicSize] = static_cast<char>(version);
        const std::uint64_t wire = Utils::hton64(length);
        std::memcpy(out + kMagicSize + 1, &wire, sizeof wire);
    }

    // True when the four bytes at `bytes` are exactly the magic (case included).
    static bool isMagic(const char* bytes) { return std::memcmp(bytes, kMagic, kMagicSize) == 0; }

    // The header whose kTailSize bytes after the magic are at `tail`.
    static MessageHeader decodeTail(const char* tail) {
        MessageHeader header;
        header.version = static_cast<std::uint8_t>(tail[0]);
        std::uint64_t wire = 0;
        std::memcpy(&wire, tail + 1, sizeof wire);
        header.length = Utils::ntoh64(wire);
        return header;
    }
};

}  // namespace quillmark

#endif  // QUILLMARK_MESSAGEHEADER_H
