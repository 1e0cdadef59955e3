#include "quillmark/FileLogger.h"
#include "quillmark/LogManager.h"
#include "quillmark/Utils.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillmark;

namespace {

// Installs a debug-level logger on a temporary file for the life of the object.
class CapturedLog {
public:
    explicit CapturedLog(const qmtest::TempDir& dir) : path_(dir.file("test.log")) {
        LogManager::getInstance()->setLogger(new FileLogger(path_.c_str(), 5, 1));
    }
    ~CapturedLog() { LogManager::getInstance()->setLogger(nullptr); }
    std::string text() const { return qmtest::readFile(path_); }

private:
    std::string path_;
};

}  // namespace

TEST(UtilsRegexp, FirstMatchPointsIntoTheText) {
    struct Case {
        const char* text;
        const char* pattern;
        int offset;  // -1: no match
        int length;
    };
    const Case cases[] = {
        {"abc123", "[0-9]+", 3, 3}, {"abc", "", 0, 0},     {"abc", "x*", 0, 0},
        {"abc", "d", -1, 0},        {"", "$", 0, 0},       {"a.b", "\\.", 1, 1},
        {"food foo", "foo\\>", 5, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("pattern '" + std::string(c.pattern) + "' on '" + c.text + "'");
        for (auto function : {&Utils::regexpFirstMatch, &Utils::regexpFind, &Utils::regexpMatch}) {
            int length = -7;
            const char* found = function(c.text, c.pattern, &length);
            EXPECT_EQ(c.offset < 0 ? nullptr : c.text + c.offset, found);
            EXPECT_EQ(c.length, length);
            EXPECT_EQ(found, function(c.text, c.pattern, nullptr));
        }
    }
}

TEST(UtilsRegexp, FailuresGiveNullAndLengthZero) {
    qmtest::TempDir dir;
    CapturedLog log(dir);
    testing::internal::CaptureStderr();
    int length = -7;
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch("abc", "a**", &length));
    EXPECT_EQ(0, length);
    length = -7;
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch("abc", nullptr, &length));
    EXPECT_EQ(0, length);
    // Null text and a match that the engine gives up on are no match, not a pointer before the
    // text.
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch(nullptr, "a", &length));
    const std::string deep = std::string(200000, 'a');
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch(deep.c_str(), "(a)*", &length));
    EXPECT_EQ(0, length);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: nested *?+\n"));
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: Invalid expression\n"));
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: NULL argument to regexec\n"));

    const std::string logged = log.text();
    size_t count = 0;
    for (size_t at = logged.find("re_comp failed."); at != std::string::npos;
         at = logged.find("re_comp failed.", at + 1)) {
        ++count;
    }
    EXPECT_EQ(2u, count) << logged;
    EXPECT_NE(std::string::npos, logged.find("|DEBUG")) << logged;
}

TEST(UtilsRegexp, Filter) {
    struct Case {
        std::string text, include, exclude, expected;
    };
    const Case cases[] = {
        {"abbc", "b+", "", "bb"},
        {"abbc", "b+", "x", "abbc"},
        {"abbc", "b+", "c$", ""},
        {"abbc", "", "x", "abbc"},
        {"abbc", "", "a", ""},
        {"abbc", "", "", ""},
        {"abbc", "x", "", ""},
        {"abbc", "x", "y", ""},
        {"abbc", "b*", "", ""},
        {"abbc", "a**", "", ""},
        {"abbc", "", "a**", "abbc"},
        {"", "", "x", ""},
        {"", "x*", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "' include '" + c.include + "' exclude '" + c.exclude + "'");
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.expected, Utils::regexpFilter(c.text, c.include, c.exclude));
        testing::internal::GetCapturedStderr();
    }
}
