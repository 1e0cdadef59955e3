#include "quillmark/Md5.h"

#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

std::string hex(const unsigned char digest[16]) {
    char text[33];
    for (int i = 0; i < 16; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

// Feeds `message` in pieces of `piece` bytes (0: one call).
std::string md5(const std::string& message, size_t piece = 0) {
    MD5_CTX context;
    MD5Init(&context);
    const unsigned char* data = reinterpret_cast<const unsigned char*>(message.data());
    if (piece == 0) piece = message.size() + 1;
    for (size_t at = 0; at < message.size(); at += piece) {
        const size_t n = std::min(piece, message.size() - at);
        MD5Update(&context, data + at, static_cast<int>(n));
    }
    unsigned char digest[16];
    MD5Final(&context, digest);
    return hex(digest);
}

}  // namespace

TEST(Md5, TestSuiteOfTheStandard) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        for (size_t piece : {0, 1, 3, 63, 64, 65}) {
            EXPECT_EQ(c.digest, md5(c.message, piece)) << "piece " << piece;
        }
    }
}

TEST(Md5, PaddingBoundaries) {
    // 55 bytes fit one final block; 56 and 64 need a padding-only block. Digests of 'a' repeated.
    struct Case {
        size_t length;
        const char* digest;
    };
    const Case cases[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},
        {64, "014842d480b571495a4a0363793f7367"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        EXPECT_EQ(c.digest, md5(std::string(c.length, 'a')));
        EXPECT_EQ(c.digest, md5(std::string(c.length, 'a'), 7));
    }
}

TEST(Md5, EmptyOrNegativeUpdateChangesNothing) {
    MD5_CTX context;
    MD5Init(&context);
    const unsigned char byte = 'x';
    MD5Update(&context, &byte, 1);
    MD5_CTX before;
    std::memcpy(&before, &context, sizeof context);
    MD5Update(&context, &byte, 0);
    MD5Update(&context, &byte, -5);
    EXPECT_EQ(0, std::memcmp(&before, &context, sizeof context));
}

TEST(Md5, UnalignedInputGivesTheSameDigest) {
    const std::string message(1000, 'q');
    std::vector<unsigned char> storage(message.size() + 1);
    std::memcpy(storage.data() + 1, message.data(), message.size());
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, storage.data() + 1, static_cast<int>(message.size()));
    unsigned char digest[16];
    MD5Final(&context, digest);
    EXPECT_EQ(md5(message), hex(digest));
}

TEST(Md5, LongMessagesInAnyPiecesAndAlignment) {
    EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5(std::string(1000000, 'a')));

    const std::string message = qmtest::pseudoRandomBytes((1 << 20) + 7);
    const std::string whole = md5(message);
    for (size_t piece : {1, 55, 64, 4097, 100003}) {
        EXPECT_EQ(whole, md5(message, piece)) << "piece " << piece;
    }
    for (size_t offset = 1; offset < 8; ++offset) {
        std::vector<unsigned char> storage(offset + message.size());
        std::memcpy(storage.data() + offset, message.data(), message.size());
        MD5_CTX context;
        MD5Init(&context);
        MD5Update(&context, storage.data() + offset, static_cast<int>(message.size()));
        unsigned char digest[16];
        MD5Final(&context, digest);
        EXPECT_EQ(whole, hex(digest)) << "offset " << offset;
    }
}
