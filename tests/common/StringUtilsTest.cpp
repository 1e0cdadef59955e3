#include "quillmark/Utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

typedef std::vector<std::string> Strings;

std::string byteText(unsigned byte) { return std::string(1, static_cast<char>(byte)); }

std::string printable(const std::string& text) {
    std::string shown;
    for (unsigned char byte : text) {
        if (byte >= 0x20 && byte < 0x7F) {
            shown += static_cast<char>(byte);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        }
    }
    return "'" + shown + "'";
}

}  // namespace

TEST(StringUtils, IntToString) {
    EXPECT_EQ("0", Utils::intToString(0));
    EXPECT_EQ("-17", Utils::intToString(-17));
    EXPECT_EQ("2147483647", Utils::intToString(INT_MAX));
    EXPECT_EQ("-2147483648", Utils::intToString(INT_MIN));
}

TEST(StringUtils, Unquote) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"\"abc\"def", "abc"}, {"\"abc", "\"abc"},   {"abc", "abc"},       {"\"\"", ""}, {"", ""},
        {"\"", "\""},          {"a\"b\"", "a\"b\""}, {"\"a\"b\"c\"", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        EXPECT_EQ(c.expected, Utils::unquote(c.text));
    }
}

TEST(StringUtils, BlankTrims) {
    struct Case {
        std::string text, trim, trimRightSpaces, trimLeftSpaces;
    };
    const Case cases[] = {
        {"  a b  ", "a b", "  a b", "a b  "},
        {"   ", "", "", " "},
        {" ", "", "", " "},
        {"", "", "", ""},
        {"  x", "x", "  x", "x"},
        {"a\t", "a\t", "a\t", "a\t"},
        {"\t a \n", "\t a \n", "\t a \n", "\t a \n"},
        {" \xC3\xA9 ", "\xC3\xA9", " \xC3\xA9", "\xC3\xA9 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        EXPECT_EQ(c.trim, Utils::trim(c.text));
        EXPECT_EQ(c.trimRightSpaces, Utils::trimRightSpaces(c.text));
        EXPECT_EQ(c.trimLeftSpaces, Utils::trimLeftSpaces(c.text));
    }
}

// The trims and removeControlChars over every byte value: the sets must not depend on whether
// char is signed.
TEST(StringUtils, ByteRulesOverAllBytes) {
    for (unsigned byte = 0; byte <= 0xFF; ++byte) {
        SCOPED_TRACE(byte);
        const std::string b = byteText(byte);
        const bool trimRightRemoves = byte <= 0x20 || byte >= 0x7F;
        EXPECT_EQ(trimRightRemoves ? "x" : "x" + b, Utils::trimRight("x" + b));
        EXPECT_EQ(trimRightRemoves ? "" : b, Utils::trimRight(b));
        EXPECT_EQ(trimRightRemoves ? "" : b + b + b, Utils::trimRight(b + b + b));

        const bool controlRemoved = byte <= 0x1D || byte >= 0x7F;
        EXPECT_EQ(controlRemoved ? "ab" : "a" + b + "b", Utils::removeControlChars("a" + b + "b"));

        const bool isBlank = byte == 0x20;
        EXPECT_EQ(isBlank ? "y" : b + "y" + b, Utils::trim(b + "y" + b));
        EXPECT_EQ(isBlank ? "y" : "y" + b, Utils::trimRightSpaces("y" + b));
        EXPECT_EQ(isBlank ? "y" : b + "y", Utils::trimLeftSpaces(b + "y"));
    }
}

TEST(StringUtils, TrimRightExamples) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {"line\n", "line"},   {"line\r\n", "line"}, {"a\t \x7F", "a"}, {"caf\xC3\xA9", "caf"},
        {"tilde~", "tilde~"}, {"\n\n", ""},         {"a b", "a b"},    {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        EXPECT_EQ(c.expected, Utils::trimRight(c.text));
    }
}

TEST(StringUtils, RemoveControlCharsKeepsSeparatorsAboveBound) {
    EXPECT_EQ(
        "ab\x1F"
        "c",
        Utils::removeControlChars("a\nb\x1F"
                                  "c\xC3"));
    EXPECT_EQ("\x1E\x1F", Utils::removeControlChars(std::string("\x1D\x1E\x1F\x7F\x80\xFF\0", 7)));
}

TEST(StringUtils, NumberConversions) {
    struct Case {
        std::string text;
        long asLong;
        int asInt;
        double asDouble;
    };
    const Case cases[] = {
        {" 42x", 42, 42, 42.0},
        {"1.5e3", 1, 1, 1500.0},
        {"12abc", 12, 12, 12.0},
        {"0x1F", 0, 0, 0.0},
        {"-7", -7, -7, -7.0},
        {"\t\n 3", 3, 3, 3.0},
        {"+5", 5, 5, 5.0},
        {"abc", 0, 0, 0.0},
        {"", 0, 0, 0.0},
        {"   ", 0, 0, 0.0},
        {"-", 0, 0, 0.0},
        {"3000000000", 3000000000L, 0, 3e9},
        {"99999999999999999999", 0, 0, 1e20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        EXPECT_EQ(c.asLong, Utils::toLong(c.text));
        EXPECT_EQ(c.asInt, Utils::toInt(c.text));
        EXPECT_DOUBLE_EQ(c.asDouble, Utils::toDouble(c.text));
    }
}

TEST(StringUtils, FromStringWritesOnlyOnSuccess) {
    long asLong = 99;
    Utils::fromString("none", asLong);
    EXPECT_EQ(99, asLong);
    Utils::fromString("7 8", asLong);
    EXPECT_EQ(7, asLong);

    int asInt = -3;
    Utils::fromString("5000000000", asInt);
    EXPECT_EQ(-3, asInt);

    double asDouble = 2.5;
    Utils::fromString("", asDouble);
    EXPECT_EQ(2.5, asDouble);
    Utils::fromString("0.25", asDouble);
    EXPECT_EQ(0.25, asDouble);
}

TEST(StringUtils, SplitKeepsOnlyNonEmptyTokensAndAppends) {
    struct Case {
        std::string text, delimiters;
        Strings expected;
    };
    const Case cases[] = {
        {",a,,b,", ",", {"a", "b"}},
        {"a b\tc", " \t", {"a", "b", "c"}},
        {",,,", ",", {}},
        {"", ",", {}},
        {"abc", ",", {"abc"}},
        {"abc", "", {"abc"}},
        {"k==v=", "=", {"k", "v"}},
        {"a\nb\n\nc", "\n", {"a", "b", "c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text) + " delimiters " + printable(c.delimiters));
        Strings split{"kept"};
        Utils::split(c.text, split, c.delimiters);
        Strings tokens{"kept"};
        Utils::splitTokens(c.text, tokens, c.delimiters);
        Strings expected{"kept"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(expected, split);
        EXPECT_EQ(expected, tokens);
    }
}

TEST(StringUtils, GetToken) {
    EXPECT_EQ("k", Utils::getToken("k=v", "=", 0));
    EXPECT_EQ("v", Utils::getToken("k=v", "=", 1));
    EXPECT_EQ("", Utils::getToken("k=v", "=", 2));
    EXPECT_EQ("v", Utils::getToken("==k===v==", "=", 1));
    EXPECT_EQ("", Utils::getToken("cloud_ip=", "=", 1));
    EXPECT_EQ("", Utils::getToken("", "=", 0));
}

TEST(StringUtils, SplitAndTrim) {
    struct Case {
        std::string text;
        Strings trimmed, trimmedLeft;
    };
    const Case cases[] = {
        {"a , ,b,", {"a", "", "b"}, {"a ", " ", "b"}},
        {",a", {"", "a"}, {"", "a"}},
        {"", {}, {}},
        {",", {""}, {""}},
        {"  x  ", {"x"}, {"x  "}},
        {"a,,b", {"a", "", "b"}, {"a", "", "b"}},
        {"  ,   ", {"", ""}, {" ", " "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        Strings trimmed{"kept"};
        Utils::splitAndTrim(c.text, trimmed, ',');
        Strings trimmedLeft;
        Utils::splitAndTrimLeft(c.text, trimmedLeft, ',');
        Strings expected{"kept"};
        expected.insert(expected.end(), c.trimmed.begin(), c.trimmed.end());
        EXPECT_EQ(expected, trimmed);
        EXPECT_EQ(c.trimmedLeft, trimmedLeft);
    }
}

TEST(StringUtils, SplitAtLastComma) {
    struct Case {
        std::string text;
        Strings expected;
    };
    const Case cases[] = {
        {"f(a,b)", {"f(a", "b)"}},
        {"f(ab)", {"f(ab)"}},
        {"", {}},
        {" f(a, b) ", {"f(a", "b)"}},
        {"f(a,b,c)", {"f(a,b", "c)"}},
        {"a,b", {"a,b"}},        // no closer
        {"f(a),b", {"f(a),b"}},  // the last comma stands after the closer
        {"g(x,y)z)", {"g(x", "y)z)"}},
        // The last ')' at position 5 limits the piece after the comma at 1 to 5 bytes.
        {"a,bcd)efghij", {"a", "bcd)e"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(printable(c.text));
        Strings out;
        Utils::splitAtLastComma(c.text, out, ")", '(');
        EXPECT_EQ(c.expected, out);
    }
    Strings bracketed;
    Utils::splitAtLastComma("m[a,b]", bracketed, "]", '[');
    EXPECT_EQ((Strings{"m[a", "b]"}), bracketed);
}

TEST(StringUtils, ByteOrderHelpersLeaveValueUnchanged) {
    const std::uint64_t values[] = {0, 1, 0x0102030405060708ULL, UINT64_MAX, 1ULL << 63};
    for (std::uint64_t value : values) {
        SCOPED_TRACE(value);
        EXPECT_EQ(value, Utils::hton64(value));
        EXPECT_EQ(value, Utils::ntoh64(value));
    }
}
