// CksumCrc: the CRC-32 of the POSIX cksum utility as a running register: polynomial 0x04C11DB7,
// most significant bit first, no reflection, register starting wherever the caller starts it.
// The checksum's final steps (feeding the length, taking the complement) belong to the caller.
//
// update multiplies without carries (PCLMULQDQ) when the processor has it, which it checks once
// at run time, and uses a table method otherwise; both give the same register for any input.
// Nothing here can fail. The constant tables are built once, on first use, thread-safely: any
// thread may call any function at any time.
#ifndef QUILLMARK_CKSUMCRC_H
#define QUILLMARK_CKSUMCRC_H

#include <cstddef>
#include <cstdint>

namespace quillmark {

class CksumCrc {
public:
    // The register after the `size` bytes at `data` (any alignment; none when size is 0) went
    // through it in order, each byte b as reg = (reg << 8) ^ table[(reg >> 24) ^ b], where
    // table[i] is the register after i, placed in the top 8 bits, went through 8 polynomial steps.
    static std::uint32_t update(std::uint32_t reg, const unsigned char* data, std::size_t size);

    // The same register by the table method alone, eight bytes a step, on any processor.
    static std::uint32_t updateByTable(std::uint32_t reg, const unsigned char* data,
                                       std::size_t size);

    // True when update multiplies without carries on this processor (x86-64 with PCLMULQDQ and
    // SSE4.1).
    static bool hasCarrylessMultiply();
};

}  // namespace quillmark

#endif  // QUILLMARK_CKSUMCRC_H
