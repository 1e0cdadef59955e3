// Incremental MD5 message digest (RFC 1321) over a caller-owned context.
//
// Call MD5Init, then MD5Update any number of times (the digest does not depend on how the message
// is cut), then MD5Final once. The module never allocates and cannot fail. A context is used by
// one thread at a time; distinct contexts are independent.
#ifndef QUILLMARK_MD5_H
#define QUILLMARK_MD5_H

#include <cstdint>

namespace quillmark {

struct MD5_CTX {
    std::uint32_t bitCount[2];  // message length in bits modulo 2^64: [0] low word, [1] high word
    std::uint32_t state[4];     // chaining words A, B, C, D
    unsigned char buffer[64];   // the incomplete current block: (bitCount[0] / 8) % 64 bytes valid
};

// Starts a new message.
void MD5Init(MD5_CTX* context);

// Appends `length` bytes; a length below 1 changes nothing. Longer messages than 2^31 - 1 bytes
// are fed in several calls.
void MD5Update(MD5_CTX* context, const unsigned char* data, int length);

// Pads the message and writes the 16-byte digest. The context must be re-initialised before it is
// used again.
void MD5Final(MD5_CTX* context, unsigned char digest[16]);

// Folds one 64-byte block into the chaining words; any alignment.
void MD5Transform(MD5_CTX* context, const unsigned char block[64]);

}  // namespace quillmark

#endif  // QUILLMARK_MD5_H
