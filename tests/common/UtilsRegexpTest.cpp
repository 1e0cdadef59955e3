#include "quillmark/Utils.h"
#include "support/AllocationLimit.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillmark;

namespace {

// How often `text` occurs in `log`.
size_t countOf(const std::string& log, const std::string& text) {
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

// A search whose memory, with allocations of 16 KiB refused, cannot be had: a thousand
// alternatives under a repetition over a long run (which it matches at its end).
std::string manyAlternatives() {
    std::string pattern = "(a";
    for (int i = 0; i < 1000; ++i) pattern += "|a";
    return pattern + ")*b";
}
const std::string kLargePattern = manyAlternatives();
const std::string kLargeText = std::string(1000, 'a') + "cb";

}  // namespace

TEST(UtilsRegexp, FirstMatchPointsIntoTheText) {
    struct Case {
        const char* text;
        const char* pattern;
        int offset;  // -1: no match
        int length;
    };
    const Case cases[] = {
        {"abc123", "[0-9]+", 3, 3},   {"abc", "", 0, 0}, {"abc", "x*", 0, 0},
        {"abc", "d", -1, 0},          {"", "$", 0, 0},   {"a.b", "\\.", 1, 1},
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

TEST(UtilsRegexp, PatternsThatDoNotCompileGiveNullAndLengthZero) {
    qmtest::TempDir dir;
    qmtest::LogCapture log;
    testing::internal::CaptureStderr();
    int length = -7;
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch("abc", "a**", &length));
    EXPECT_EQ(0, length);
    length = -7;
    EXPECT_EQ(nullptr, Utils::regexpFirstMatch("abc", nullptr, &length));
    EXPECT_EQ(0, length);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: nested *?+\n"));
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: Invalid expression\n"));

    const std::string logged = log.text();
    EXPECT_EQ(2u, countOf(logged, "re_comp failed.")) << logged;
    EXPECT_NE(std::string::npos, logged.find("|DEBUG")) << logged;
}

// Searches whose backtracking is exponential, or needs more pending choices than a walk keeps,
// are answered like any other.
TEST(UtilsRegexp, CostlySearchesAreAnswered) {
    const std::string exponential = std::string(30, 'a') + "!b";
    const std::string manyChoices = std::string(1100000, 'a') + "c";
    int length = -7;
    EXPECT_EQ(nullptr, Utils::regexpMatch(exponential.c_str(), "(a+)+b", &length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(manyChoices.c_str(), Utils::regexpMatch(manyChoices.c_str(), "(a|b)*c", &length));
    EXPECT_EQ(1100001, length);
}

// A search the engine does not finish is a failure with its own length, never "no match".
TEST(UtilsRegexp, UnfinishedSearchesGiveNullAndTheFailedLength) {
    qmtest::TempDir dir;
    qmtest::LogCapture log;
    testing::internal::CaptureStderr();
    int length = -7;
    EXPECT_EQ(nullptr, Utils::regexpMatch(nullptr, "a", &length));
    EXPECT_EQ(Utils::kRegexpSearchFailed, length);
    {
        qmtest::AllocationLimit limit(16 * 1024);
        length = -7;
        EXPECT_EQ(nullptr, Utils::regexpMatch(kLargeText.c_str(), kLargePattern.c_str(), &length));
        EXPECT_EQ(Utils::kRegexpSearchFailed, length);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: NULL argument to regexec\n"));
    EXPECT_NE(std::string::npos, errors.find("REGEXP ERROR: out of memory in regexec\n"));
    EXPECT_EQ(2u, countOf(log.text(), "regexec failed.")) << log.text();
}

TEST(UtilsRegexp, Filter) {
    struct Case {
        std::string text, include, exclude, expected;
    };
    const Case cases[] = {
        {"abbc", "b+", "", "bb"},  {"abbc", "b+", "x", "abbc"}, {"abbc", "b+", "c$", ""},
        {"abbc", "", "x", "abbc"}, {"abbc", "", "a", ""},       {"abbc", "", "", ""},
        {"abbc", "x", "", ""},     {"abbc", "x", "y", ""},      {"abbc", "b*", "", ""},
        {"abbc", "a**", "", ""},   {"abbc", "", "a**", "abbc"}, {"", "", "x", ""},
        {"", "x*", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "' include '" + c.include + "' exclude '" + c.exclude + "'");
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.expected, Utils::regexpFilter(c.text, c.include, c.exclude));
        testing::internal::GetCapturedStderr();
    }
}

// Searches beyond the old engine's bounds filter like any other.
TEST(UtilsRegexp, FilterAnswersCostlySearches) {
    const std::string text = std::string(1100000, 'a') + "c";
    const char* manyChoices = "(a|b)*c";
    EXPECT_EQ(text, Utils::regexpFilter(text, manyChoices, ""));
    EXPECT_EQ("", Utils::regexpFilter(text, "a", manyChoices));
    EXPECT_EQ("", Utils::regexpFilter(text, "", manyChoices));
    EXPECT_EQ(text, Utils::regexpFilter(text, "", "(a|b)*d"));
    EXPECT_EQ(text, Utils::regexpFilter(text, "", "b"));
}

// A search that cannot be finished lets nothing through, for the exclude pattern too, whose no
// match would pass the whole text.
TEST(UtilsRegexp, FilterLetsNothingThroughAnUnfinishedSearch) {
    testing::internal::CaptureStderr();
    {
        qmtest::AllocationLimit limit(16 * 1024);
        EXPECT_TRUE(Utils::regexpFilter(kLargeText, kLargePattern, "").empty());
        EXPECT_TRUE(Utils::regexpFilter(kLargeText, "a", kLargePattern).empty());
        EXPECT_TRUE(Utils::regexpFilter(kLargeText, "", kLargePattern).empty());
    }
    testing::internal::GetCapturedStderr();
    // With the memory, the search answers: the pattern matches, so nothing passes the exclude.
    EXPECT_EQ("b", Utils::regexpFilter(kLargeText, kLargePattern, ""));
    EXPECT_TRUE(Utils::regexpFilter(kLargeText, "", kLargePattern).empty());
    EXPECT_EQ(kLargeText, Utils::regexpFilter(kLargeText, "", "x"));
}
