#include "PayloadUtilities.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillmark;

namespace {

// The payload the receiver makes of `body`: its bytes and one zero byte, in a vector of exactly
// that size so that a read past it is caught by the sanitizer build.
std::vector<char> payloadOf(const std::string& body) {
    std::vector<char> payload(body.begin(), body.end());
    payload.push_back('\0');
    payload.shrink_to_fit();
    return payload;
}

}  // namespace

TEST(PayloadUtilities, FileName) {
    struct Case {
        std::string body;
        std::string name;
    };
    const Case cases[] = {
        {"upgrade_final", ""},
        {"upgrade_final(pkg_redhat_64_.qmp)", "pkg_redhat_64_.qmp"},
        {"upgrade_initial(a.qmp,data)", "a.qmp"},
        {"upgrade_append(a.qmp,x)y,z)", "a.qmp"},
        {"upgrade_final()", ""},
        {"upgrade_append(,data)", ""},
        {"get_configuration", ""},
        {"upgrade_finalize(n)", "n"},
        {"upgrade_final(../x y/z)", "../x y/z"},
        {std::string("upgrade_final(a\0b)", 18), std::string("a\0b", 3)},
        // The body ends inside the name: the name stops at the body's end.
        {"upgrade_final(abc", "abc"},
        {"upgrade_final(", ""},
        {"(", ""},
        {"", ""},
    };
    PayloadUtilities utilities;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(c.name, utilities.getFileName(payloadOf(c.body)));
    }
}

TEST(PayloadUtilities, DataRange) {
    struct Case {
        std::string body;
        std::string data;
        std::size_t first;  // offset of the range in the payload
    };
    const Case cases[] = {
        {"upgrade_append(n,DATA)", "DATA", 17},
        {"upgrade_initial(n,a,b)c)", "a,b)c", 18},
        {std::string("upgrade_append(n,\0\xff\0)", 21), std::string("\0\xff\0", 3), 17},
        {"upgrade_append(n,)", "", 17},
        // Without a "," the range is empty at the payload's beginning.
        {"upgrade_final(n)", "", 0},
        {"", "", 0},
        // The last byte is taken as the closing ")" (the processors refuse a body where it is
        // not).
        {"upgrade_append(n,abc", "ab", 17},
        // A "," as the body's last byte: empty, at the byte after it.
        {"upgrade_append(n,", "", 17},
        {",", "", 1},
        // The first "," of the body counts, wherever it stands.
        {"upgrade,append(n,D)", "append(n,D", 8},
    };
    PayloadUtilities utilities;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const std::vector<char> payload = payloadOf(c.body);
        const DataRange range = utilities.getDataRange(payload);
        ASSERT_TRUE(payload.begin() <= range.first && range.first <= range.second &&
                    range.second <= payload.end());
        EXPECT_EQ(c.first, static_cast<std::size_t>(range.first - payload.begin()));
        EXPECT_EQ(c.data, std::string(range.first, range.second));
    }
}

// A raw line's line end ("\n", or "\r\n") is not part of the body; a framed body and a raw line
// cut short keep every byte.
TEST(PayloadUtilities, ReadsTheBodyByTheRequestsForm) {
    struct Case {
        RequestForm form;
        std::string body;
        std::string name;
        std::string data;
        bool closed;  // the body's last byte is ")"
    };
    const Case cases[] = {
        {RequestForm::kRawLine, "upgrade_append(n,DATA)\n", "n", "DATA", true},
        {RequestForm::kRawLine, "upgrade_append(n,DATA)\r\n", "n", "DATA", true},
        {RequestForm::kRawLine, "upgrade_append(n,DA\r)\n", "n", "DA\r", true},
        {RequestForm::kRawLine, "upgrade_append(n,DATA\n", "n", "DAT", false},
        {RequestForm::kRawLine, "upgrade_final(abc\n", "abc", "", false},
        {RequestForm::kRawLine, "upgrade_final(abc)\n", "abc", "", true},
        {RequestForm::kRawLine, "\n", "", "", false},
        {RequestForm::kRawLine, "\r\n", "", "", false},
        {RequestForm::kFramed, "upgrade_append(n,DATA)\n", "n", "DATA)", false},
        {RequestForm::kFramed, "upgrade_final(abc\n", "abc\n", "", false},
        {RequestForm::kFramed, "upgrade_append(n,DATA)", "n", "DATA", true},
        {RequestForm::kFramed, "", "", "", false},
        {RequestForm::kRawUnended, "upgrade_append(n,DATA)", "n", "DATA", true},
        {RequestForm::kRawUnended, "upgrade_append(n,DATA\n", "n", "DATA", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        SCOPED_TRACE(static_cast<int>(c.form));
        const PayloadUtilities utilities(c.form);
        const std::vector<char> payload = payloadOf(c.body);
        EXPECT_EQ(c.name, utilities.getFileName(payload));
        const DataRange range = utilities.getDataRange(payload);
        ASSERT_TRUE(payload.begin() <= range.first && range.first <= range.second &&
                    range.second <= payload.end());
        EXPECT_EQ(c.data, std::string(range.first, range.second));
        EXPECT_EQ(c.closed, utilities.endsWithClosingParenthesis(payload));
        EXPECT_EQ(c.form == RequestForm::kRawUnended, utilities.isCutShort());
    }
}
