#include "RegexpSearchLimits.h"
#include "quillmark/Regexp.h"
#include "support/AllocationLimit.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace quillmark;

namespace {

using Program = std::unique_ptr<RegexpProgram, decltype(&re_free)>;
using Pair = std::pair<int, int>;
const Pair kUnset(-1, -1);

// Compiles a pattern that must compile.
Program compile(const std::string& pattern) {
    RegexpProgram* program = nullptr;
    const int code = re_comp(&program, pattern.c_str());
    EXPECT_EQ(0, code) << "pattern '" << pattern << "'";
    return Program(code == 0 ? program : nullptr, &re_free);
}

// A way a search can go: regexec as it is, or with the sizes that send it to each method first
// and make each hand-over happen early.
struct SearchWay {
    const char* name;
    RegexpSearchLimits limits;
    bool breadthFirst;  // the simulation alone
};

const std::vector<SearchWay>& searchWays() {
    static const std::vector<SearchWay> ways = [] {
        const RegexpSearchLimits plain = defaultSearchLimits();
        RegexpSearchLimits automatonFirst = plain;
        automatonFirst.walkFirstBelow = 0;
        RegexpSearchLimits walkFirst = plain;
        walkFirst.walkFirstBelow = SIZE_MAX;
        RegexpSearchLimits tinyCache = automatonFirst;
        tinyCache.automatonCacheBytes = 1024;
        RegexpSearchLimits tinyWalk = walkFirst;
        tinyWalk.walkBaseWork = 200;
        tinyWalk.walkWorkPerByte = 0;
        return std::vector<SearchWay>{
            {"regexec", plain, false},        {"automaton first", automatonFirst, false},
            {"walk first", walkFirst, false}, {"tiny cache", tinyCache, false},
            {"tiny walk", tinyWalk, false},   {"breadth first", plain, true},
        };
    }();
    return ways;
}

struct Outcome {
    int code;                 // regexec's result
    std::vector<Pair> pairs;  // all pairs after the call
    std::string errors;       // what the engine wrote to standard error
    RegexpSearchTrace trace;  // what the search did (not for breadth first)
};

Outcome execute(const RegexpProgram* program, const char* text, int pairCount,
                const SearchWay* way = nullptr) {
    std::unique_ptr<int[][2]> pairs(new int[pairCount > 0 ? pairCount : 1][2]);
    testing::internal::CaptureStderr();
    Outcome out;
    if (way == nullptr) {
        out.code = regexec(program, text, pairCount, pairs.get());
    } else if (way->breadthFirst) {
        out.code = re_exec_breadth_first(program, text, pairCount, pairs.get());
    } else {
        out.code = re_exec_limited(program, text, pairCount, pairs.get(), way->limits, &out.trace);
    }
    out.errors = testing::internal::GetCapturedStderr();
    for (int i = 0; i < pairCount; ++i) out.pairs.emplace_back(pairs[i][0], pairs[i][1]);
    return out;
}

Outcome execute(const std::string& pattern, const std::string& text, int pairCount = 1,
                const SearchWay* way = nullptr) {
    Program program = compile(pattern);
    if (!program) return Outcome{-100, {}, "", RegexpSearchTrace()};
    return execute(program.get(), text.c_str(), pairCount, way);
}

struct CompileOutcome {
    int code;
    std::string errors;
};

CompileOutcome compileFailure(const std::string& pattern) {
    RegexpProgram* const untouched = reinterpret_cast<RegexpProgram*>(&compileFailure);
    RegexpProgram* program = untouched;
    testing::internal::CaptureStderr();
    const int code = re_comp(&program, pattern.c_str());
    const std::string errors = testing::internal::GetCapturedStderr();
    if (code == 0) {
        re_free(program);
    } else {
        EXPECT_EQ(untouched, program) << "failed re_comp changed the result pointer";
    }
    return CompileOutcome{code, errors};
}

// A match case: `start` -1 means no match.
struct MatchCase {
    const char* pattern;
    std::string text;
    int start;
    int end;
};

// Every case the same every way a search can go.
void expectMatches(const std::vector<MatchCase>& cases) {
    for (const MatchCase& c : cases) {
        const Program program = compile(c.pattern);
        ASSERT_TRUE(program) << c.pattern;
        for (const SearchWay& way : searchWays()) {
            SCOPED_TRACE("pattern '" + std::string(c.pattern) + "' on '" +
                         (c.text.size() <= 80 ? c.text : c.text.substr(0, 80) + "...") + "', " +
                         way.name);
            const Outcome out = execute(program.get(), c.text.c_str(), 1, &way);
            if (c.start < 0) {
                EXPECT_EQ(0, out.code);
            } else {
                EXPECT_EQ(1, out.code);
                EXPECT_EQ(Pair(c.start, c.end), out.pairs[0]);
            }
            EXPECT_EQ("", out.errors);
        }
    }
}

std::string repeat(const std::string& unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += unit;
    return out;
}

}  // namespace

TEST(Regexp, OperatorsLeftmostAndBacktracking) {
    expectMatches({
        {"", "", 0, 0},
        {"", "abc", 0, 0},
        {"ab*", "abbbc", 0, 4},
        {"a|b", "cb", 1, 2},
        {"x*", "abc", 0, 0},
        {"a+", "baaa", 1, 4},
        {"ba?c", "bc", 0, 2},
        {"ba?c", "bac", 0, 3},
        {"ba?c", "baac", -1, -1},
        {".", "", -1, -1},
        {".", "\n", 0, 1},
        {"a.c", "xabcx", 1, 4},
        {"abc", "ababc", 2, 5},
        {"a.*b", "axbyb", 0, 5},
        {"a.*b", "axbyc", 0, 3},
        {"a*ab", "aaab", 0, 4},
        {"[0-9]*5", "12345", 0, 5},
        {"(ab)*c", "ababc", 0, 5},
        {"(ab)+", "xababa", 1, 5},
        {"(ab)+", "aab", 1, 3},
        {"(a|ab)c", "abc", 0, 3},
        {"(a|ab)(c|bcd)", "abcd", 0, 4},
        {"a|ab", "ab", 0, 1},
        {"ab|cd|ef", "xxef", 2, 4},
        {"x(a|b|c)*y", "xabcaby", 0, 7},
        {"a(|b)c", "ac", 0, 2},
        {"a(|b)c", "abc", 0, 3},
        {"(a*)?b", "aab", 0, 3},
        {"abc*", "abccc", 0, 5},
        {"abc*", "ab", 0, 2},
        {"abc+", "ab", -1, -1},
        {"abc?d", "abd", 0, 3},
        {"a{}-]", "a{}-]", 0, 5},
        {"\\.", "a.b", 1, 2},
        {"\\.", "ab", -1, -1},
        {"\\t", "t", 0, 1},
        {"\\t", "\t", -1, -1},
        {"\\\\", "a\\b", 1, 2},
        {"a\\*", "aa*", 1, 3},
        {"\\(\\)", "()", 0, 2},
        {"\\|", "a|b", 1, 2},
        {"\\n", "\n!", 1, 2},
        {"\xE9t\xE9", "caf\xE9t\xE9", 3, 6},
        {"[\xE0-\xFF]+", "a\xE9\xFF", 1, 3},
    });
}

TEST(Regexp, Sets) {
    expectMatches({
        {"[]a]", "]", 0, 1},      {"[]a]", "a", 0, 1},        {"[]a]", "b", -1, -1},
        {"[a-]", "-", 0, 1},      {"[a-]", "a", 0, 1},        {"[-a]", "-", 0, 1},
        {"[^-]", "-", -1, -1},    {"[^-]", "-x", 1, 2},       {"[^-]", "", -1, -1},
        {"[^abc]", "abcd", 3, 4}, {"[^a]", "\xE9", 0, 1},     {"[a-c-e]", "d", 0, 1},
        {"[a-c-e]", "f", -1, -1}, {"[a-a]", "a", 0, 1},       {"[a-a]", "b", -1, -1},
        {"[\\d]", "\\", 0, 1},    {"[\\d]", "d", 0, 1},       {"[\\d]", "5", -1, -1},
        {"[.*]+", "a*.*b", 1, 4}, {"[a-z]+", "ABcdeF", 2, 5}, {"[^a-z]*", "ABcd", 0, 2},
    });
}

TEST(Regexp, Anchors) {
    expectMatches({
        {"^", "abc", 0, 0},
        {"^", "", 0, 0},
        {"$", "abc", 3, 3},
        {"$", "", 0, 0},
        {"^$", "", 0, 0},
        {"^$", "a", -1, -1},
        {"a^b", "ab", -1, -1},
        {"a^b", "a^b", -1, -1},
        {"^ab", "ab", 0, 2},
        {"^ab", "xab", -1, -1},
        {"^a", "b\na", -1, -1},
        {"a$", "a\nb", -1, -1},
        {"ab$", "abab", 2, 4},
        {"b|^a", "ab", 0, 1},
        {"b|^a", "ca", -1, -1},
        {"x*$", "abxx", 2, 4},
    });
}

TEST(Regexp, BackslashClassesWithUpperCaseNegation) {
    struct ClassCase {
        char letter;
        std::string members;
        std::string others;
    };
    const ClassCase cases[] = {
        {'m', "aZ5", "_ -\x80"}, {'a', "aZ", "5_\xC3"},
        {'b', " \t", "\n\va"},   {'c', "\x01\x1F\x7F\n", "a \x80"},
        {'d', "09", "a/\xB2"},   {'g', "!~a", " \x7F\x80"},
        {'l', "az", "A5\xE9"},   {'p', " ~a", "\x7F\n\xE9"},
        {'n', "!/_~", "a \x80"}, {'s', " \t\n\v\f\r", "a\x85\xA0"},
        {'u', "AZ", "a5\xC9"},   {'x', "09afAF", "gG"},
        {'w', "a_9Z", "-\x80 "},
    };
    for (const ClassCase& c : cases) {
        const std::string plain = std::string("\\") + c.letter;
        const std::string negated = std::string("\\") + static_cast<char>(c.letter - 'a' + 'A');
        for (const char member : c.members) {
            const std::string text(1, member);
            SCOPED_TRACE(plain + " with byte " +
                         std::to_string(static_cast<unsigned char>(member)));
            EXPECT_EQ(1, execute(plain, text).code);
            EXPECT_EQ(0, execute(negated, text).code);
        }
        for (const char other : c.others) {
            const std::string text(1, other);
            SCOPED_TRACE(plain + " with byte " + std::to_string(static_cast<unsigned char>(other)));
            EXPECT_EQ(0, execute(plain, text).code);
            EXPECT_EQ(1, execute(negated, text).code);
        }
        SCOPED_TRACE(plain + " at the end of the text");
        EXPECT_EQ(0, execute(plain, "").code);
        EXPECT_EQ(0, execute(negated, "").code);
    }
    expectMatches({
        {"\\d+", "ab123c", 2, 5},
        {"\\D", "123", -1, -1},
        {"\\D*$", "ab", 0, 2},
        {"\\d*", "123a", 0, 3},
        {"\\W+", "ab, c", 2, 4},
        {"\\s*x", "  \t x", 0, 5},
        {"\\u\\l+", "abCde", 2, 5},
    });
}

TEST(Regexp, WordStartAndWordEnd) {
    expectMatches({
        {"\\<foo", "afoo foo", 5, 8},
        {"foo\\>", "food foo", 5, 8},
        {"\\>", " a", 0, 0},
        {"\\>", "abc", 3, 3},
        {"a\\>", "ab a", 3, 4},
        {"\\<", "  ", -1, -1},
        {"\\<", "", -1, -1},
        {"\\<a", "a", 0, 1},
        {"\\<a", "_a", -1, -1},
        {"\\<a",
         "\xE9"
         "a",
         1, 2},
        {"\\<\\w+\\>", "  hello world", 2, 7},
        {"\\<?a", "ba", 1, 2},
    });
}

TEST(Regexp, GroupPositions) {
    struct GroupCase {
        const char* pattern;
        const char* text;
        std::vector<Pair> pairs;
    };
    const GroupCase cases[] = {
        {"(a)*", "aaa", {{0, 3}, {2, 3}}},
        {"(a)|b", "b", {{0, 1}, kUnset}},
        {"(a)(b)", "ab", {{0, 2}, {0, 1}, {1, 2}, kUnset, kUnset}},
        {"((a)b)+", "abab", {{0, 4}, {2, 4}, {2, 3}}},
        {"(a*)b", "b", {{0, 1}, {0, 0}}},
        {"x(a|b)*y", "xaby", {{0, 4}, {2, 3}}},
        {"(a|ab)(c|bcd)(d*)", "abcd", {{0, 4}, {0, 1}, {1, 4}, {4, 4}}},
        {"(a)?b", "b", {{0, 1}, kUnset}},
        {"(a(b(c)))", "xabc", {{1, 4}, {1, 4}, {2, 4}, {3, 4}}},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)",
         "abcdefghijkl",
         {{0, 12},
          {0, 1},
          {1, 2},
          {2, 3},
          {3, 4},
          {4, 5},
          {5, 6},
          {6, 7},
          {7, 8},
          {8, 9},
          {9, 10},
          {10, 11},
          {11, 12}}},
        {"(x)", "abc", {kUnset, kUnset}},
    };
    for (const GroupCase& c : cases) {
        for (const SearchWay& way : searchWays()) {
            SCOPED_TRACE("pattern '" + std::string(c.pattern) + "' on '" + c.text + "', " +
                         way.name);
            const Outcome out = execute(c.pattern, c.text, static_cast<int>(c.pairs.size()), &way);
            EXPECT_EQ(c.pairs[0] == kUnset ? 0 : 1, out.code);
            EXPECT_EQ(c.pairs, out.pairs);
        }
    }
    EXPECT_EQ(3, re_nsubexp(compile("(a)(b)").get()));
    EXPECT_EQ(1, re_nsubexp(compile("").get()));
    EXPECT_EQ(13, re_nsubexp(compile("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)").get()));
}

// Group numbers from 256 on do not fit the node's number byte; they must not land in another
// group's pair (or in pair 0).
TEST(Regexp, GroupsBeyondTheNumberByteAreNotRecorded) {
    const int groups = 300;
    const Program program = compile(repeat("(a)", groups));
    ASSERT_TRUE(program);
    EXPECT_EQ(groups + 1, re_nsubexp(program.get()));
    const Outcome out = execute(program.get(), repeat("a", groups).c_str(), groups + 1);
    ASSERT_EQ(1, out.code);
    EXPECT_EQ(Pair(0, groups), out.pairs[0]);
    for (int n = 1; n <= groups; ++n) {
        SCOPED_TRACE("group " + std::to_string(n));
        EXPECT_EQ(n <= 255 ? Pair(n - 1, n) : kUnset, out.pairs[n]);
    }
}

TEST(Regexp, MatchArrayIsOptional) {
    const Program program = compile("(a)b");
    ASSERT_TRUE(program);
    int pairs[2][2] = {{7, 7}, {7, 7}};
    EXPECT_EQ(1, regexec(program.get(), "xab", 0, pairs));
    EXPECT_EQ(0, regexec(program.get(), "xb", 0, pairs));
    EXPECT_EQ(1, regexec(program.get(), "xab", -3, pairs));
    EXPECT_EQ(1, regexec(program.get(), "xab", 2, nullptr));
    for (const auto& pair : pairs) {
        EXPECT_EQ(7, pair[0]);
        EXPECT_EQ(7, pair[1]);
    }
}

// The layout of the program block: magic byte, then nodes of kind, 15-bit link, operand.
TEST(Regexp, ProgramLayoutAndHints) {
    const Program ab = compile("ab");
    ASSERT_TRUE(ab);
    const unsigned char expected[] = {0x9C, RX_ALTERNATIVE, 0, 9, RX_LITERAL, 0, 6, 'a', 'b',
                                      0,    RX_END,         0, 0};
    EXPECT_EQ(0, std::memcmp(expected, ab->program, sizeof expected));
    EXPECT_EQ(1, ab->groupCount);

    struct HintCase {
        const char* pattern;
        char firstChar;
        char anchored;
        const char* must;
    };
    const HintCase cases[] = {
        {"abc", 'a', 0, nullptr},   {"^abc", 0, 1, nullptr},   {"a|b", 0, 0, nullptr},
        {"x*abc", 0, 0, "abc"},     {"x*ab(c)de", 0, 0, "de"}, {"a+bcd", 0, 0, "bcd"},
        {"a?bcd", 0, 0, nullptr},   {"(x*)abc", 0, 0, "abc"},  {"x*(abc)?d", 0, 0, "d"},
        {"\\.x*", '.', 0, nullptr}, {"", 0, 0, nullptr},
    };
    for (const HintCase& c : cases) {
        SCOPED_TRACE(c.pattern);
        const Program program = compile(c.pattern);
        ASSERT_TRUE(program);
        EXPECT_EQ(c.firstChar, program->firstChar);
        EXPECT_EQ(c.anchored, program->anchored);
        if (c.must == nullptr) {
            EXPECT_EQ(nullptr, program->mustLiteral);
            EXPECT_EQ(0, program->mustLength);
        } else {
            ASSERT_NE(nullptr, program->mustLiteral);
            EXPECT_STREQ(c.must, program->mustLiteral);
            EXPECT_EQ(static_cast<int>(std::strlen(c.must)), program->mustLength);
            EXPECT_GT(program->mustLiteral, program->program);
        }
    }
    // The literal every match needs rules out a text at once, and does not hide a real match.
    expectMatches({{"x*abc", "xxab", -1, -1}, {"x*abc", "xxabc", 0, 5}, {"y*bc", "abc", 1, 3}});
}

TEST(Regexp, CompileErrorsAndTheirLines) {
    struct ErrorCase {
        std::string pattern;
        int code;
        const char* message;
    };
    const ErrorCase cases[] = {
        {"a**", -7, "nested *?+"},
        {"a*?", -7, "nested *?+"},
        {"a+*", -7, "nested *?+"},
        {"(a)??", -7, "nested *?+"},
        {"(", -4, "unterminated ()"},
        {"((a)", -4, "unterminated ()"},
        {"(a|b", -4, "unterminated ()"},
        {")", -4, "unmatched ()"},
        {"a)", -4, "unmatched ()"},
        {"(a))", -4, "unmatched ()"},
        {"[z-a]", -5, "invalid [] range"},
        {"[a-c-b]", -5, "invalid [] range"},
        {"[ab", -6, "unmatched []"},
        {"[", -6, "unmatched []"},
        {"[]", -6, "unmatched []"},
        {"[^]", -6, "unmatched []"},
        {"[a-", -6, "unmatched []"},
        {"*a", -7, "?+* follows nothing"},
        {"+", -7, "?+* follows nothing"},
        {"a|?b", -7, "?+* follows nothing"},
        {"(*a)", -7, "?+* follows nothing"},
        {"\\", -8, "trailing \\"},
        {"ab\\", -8, "trailing \\"},
        {"(a*)*", -7, "*+ operand could be empty"},
        {"(a*)+", -7, "*+ operand could be empty"},
        {"(a|)*", -7, "*+ operand could be empty"},
        {"()+", -7, "*+ operand could be empty"},
        {"\\<*", -7, "*+ operand could be empty"},
        {"\\>+", -7, "*+ operand could be empty"},
        {"^*", -7, "*+ operand could be empty"},
        {"x$+", -7, "*+ operand could be empty"},
        // Short patterns whose sets make programs too large to be written in one pass on the
        // stack: the error is found, and reported once, all the same.
        {repeat("[ -~]", 12) + "a**", -7, "nested *?+"},
        {repeat("[ -~]", 12) + ")", -4, "unmatched ()"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE("pattern '" + c.pattern + "'");
        const CompileOutcome out = compileFailure(c.pattern);
        EXPECT_EQ(c.code, out.code);
        EXPECT_EQ("REGEXP ERROR: " + std::string(c.message) + "\n", out.errors);
    }
    for (const char* valid : {"(a*)?", "\\<?", "^?", "(a|)?", "x\\\\", "a{2}", "[a-a]", "(ab)*"}) {
        SCOPED_TRACE(valid);
        const CompileOutcome out = compileFailure(valid);
        EXPECT_EQ(0, out.code);
        EXPECT_EQ("", out.errors);
    }
}

TEST(Regexp, NullAndCorruptedArguments) {
    auto errorsOf = [](const std::function<int()>& call, int expected) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(expected, call());
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ("REGEXP ERROR: Invalid out regexp pointer\n",
              errorsOf([] { return re_comp(nullptr, "a"); }, -1));
    RegexpProgram* untouched = nullptr;
    EXPECT_EQ("REGEXP ERROR: Invalid expression\n",
              errorsOf([&] { return re_comp(&untouched, nullptr); }, -1));
    EXPECT_EQ(nullptr, untouched);

    Program program = compile("a");
    ASSERT_TRUE(program);
    int pairs[1][2];
    EXPECT_EQ("REGEXP ERROR: NULL argument to regexec\n",
              errorsOf([&] { return regexec(nullptr, "a", 1, pairs); }, -1));
    EXPECT_EQ("REGEXP ERROR: NULL argument to regexec\n",
              errorsOf([&] { return regexec(program.get(), nullptr, 1, pairs); }, -1));
    EXPECT_EQ("REGEXP ERROR: NULL argument to re_nsubexp\n",
              errorsOf([] { return re_nsubexp(nullptr); }, -1));

    program->program[0] = 'x';
    EXPECT_EQ("REGEXP ERROR: corrupted regexp\n",
              errorsOf([&] { return regexec(program.get(), "a", 1, pairs); }, -1));
    EXPECT_EQ("REGEXP ERROR: corrupted regexp\n",
              errorsOf([&] { return re_nsubexp(program.get()); }, -1));
    re_free(nullptr);
}

// Every text lies in a heap block that ends at its NUL, so AddressSanitizer reports any read
// beyond it.
TEST(Regexp, TextIsNotReadBeyondItsEnd) {
    const char* patterns[] = {"a",    "ab",  "x*",      "\\>",   "\\<",   "$", "[^a]*$", ".*",
                              "\\W*", "a+b", "(a|b)*c", "[ab]+", "\\d*x", "",  "b$",     "ba*"};
    for (const std::string text : {"", "a", "ab", "ba", "bab"}) {
        std::unique_ptr<char[]> exact(new char[text.size() + 1]);
        std::memcpy(exact.get(), text.c_str(), text.size() + 1);
        for (const char* pattern : patterns) {
            const Program program = compile(pattern);
            ASSERT_TRUE(program);
            for (const SearchWay& way : searchWays()) {
                SCOPED_TRACE("pattern '" + std::string(pattern) + "' on '" + text + "', " +
                             way.name);
                const Outcome out = execute(program.get(), exact.get(), 3, &way);
                EXPECT_GE(out.code, 0);
                if (out.code == 1) {
                    EXPECT_LE(out.pairs[0].first, out.pairs[0].second);
                    EXPECT_LE(out.pairs[0].second, static_cast<int>(text.size()));
                }
            }
        }
    }
}

// The sizing pass must agree with the writing pass byte for byte: a literal run of n characters
// needs 11 + n bytes, and n nested empty groups need 10 + 9n bytes plus one operand byte for each
// opening and closing node of the groups from 10 on.
TEST(Regexp, ProgramSizeLimit) {
    const std::string fits(32755, 'a');
    const Program program = compile(fits);
    ASSERT_TRUE(program);
    const Outcome out = execute(program.get(), ("b" + fits).c_str(), 1);
    EXPECT_EQ(1, out.code);
    EXPECT_EQ(Pair(1, 32756), out.pairs[0]);

    const CompileOutcome tooBig = compileFailure(fits + "a");
    EXPECT_EQ(-2, tooBig.code);
    EXPECT_EQ("REGEXP ERROR: regexp too big\n", tooBig.errors);

    EXPECT_EQ(0, compileFailure(repeat("(", 2979) + repeat(")", 2979)).code);
    EXPECT_EQ(-2, compileFailure(repeat("(", 2980) + repeat(")", 2980)).code);

    // A short pattern with a program larger than a short one's compiles and matches the same.
    const Program wide = compile(repeat("[ -~]", 12));
    ASSERT_TRUE(wide);
    EXPECT_EQ(1 + 3 + 12 * (3 + 96) + 3, wide->programLength);
    const Outcome found = execute(wide.get(), "\tabcdefghijkl\t", 1);
    EXPECT_EQ(1, found.code);
    EXPECT_EQ(Pair(1, 13), found.pairs[0]);
}

// Patterns of mixed node kinds grown past the limit: each compiles or is "regexp too big", never
// an internal error from passes that disagree, and the switch happens once.
TEST(Regexp, MixedProgramsNearTheLimit) {
    const char* units[] = {"(a|[b-z]\\w)*", "x+[^0-9]?\\<(y)", "[ -~]*\\D|(((q)))", "ab?c*d+",
                           "(x)(y)(z)(w)(v)(u)(t)(s)(r)(p)(o)"};
    for (const char* unit : units) {
        SCOPED_TRACE(unit);
        bool tooBig = false;
        for (int count = 1; count < 4000 && !tooBig; count += 7) {
            const CompileOutcome out = compileFailure(repeat(unit, count));
            ASSERT_TRUE(out.code == 0 || out.code == -2) << count << ": " << out.errors;
            tooBig = out.code == -2;
        }
        EXPECT_TRUE(tooBig);
    }
}

TEST(Regexp, HostilePatternsFailWithoutCrashing) {
    const CompileOutcome unterminated = compileFailure(repeat("(", 30000));
    EXPECT_EQ(-4, unterminated.code);
    EXPECT_EQ("REGEXP ERROR: unterminated ()\n", unterminated.errors);
    EXPECT_EQ(-2, compileFailure(repeat("(", 30000) + repeat(")", 30000)).code);
    // The 32767th group comes before the end of the pattern.
    const CompileOutcome deep = compileFailure(repeat("(", 100000));
    EXPECT_EQ(-99, deep.code);
    EXPECT_EQ("REGEXP ERROR: Too many ()\n", deep.errors);

    const CompileOutcome tooMany = compileFailure(repeat("()", 32767));
    EXPECT_EQ(-99, tooMany.code);
    EXPECT_EQ("REGEXP ERROR: Too many ()\n", tooMany.errors);
    EXPECT_EQ(-2, compileFailure(repeat("()", 32766)).code);
}

// However deep the groups nest, the first syntax error in the pattern is reported; the size
// limit only when the pattern has none.
TEST(Regexp, DeepNestingKeepsItsErrorCode) {
    const std::string open = repeat("(", 3700);
    const struct {
        std::string pattern;
        int code;
        const char* message;
    } cases[] = {
        {open + "a" + repeat(")", 3701), -4, "unmatched ()"},
        {open + "a", -4, "unterminated ()"},
        {open + "a" + repeat(")", 3699), -4, "unterminated ()"},
        {open + "a" + repeat(")", 3700), -2, "regexp too big"},
        {open + "*a" + repeat(")", 3700), -7, "?+* follows nothing"},
        {open + "[a" + repeat(")", 3700), -6, "unmatched []"},
        {open + "a" + repeat(")", 3600) + "\\", -8, "trailing \\"},
        {open + ")*" + repeat(")", 3699), -7, "*+ operand could be empty"},
        {repeat("(", 3639) + "a" + repeat(")", 3639), -2, "regexp too big"},
        {repeat("(", 3000) + "a" + repeat(")", 3001), -4, "unmatched ()"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const CompileOutcome out = compileFailure(c.pattern);
        EXPECT_EQ(c.code, out.code);
        EXPECT_EQ("REGEXP ERROR: " + std::string(c.message) + "\n", out.errors);
    }
    // Nesting that fits still compiles and matches, its innermost group included.
    const int depth = 2000;
    const Program nested = compile(repeat("(", depth) + "a" + repeat(")", depth));
    ASSERT_TRUE(nested);
    const Outcome out = execute(nested.get(), "ba", 256);
    EXPECT_EQ(1, out.code);
    EXPECT_EQ(Pair(1, 2), out.pairs[0]);
    EXPECT_EQ(Pair(1, 2), out.pairs[255]);
}

// Long texts under repetitions, repeated groups included: the interpreter's bounds leave these
// ordinary searches alone.
TEST(Regexp, LongTextsMatch) {
    // Lines of hex digits joined without their line feeds, as the file metrics search a file.
    const std::string hexLines = repeat("0123456789abcdef", 640);
    std::string words;
    for (int i = 0; i < 20000; ++i) words += "w" + std::to_string(i) + " ";
    expectMatches({
        {"^(ab)+$", repeat("ab", 16384), 0, 32768},
        {"(a|b)*c", repeat("a", 3000) + "c", 0, 3001},
        {"a[^c]*b", repeat("a", 6000) + "cab", 6001, 6003},
        {"\\w*42;", hexLines + "id 42;", 10243, 10246},
        {"x?(ab|a)*$", repeat("a", 200000), 0, 200000},
        {"(\\w+ )*end", words + "end", 0, static_cast<int>(words.size()) + 3},
        {"(b|c)d", repeat("a", 2000000), -1, -1},
        {"(ne|x)edle", repeat("a", 2000000) + "needle", 2000000, 2000006},
        {"[0-9]+\\.[0-9]+", repeat("v ", 500000) + "3.14", 1000000, 1000004},
    });

    // Long runs in which nearly every byte leads the automaton back to the state it is in, so
    // that it jumps to the next byte that does not: the end of the text, a match just after the
    // run, word boundaries and the text's end just after it.
    const std::string run = repeat("a-", 50000);
    expectMatches({
        {"q.*z", "q" + run + "z" + run, 0, 100002},
        {"q.*z$", "q" + run + "z" + run, -1, -1},
        {"q.*z$", "q" + run + "zz", 0, 100003},
        {"q.*z\\>", "q" + run + "za" + run + "z", 0, 200004},
        {"q.*z\\>", "q" + run + "za" + run, -1, -1},
        {"q[^z]*z", "q" + run + "z", 0, 100002},
        {"q[^z]*(z|y)", "q" + run + "y" + run + "z", 0, 200003},
        {".*\\<w", run + " w", 0, 100002},
        {"q.*(xy|yx)", "q" + run + "yx" + run + "xa", 0, 100003},
    });

    // A repeated group over a long text still reports its last iteration.
    const Outcome out = execute("(a)*", repeat("a", 200000), 2);
    EXPECT_EQ(1, out.code);
    EXPECT_EQ(Pair(0, 200000), out.pairs[0]);
    EXPECT_EQ(Pair(199999, 200000), out.pairs[1]);
}

namespace {

// The first match by the platform's POSIX extended expressions, which agree with this dialect
// on the patterns used here: (start, end), or kUnset for none.
Pair platformMatch(const char* pattern, const std::string& text) {
    regex_t compiled;
    EXPECT_EQ(0, regcomp(&compiled, pattern, REG_EXTENDED)) << pattern;
    regmatch_t match[1];
    const int code = regexec(&compiled, text.c_str(), 1, match, 0);
    regfree(&compiled);
    return code == 0 ? Pair(static_cast<int>(match[0].rm_so), static_cast<int>(match[0].rm_eo))
                     : kUnset;
}

}  // namespace

// Patterns whose backtracking takes time exponential or quadratic in the text are answered,
// with the walk's pairs, by regexec and by the breadth-first simulation alike.
TEST(Regexp, PathologicalSearchesAnswer) {
    struct Pathological {
        const char* pattern;
        std::string tail;  // appended to a run of 'a'
        bool matches;      // then from 0 to the end
        Pair lastGroup;    // group 1 (kUnset: none); a negative offset v counts from the end,
                           // as length + 1 + v
    };
    const Pathological cases[] = {
        {"(a|a)*b", "", false, kUnset},    {"(a|a)*b", "b", true, {-3, -2}},
        {"(a|aa)+c", "", false, kUnset},   {"(a|aa)+c", "c", true, {-3, -2}},
        {"(a+)*b", "", false, kUnset},     {"(a+)*b", "b", true, {0, -2}},
        {"((a+)+)+c", "", false, kUnset},  {"(a*a)*c", "ac", true, {0, -2}},
        {"(a|b|ab)*c", "", false, kUnset}, {".*x$", "", false, kUnset},
        {".*x$", "x", true, kUnset},       {".*x$", "xa", false, kUnset},
        {"(.*)x$", "x", true, {0, -2}},
    };
    for (const int size : {1024, 1 << 20}) {
        const std::string run(static_cast<std::size_t>(size), 'a');
        for (const Pathological& c : cases) {
            const std::string text = run + c.tail;
            const int length = static_cast<int>(text.size());
            SCOPED_TRACE("pattern '" + std::string(c.pattern) + "' on " + std::to_string(size) +
                         " a + '" + c.tail + "'");
            const Program program = compile(c.pattern);
            ASSERT_TRUE(program);
            std::vector<Pair> expected(3, kUnset);
            if (c.matches) {
                expected[0] = Pair(0, length);
                if (c.lastGroup != kUnset) {
                    auto offset = [length](int v) { return v < 0 ? length + 1 + v : v; };
                    expected[1] = Pair(offset(c.lastGroup.first), offset(c.lastGroup.second));
                }
            }
            if (size == 1024) {
                EXPECT_EQ(expected[0], platformMatch(c.pattern, text));
            }
            const Outcome automatic = execute(program.get(), text.c_str(), 3);
            EXPECT_EQ(c.matches ? 1 : 0, automatic.code);
            EXPECT_EQ(expected, automatic.pairs);
            EXPECT_EQ("", automatic.errors);
            int pairs[3][2];
            EXPECT_EQ(c.matches ? 1 : 0,
                      re_exec_breadth_first(program.get(), text.c_str(), 3, pairs));
            for (int i = 0; i < 3; ++i) EXPECT_EQ(expected[i], Pair(pairs[i][0], pairs[i][1]));
        }
    }
}

// What used to be beyond the old engine's bounds: a search far past any work budget, and one
// with more pending choices than a walk may keep.
TEST(Regexp, SearchesBeyondTheWalksBoundsAnswer) {
    const std::string choices = repeat("a", 1100000) + "c";
    expectMatches({
        {"(a|a)*b", repeat("a", 40) + "cb", 41, 42},
        {"(a|b)*c", choices, 0, static_cast<int>(choices.size())},
        {"(warn|error|fatal)", repeat("no such word here ", 60000), -1, -1},
        {"(warn|error|fatal)", repeat("no such word here ", 60000) + "fatal", 1080000, 1080005},
        {"ERROR.*deadlock", repeat("ERROR: timeout ", 70000), -1, -1},
        {"\\w+@\\w+\\.com", repeat("user at host dot com ", 50000), -1, -1},
        {"\\w+@\\w+\\.com", repeat("user at host dot com ", 50000) + "me@x.com", 1050000, 1050008},
    });
    const Outcome out = execute("(a|b)*c", choices, 2);
    EXPECT_EQ(1, out.code);
    EXPECT_EQ(Pair(1099999, 1100000), out.pairs[1]);

    // The walk fails cheaply at 0, overruns at 2, and the search goes on from there.
    const Outcome later =
        execute("x(a|a)*y", "xb" + repeat("x" + repeat("a", 40) + "c", 2) + "xaay", 2);
    EXPECT_EQ(1, later.code);
    EXPECT_EQ(Pair(86, 90), later.pairs[0]);
    EXPECT_EQ(Pair(88, 89), later.pairs[1]);
}

// Memory that cannot be had is the one failure left: -3 with its line, never "no match".
TEST(Regexp, SearchWithoutMemoryIsAFailure) {
    // A thousand alternatives under a repetition: the walk's choices outgrow 16 KiB, and so
    // does what the breadth-first simulation keeps per program byte.
    std::string alternatives = "a";
    for (int i = 0; i < 1000; ++i) alternatives += "|a";
    const Program program = compile("(" + alternatives + ")*b");
    ASSERT_TRUE(program);
    const std::string text = repeat("a", 1000) + "cb";
    Outcome out;
    {
        testing::internal::CaptureStderr();
        qmtest::AllocationLimit limit(16 * 1024);
        out.code = regexec(program.get(), text.c_str(), 1, nullptr);
        out.errors = testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(-3, out.code);
    EXPECT_EQ("REGEXP ERROR: out of memory in regexec\n", out.errors);
    const Outcome answered = execute(program.get(), text.c_str(), 2);
    EXPECT_EQ(1, answered.code);
    EXPECT_EQ(Pair(1001, 1002), answered.pairs[0]);
}

namespace {

// A few kinds of log lines, joined without line ends as the file searches join them. They hold
// every literal that the patterns of the tests below need, so that no skip rules a text out.
std::string logText(int lines) {
    static const char* const kinds[] = {
        "Dec 10 10:00:01 web01 app[312]: ERROR PUT /api/v1/items/7 status=200 after 3 retries",
        "Dec 10 10:00:02 web01 sshd[2001]: Accepted publickey for deploy from 198.51.100.7 "
        "port 40022 ssh2",
        "Dec 10 10:00:03 web01 nginx[512]: 10.1.2.3 - - \"GET /api/v1/items/9 HTTP/1.1\" 200 512",
        "Dec 10 10:00:04 web01 chronyd[77]: Selected source 192.0.2.1 for example.com",
        "Dec 10 10:00:05 web01 dbus-daemon[9001]: [system] Activating service name=org.a",
    };
    std::string out;
    for (int i = 0; i < lines; ++i) out += kinds[i % 5];
    return out;
}

}  // namespace

// On long texts the automaton decides, with the walk's pairs: the match's span from its two
// passes, its groups from one walk over that span.
TEST(Regexp, AutomatonDecidesLongTexts) {
    // Literals that the patterns need, before anything that could begin a match with them, so
    // that no skip rules the text out.
    const std::string needed = "panic, timeout, disk space; error budget: ";
    const std::string quiet = needed + logText(2000);
    const std::string noisy = needed + logText(1000) +
                              "Dec 10 11:00:00 web01 app[312]: ERROR PUT /api/v1/items/7 "
                              "status=500 after connection refused; disk error at me@host.com" +
                              logText(1000);
    const char* patterns[] = {
        "ERROR.*(timeout|refused)",
        "(GET|PUT) .*status=(404|500)",
        "\\<(dbus-daemon|chronyd)\\[\\d+\\]: .*error",
        "[a-z]+\\[\\d+\\]: .*(panic|fatal)",
        "(\\d+\\.)+\\d+ port \\d+",
        "(warn|error|fatal).*(disk|space)",
        "(\\w+)@(\\w+)\\.com",
    };
    for (const std::string* text : {&quiet, &noisy}) {
        for (const char* pattern : patterns) {
            SCOPED_TRACE("pattern '" + std::string(pattern) + "' on the " +
                         (text == &quiet ? "quiet" : "noisy") + " text");
            const Program program = compile(pattern);
            ASSERT_TRUE(program);
            const SearchWay& plain = searchWays().front();
            for (const int pairCount : {0, 1, 3}) {
                const Outcome out = execute(program.get(), text->c_str(), pairCount, &plain);
                int expected[3][2];
                EXPECT_EQ(re_exec_breadth_first(program.get(), text->c_str(), 3, expected),
                          out.code);
                for (int i = 0; i < pairCount; ++i) {
                    EXPECT_EQ(Pair(expected[i][0], expected[i][1]), out.pairs[i]) << i;
                }
                EXPECT_STREQ("automaton", out.trace.method);
                EXPECT_STREQ(out.code == 1 && pairCount == 3 ? "walk" : "", out.trace.groups);
                EXPECT_EQ(0, out.trace.cacheClears);
                EXPECT_EQ(-1, out.trace.handOverAt);
            }
        }
    }
}

// A full cache is cleared and the pass goes on from where it stands; cleared again too soon for
// the bytes it advanced, the search goes to the simulation from the first position a match can
// begin at. The answer stays the same.
TEST(Regexp, AutomatonClearsItsCacheAndHandsOverMidText) {
    // After a run of x that one state serves, each a or b may need a state of its own.
    std::mt19937 random(11);
    std::string mixed(20000, 'a');
    for (char& c : mixed) c = "ab"[random() & 1];
    const std::string text = repeat("x", 100000) + mixed + "abbbbbbc";
    const Program program = compile("(a|b)*a(a|b)(a|b)(a|b)(a|b)(a|b)(a|b)c");
    ASSERT_TRUE(program);
    const Pair expected(100000, static_cast<int>(text.size()));
    EXPECT_EQ(expected, platformMatch("(a|b)*a(a|b)(a|b)(a|b)(a|b)(a|b)(a|b)c", text));

    const Outcome plain = execute(program.get(), text.c_str(), 1, &searchWays()[0]);
    EXPECT_EQ(1, plain.code);
    EXPECT_EQ(expected, plain.pairs[0]);
    EXPECT_STREQ("automaton", plain.trace.method);

    RegexpSearchLimits limits = defaultSearchLimits();
    limits.automatonCacheBytes = 8 * 1024;
    const SearchWay small{"small cache", limits, false};
    const Outcome out = execute(program.get(), text.c_str(), 1, &small);
    EXPECT_EQ(1, out.code);
    EXPECT_EQ(expected, out.pairs[0]);
    EXPECT_STREQ("simulation", out.trace.method);
    EXPECT_GE(out.trace.cacheClears, 1);
    EXPECT_EQ(100000, out.trace.handOverAt);
}

// The automaton's cache and the simulation take memory that the program bounds, whatever the
// text's length.
TEST(Regexp, SearchMemoryStaysBoundedWhateverTheTextLength) {
    std::mt19937 random(7);
    std::string text(1 << 20, 'a');
    for (char& c : text) c = "ab"[random() & 1];
    // A c that no match can end with, so that no skip rules the text out.
    text[0] = 'c';
    // The first pattern's automaton needs a new state at almost every byte, so its cache fills
    // and the search goes to the simulation; the second one meets its few states again and
    // again.
    const struct {
        std::string pattern;
        const char* method;
    } cases[] = {
        {"(a|b)*a" + repeat("(a|b)", 16) + "c", "simulation"},
        {"(ab|ba)+(aa|bb)(ab|ba)+c", "automaton"},
    };
    const RegexpSearchLimits limits = defaultSearchLimits();
    for (const auto& c : cases) {
        const Program program = compile(c.pattern);
        ASSERT_TRUE(program);
        for (const std::size_t size : {std::size_t(64) << 10, std::size_t(1) << 20}) {
            SCOPED_TRACE(c.pattern + " on " + std::to_string(size) + " bytes");
            const std::string part = text.substr(0, size);
            int pairs[2][2];
            int code;
            RegexpSearchTrace trace;
            std::size_t peak;
            {
                const qmtest::HeapPeak heap;
                code = re_exec_limited(program.get(), part.c_str(), 2, pairs, limits, &trace);
                peak = heap.bytes();
            }
            EXPECT_EQ(0, code);
            EXPECT_STREQ(c.method, trace.method);
            EXPECT_LT(peak, limits.automatonCacheBytes + (std::size_t(1) << 20));
        }
    }
}

// A long text that holds none of the literals of which every match contains one is ruled out
// before any method runs; one that holds any of them goes on to the automaton, which decides.
TEST(Regexp, LiteralChoicesRuleTextsOut) {
    // Long enough for the analysis that finds the literals.
    const std::string filler = repeat("no such word here; ", 20);
    const int at = static_cast<int>(filler.size());
    const struct {
        const char* pattern;
        const char* tail;
        const char* method;
        Pair match;
    } cases[] = {
        {"(warn|error|fatal)", "", "skip", kUnset},
        {"(warn|error|fatal)", "fatal", "automaton", {at, at + 5}},
        {"ERROR.*(timeout|refused)", "ERROR, then timeouts", "automaton", {at, at + 19}},
        {"ERROR.*(timeout|refused)", "ERROR, then nothing", "skip", kUnset},
        {"((abc|cdx)y|fgh)e", "cdxy fgh", "automaton", kUnset},
        {"((abc|cdx)y|fgh)e", "cdxfghe", "automaton", {at + 3, at + 7}},
        {"((abc|cdx)y|fgh)e", "cd fg", "skip", kUnset},
        // Literals of two bytes are slow to look for: the automaton is quicker.
        {"(zz|zy|yz|zq)", "zw", "automaton", kUnset},
        {"(GET|PUT) .*status=(404|500)", "PUT / status=404", "automaton", {at, at + 16}},
        {"(GET|PUT) .*status=(404|500)", "POST / state=404", "skip", kUnset},
        // An alternative without a literal leaves the choice without literals.
        {"(x+|[yz])w", "zw", "automaton", {at, at + 2}},
        {"(abc|q*)z", "z", "automaton", {at, at + 1}},
    };
    const SearchWay& plain = searchWays().front();
    for (const auto& c : cases) {
        SCOPED_TRACE("pattern '" + std::string(c.pattern) + "' on '" + c.tail + "'");
        const std::string text = filler + c.tail;
        const Outcome out = execute(c.pattern, text, 1, &plain);
        EXPECT_EQ(c.match == kUnset ? 0 : 1, out.code);
        EXPECT_EQ(c.match, out.pairs[0]);
        EXPECT_STREQ(c.method, out.trace.method);
    }
}
