#include "quillmark/LogText.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>

using quillmark::LogText;

namespace {

// Writes the same things to `out` that the logging statements of the system write.
template <typename Stream>
void writeSample(Stream& out, const std::string& large) {
    out << "received = " << 4 << ", " << -17L << ' ' << 18446744073709551615ULL << ' ' << 2.5 << ' '
        << true << ' ' << std::hex << 255 << std::dec << ' ' << std::setw(6) << 42 << '|'
        << std::setfill('0') << std::setw(4) << 7 << std::setfill(' ') << ' '
        << std::string("a\0b", 3) << large << static_cast<const void*>(nullptr) << 'x';
}

}  // namespace

TEST(LogText, FormatsAsAStringStream) {
    const std::string large(100000, 'q');
    std::ostringstream expected;
    writeSample(expected, large);
    LogText got;
    writeSample(got, large);
    EXPECT_EQ(expected.str(), got.text());
    EXPECT_TRUE(got.good());
}
