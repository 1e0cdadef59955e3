#include "quillmark/Md5.h"

#include <cstddef>
#include <cstring>

namespace quillmark {

namespace {

inline std::uint32_t rotateLeft(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four round functions in forms that leave the fewest operations after b, the word of the
// previous step, is known: c and d are ready earlier, and so is whatever depends on them alone.
// G adds instead of or-ing its two disjoint halves, so the half without b joins the sum early.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) + (y & ~z);
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

// Word k of a block, in little-endian order, from any alignment.
inline std::uint32_t wordAt(const unsigned char* block, int k) {
    const unsigned char* p = block + 4 * k;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
#else
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
#endif
}

// The message word and the constant do not depend on the previous step, so they are added first.
#define QM_MD5_STEP(f, a, b, c, d, k, s, ac)                    \
    (a) += wordAt(block, (k)) + static_cast<std::uint32_t>(ac); \
    (a) = rotateLeft((a) + f((b), (c), (d)), (s)) + (b)

// Folds `blocks` consecutive 64-byte blocks into the chaining words, which stay in registers from
// one block to the next.
void transformBlocks(std::uint32_t state[4], const unsigned char* block, std::size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, block += 64) {
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        QM_MD5_STEP(F, a, b, c, d, 0, 7, 0xd76aa478);
        QM_MD5_STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);
        QM_MD5_STEP(F, c, d, a, b, 2, 17, 0x242070db);
        QM_MD5_STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);
        QM_MD5_STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);
        QM_MD5_STEP(F, d, a, b, c, 5, 12, 0x4787c62a);
        QM_MD5_STEP(F, c, d, a, b, 6, 17, 0xa8304613);
        QM_MD5_STEP(F, b, c, d, a, 7, 22, 0xfd469501);
        QM_MD5_STEP(F, a, b, c, d, 8, 7, 0x698098d8);
        QM_MD5_STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);
        QM_MD5_STEP(F, c, d, a, b, 10, 17, 0xffff5bb1);
        QM_MD5_STEP(F, b, c, d, a, 11, 22, 0x895cd7be);
        QM_MD5_STEP(F, a, b, c, d, 12, 7, 0x6b901122);
        QM_MD5_STEP(F, d, a, b, c, 13, 12, 0xfd987193);
        QM_MD5_STEP(F, c, d, a, b, 14, 17, 0xa679438e);
        QM_MD5_STEP(F, b, c, d, a, 15, 22, 0x49b40821);

        QM_MD5_STEP(G, a, b, c, d, 1, 5, 0xf61e2562);
        QM_MD5_STEP(G, d, a, b, c, 6, 9, 0xc040b340);
        QM_MD5_STEP(G, c, d, a, b, 11, 14, 0x265e5a51);
        QM_MD5_STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);
        QM_MD5_STEP(G, a, b, c, d, 5, 5, 0xd62f105d);
        QM_MD5_STEP(G, d, a, b, c, 10, 9, 0x02441453);
        QM_MD5_STEP(G, c, d, a, b, 15, 14, 0xd8a1e681);
        QM_MD5_STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);
        QM_MD5_STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);
        QM_MD5_STEP(G, d, a, b, c, 14, 9, 0xc33707d6);
        QM_MD5_STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);
        QM_MD5_STEP(G, b, c, d, a, 8, 20, 0x455a14ed);
        QM_MD5_STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);
        QM_MD5_STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);
        QM_MD5_STEP(G, c, d, a, b, 7, 14, 0x676f02d9);
        QM_MD5_STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a);

        QM_MD5_STEP(H, a, b, c, d, 5, 4, 0xfffa3942);
        QM_MD5_STEP(H, d, a, b, c, 8, 11, 0x8771f681);
        QM_MD5_STEP(H, c, d, a, b, 11, 16, 0x6d9d6122);
        QM_MD5_STEP(H, b, c, d, a, 14, 23, 0xfde5380c);
        QM_MD5_STEP(H, a, b, c, d, 1, 4, 0xa4beea44);
        QM_MD5_STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);
        QM_MD5_STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);
        QM_MD5_STEP(H, b, c, d, a, 10, 23, 0xbebfbc70);
        QM_MD5_STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);
        QM_MD5_STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);
        QM_MD5_STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);
        QM_MD5_STEP(H, b, c, d, a, 6, 23, 0x04881d05);
        QM_MD5_STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);
        QM_MD5_STEP(H, d, a, b, c, 12, 11, 0xe6db99e5);
        QM_MD5_STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8);
        QM_MD5_STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);

        QM_MD5_STEP(I, a, b, c, d, 0, 6, 0xf4292244);
        QM_MD5_STEP(I, d, a, b, c, 7, 10, 0x432aff97);
        QM_MD5_STEP(I, c, d, a, b, 14, 15, 0xab9423a7);
        QM_MD5_STEP(I, b, c, d, a, 5, 21, 0xfc93a039);
        QM_MD5_STEP(I, a, b, c, d, 12, 6, 0x655b59c3);
        QM_MD5_STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);
        QM_MD5_STEP(I, c, d, a, b, 10, 15, 0xffeff47d);
        QM_MD5_STEP(I, b, c, d, a, 1, 21, 0x85845dd1);
        QM_MD5_STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);
        QM_MD5_STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0);
        QM_MD5_STEP(I, c, d, a, b, 6, 15, 0xa3014314);
        QM_MD5_STEP(I, b, c, d, a, 13, 21, 0x4e0811a1);
        QM_MD5_STEP(I, a, b, c, d, 4, 6, 0xf7537e82);
        QM_MD5_STEP(I, d, a, b, c, 11, 10, 0xbd3af235);
        QM_MD5_STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);
        QM_MD5_STEP(I, b, c, d, a, 9, 21, 0xeb86d391);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef QM_MD5_STEP

}  // namespace

void MD5Init(MD5_CTX* context) {
    context->bitCount[0] = 0;
    context->bitCount[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void MD5Update(MD5_CTX* context, const unsigned char* data, int length) {
    if (length < 1) return;
    const std::uint32_t count = static_cast<std::uint32_t>(length);
    std::uint32_t offset = (context->bitCount[0] >> 3) & 63;

    const std::uint32_t addedBits = count << 3;
    context->bitCount[1] += count >> 29;
    context->bitCount[0] += addedBits;
    if (context->bitCount[0] < addedBits) context->bitCount[1] += 1;

    std::uint32_t consumed = 0;
    if (offset != 0) {
        const std::uint32_t take = count < 64 - offset ? count : 64 - offset;
        std::memcpy(context->buffer + offset, data, take);
        if (offset + take < 64) return;
        transformBlocks(context->state, context->buffer, 1);
        consumed = take;
    }
    const std::uint32_t wholeBlocks = (count - consumed) / 64;
    transformBlocks(context->state, data + consumed, wholeBlocks);
    consumed += 64 * wholeBlocks;
    std::memcpy(context->buffer, data + consumed, count - consumed);
}

void MD5Final(MD5_CTX* context, unsigned char digest[16]) {
    unsigned char lengthBytes[8];
    for (int word = 0; word < 2; ++word) {
        for (int i = 0; i < 4; ++i) {
            lengthBytes[word * 4 + i] =
                static_cast<unsigned char>(context->bitCount[word] >> (8 * i));
        }
    }
    static const unsigned char padding[64] = {0x80};
    const int padLength = static_cast<int>(((55 - (context->bitCount[0] >> 3)) & 63) + 1);
    MD5Update(context, padding, padLength);
    MD5Update(context, lengthBytes, 8);
    for (int word = 0; word < 4; ++word) {
        for (int i = 0; i < 4; ++i) {
            digest[word * 4 + i] = static_cast<unsigned char>(context->state[word] >> (8 * i));
        }
    }
}

void MD5Transform(MD5_CTX* context, const unsigned char block[64]) {
    transformBlocks(context->state, block, 1);
}

}  // namespace quillmark
