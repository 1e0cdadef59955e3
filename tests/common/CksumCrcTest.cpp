#include "quillmark/CksumCrc.h"

#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

// The register by its definition: each byte enters the top of the register, which then goes
// through 8 steps of shift-left and conditional subtraction of the polynomial.
std::uint32_t bitByBit(std::uint32_t reg, const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        reg ^= static_cast<std::uint32_t>(data[i]) << 24;
        for (int step = 0; step < 8; ++step) {
            reg = (reg & 0x80000000u) != 0 ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        }
    }
    return reg;
}

const unsigned char* bytesOf(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Whether /proc/cpuinfo lists every one of `flags` for the first processor.
bool processorLists(const std::vector<std::string>& flags) {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        std::vector<std::string> listed;
        for (std::string word; words >> word;) listed.push_back(word);
        for (const std::string& flag : flags) {
            if (std::find(listed.begin(), listed.end(), flag) == listed.end()) return false;
        }
        return true;
    }
    return false;
}

}  // namespace

// Lengths around the 16- and 64-byte strides of the folding and the 8-byte step of the table,
// at every alignment, from several starting registers; the storage ends where the input ends, so
// AddressSanitizer sees any read past it.
TEST(CksumCrc, BothMethodsFollowTheDefinitionAtEveryLengthAndAlignment) {
    const std::size_t lengths[] = {0,   1,   3,   7,   8,   9,   15,       16,
                                   17,  31,  63,  64,  65,  79,  80,       127,
                                   128, 129, 191, 192, 255, 256, 4096 + 3, (1 << 20) + 7};
    const std::uint32_t starts[] = {0, 0xFFFFFFFFu, 0x12345678u};
    const std::string message = qmtest::pseudoRandomBytes((1 << 20) + 7);
    for (std::size_t length : lengths) {
        const std::size_t alignments = length > 4096 ? 3 : 16;
        for (std::uint32_t start : starts) {
            const std::uint32_t expected = bitByBit(start, bytesOf(message), length);
            for (std::size_t offset = 0; offset < alignments; ++offset) {
                SCOPED_TRACE("length " + std::to_string(length) + ", start " +
                             std::to_string(start) + ", offset " + std::to_string(offset));
                std::vector<unsigned char> storage(offset + length);
                if (length > 0) std::memcpy(storage.data() + offset, message.data(), length);
                const unsigned char* data = storage.data() + offset;
                EXPECT_EQ(expected, CksumCrc::update(start, data, length));
                EXPECT_EQ(expected, CksumCrc::updateByTable(start, data, length));
            }
        }
    }
}

TEST(CksumCrc, RegisterCarriesFromOneCallToTheNext) {
    const std::string message = qmtest::pseudoRandomBytes((1 << 20) + 7, 2);
    const std::uint32_t whole = CksumCrc::update(0, bytesOf(message), message.size());
    for (std::size_t piece : {1, 63, 64, 100003}) {
        SCOPED_TRACE(piece);
        std::uint32_t reg = 0;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            const std::size_t size = std::min(piece, message.size() - at);
            reg = CksumCrc::update(reg, bytesOf(message) + at, size);
        }
        EXPECT_EQ(whole, reg);
    }
}

// The fast path is only tested where it is chosen: it must be chosen wherever it can run.
TEST(CksumCrc, CarrylessMultiplyIsUsedWhereTheProcessorHasIt) {
    EXPECT_EQ(processorLists({"pclmulqdq", "sse4_1"}), CksumCrc::hasCarrylessMultiply());
}
