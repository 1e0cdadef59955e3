#include "quillmark/ResultInfo.h"

#include "quillmark/Utils.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

using namespace quillmark;

TEST(ResultInfo, ValueTexts) {
    struct Case {
        const char* label;
        ResultInfo result;
        std::string expected;
    };
    const Case cases[] = {
        {"unsigned 0", ResultInfo(0UL), "0"},
        {"unsigned max", ResultInfo(18446744073709551615UL), "18446744073709551615"},
        {"double 12.5", ResultInfo(12.5), "12.500000"},
        {"double 100/3", ResultInfo(100.0 / 3), "33.333333"},
        {"double 50", ResultInfo(50.0), "50.000000"},
        {"text", ResultInfo("abc"), "abc"},
        {"empty text", ResultInfo(""), ""},
        {"null text", ResultInfo(static_cast<const char*>(nullptr)), ""},
        {"C text stops at a zero byte", ResultInfo("a\0b"), "a"},
        {"std::string keeps a zero byte", ResultInfo(std::string("a\0b", 3)),
         std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, c.result.value);
    }
}

namespace {

struct ThousandsGrouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
    char do_decimal_point() const override { return ';'; }
};

}  // namespace

// A program that installs a grouping global locale must not change the figures.
TEST(ResultInfo, NumbersIgnoreTheGlobalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new ThousandsGrouping));
    const ResultInfo whole(1234567UL);
    const ResultInfo fraction(1234.5);
    std::locale::global(previous);
    EXPECT_EQ("1234567", whole.value);
    EXPECT_EQ("1234.500000", fraction.value);
}

TEST(ResultInfo, TimestampIsTheSecondOfCreation) {
    const std::int32_t before = getCurrentTimeSecondsInt();
    const ResultInfo number(7UL);
    const ResultInfo real(7.0);
    const ResultInfo text("7");
    const std::int32_t after = getCurrentTimeSecondsInt();
    for (const ResultInfo* result : {&number, &real, &text}) {
        SCOPED_TRACE(result->value);
        EXPECT_LE(before, result->timestamp);
        EXPECT_GE(after, result->timestamp);
    }
}
