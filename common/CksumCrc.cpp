// Two ways to the same CRC register.
//
// The message is a polynomial over GF(2) whose first byte holds the highest coefficients. The
// register after a message M of n bytes, started at R, is (R * x^(8n) + M * x^32) mod P, with P
// the polynomial x^32 + 0x04C11DB7; starting at R is therefore the same as starting at 0 with R
// added to the message's first four bytes.
//
// The table method advances the register eight bytes a step through eight tables: table k holds
// i * x^(32 + 8k) mod P, the contribution of a byte i that has 8k bits of message after it.
//
// Folding keeps a 128-bit polynomial congruent, modulo P, to the message read so far. Moving it
// D bits on and adding the next 128 bits of message takes two carry-less products: with the
// accumulator split as H * x^64 + L, A * x^D = H * (x^(D+64) mod P) + L * (x^D mod P) modulo P,
// and both products stay below 2^95. Four accumulators, 512 bits apart, keep the multiplier
// busy; they are folded into one at the end, which finally goes through the table method to
// give the register.
#include "quillmark/CksumCrc.h"

#include <array>

#if defined(__x86_64__) && defined(__GNUC__)
#define QM_CKSUM_FOLDING 1
#include <immintrin.h>
#else
#define QM_CKSUM_FOLDING 0
#endif

namespace quillmark {

namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7u;

// The register times x, modulo P: a shift by one bit, subtracting P when a bit falls off the top.
constexpr std::uint32_t timesX(std::uint32_t reg) {
    return (reg & 0x80000000u) != 0 ? (reg << 1) ^ kPolynomial : reg << 1;
}

// x^k mod P.
constexpr std::uint32_t xPowerModP(unsigned k) {
    std::uint32_t reg = 1;
    for (unsigned i = 0; i < k; ++i) reg = timesX(reg);
    return reg;
}

using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crcTables() {
    static const CrcTables tables = [] {
        CrcTables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t reg = i << 24;
            for (int step = 0; step < 8; ++step) reg = timesX(reg);
            t[0][i] = reg;
        }
        for (std::size_t k = 1; k < t.size(); ++k) {
            for (std::uint32_t i = 0; i < 256; ++i) {
                const std::uint32_t previous = t[k - 1][i];
                t[k][i] = (previous << 8) ^ t[0][previous >> 24];
            }
        }
        return t;
    }();
    return tables;
}

inline std::uint32_t bigEndianWord(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

#if QM_CKSUM_FOLDING

#define QM_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

// Memory holds a polynomial's top byte first; a register holds it last.
QM_FOLDING_TARGET inline __m128i reverseBytes(__m128i value) {
    return _mm_shuffle_epi8(value,
                            _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

// 16 message bytes as a polynomial.
QM_FOLDING_TARGET inline __m128i loadPolynomial(const unsigned char* bytes) {
    return reverseBytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// The pair of factors that move an accumulator D bits on: x^(D+64) mod P high, x^D mod P low.
template <unsigned Distance>
QM_FOLDING_TARGET inline __m128i shiftFactors() {
    constexpr std::uint32_t high = xPowerModP(Distance + 64);
    constexpr std::uint32_t low = xPowerModP(Distance);
    return _mm_set_epi64x(high, low);
}

// accumulator * x^D + next, modulo P, for the D of `factors`.
QM_FOLDING_TARGET inline __m128i fold(__m128i accumulator, __m128i factors, __m128i next) {
    const __m128i high = _mm_clmulepi64_si128(accumulator, factors, 0x11);
    const __m128i low = _mm_clmulepi64_si128(accumulator, factors, 0x00);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

QM_FOLDING_TARGET std::uint32_t updateByFolding(std::uint32_t reg, const unsigned char* data,
                                                std::size_t size) {
    if (size < 64) return CksumCrc::updateByTable(reg, data, size);
    const __m128i by512 = shiftFactors<512>();
    const __m128i by128 = shiftFactors<128>();

    __m128i lane0 =
        _mm_xor_si128(loadPolynomial(data), _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
    __m128i lane1 = loadPolynomial(data + 16);
    __m128i lane2 = loadPolynomial(data + 32);
    __m128i lane3 = loadPolynomial(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        lane0 = fold(lane0, by512, loadPolynomial(data));
        lane1 = fold(lane1, by512, loadPolynomial(data + 16));
        lane2 = fold(lane2, by512, loadPolynomial(data + 32));
        lane3 = fold(lane3, by512, loadPolynomial(data + 48));
    }
    __m128i accumulator = fold(fold(fold(lane0, by128, lane1), by128, lane2), by128, lane3);
    for (; size >= 16; data += 16, size -= 16) {
        accumulator = fold(accumulator, by128, loadPolynomial(data));
    }

    // The register of the message so far is accumulator * x^32 mod P: the accumulator's 16 bytes
    // through the table method from 0.
    unsigned char bytes[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), reverseBytes(accumulator));
    return CksumCrc::updateByTable(CksumCrc::updateByTable(0, bytes, sizeof bytes), data, size);
}

#undef QM_FOLDING_TARGET

#endif  // QM_CKSUM_FOLDING

}  // namespace

std::uint32_t CksumCrc::update(std::uint32_t reg, const unsigned char* data, std::size_t size) {
#if QM_CKSUM_FOLDING
    if (hasCarrylessMultiply()) return updateByFolding(reg, data, size);
#endif
    return updateByTable(reg, data, size);
}

std::uint32_t CksumCrc::updateByTable(std::uint32_t reg, const unsigned char* data,
                                      std::size_t size) {
    const CrcTables& t = crcTables();
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t high = reg ^ bigEndianWord(data);
        const std::uint32_t low = bigEndianWord(data + 4);
        reg = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFFu] ^ t[5][(high >> 8) & 0xFFu] ^
              t[4][high & 0xFFu] ^ t[3][low >> 24] ^ t[2][(low >> 16) & 0xFFu] ^
              t[1][(low >> 8) & 0xFFu] ^ t[0][low & 0xFFu];
    }
    for (; size > 0; ++data, --size) reg = (reg << 8) ^ t[0][(reg >> 24) ^ *data];
    return reg;
}

bool CksumCrc::hasCarrylessMultiply() {
#if QM_CKSUM_FOLDING
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    }();
    return supported;
#else
    return false;
#endif
}

}  // namespace quillmark
