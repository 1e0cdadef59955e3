// The engine against the reference copy of its earlier, budget-bound backtracking engine, on
// random patterns and texts: the same compile codes and hints, and wherever the reference
// answered, the same result and every pair, from regexec and from each way a search can go:
// the breadth-first simulation alone; the automaton first with a cache so small that it is
// cleared, and the search handed over to the simulation, in the middle of texts; the automaton
// first with its own cache; the walk first with a budget so small that it hands over at any
// position, and its walk over the match's span handing over too.
#include "RegexpReference.h"
#include "RegexpSearchLimits.h"
#include "quillmark/Regexp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

namespace ref = regexp_reference;

// Patterns from a small grammar that mostly compiles, and now and then a soup of special
// characters that mostly does not.
class PatternSource {
public:
    explicit PatternSource(unsigned seed) : random_(seed) {}

    std::string pattern() {
        if (below(20) == 0) return soup();
        groups_ = 0;
        return expression(0);
    }

    std::string text() {
        static const char alphabet[] = "aabbc _1x\n";
        std::string out(below(11), ' ');
        for (char& c : out) c = alphabet[below(sizeof alphabet - 1)];
        return out;
    }

    int below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

private:
    std::string soup() {
        static const char pieces[] = "ab()|*+?^$.[]-\\<>w";
        std::string out(1 + below(7), ' ');
        for (char& c : out) c = pieces[below(sizeof pieces - 1)];
        return out;
    }

    std::string expression(int depth) {
        std::string out = branch(depth);
        while (below(4) == 0) out += "|" + branch(depth);
        return out;
    }

    std::string branch(int depth) {
        std::string out;
        for (int n = below(4); n > 0; --n) out += piece(depth);
        return out;
    }

    std::string piece(int depth) {
        static const char* const atoms[] = {"a",    "b",     "c",   "ab",  "ba",  ".",   "[ab]",
                                            "[^a]", "[a-c]", "\\w", "\\W", "\\d", "\\s", "x",
                                            "^",    "$",     "\\<", "\\>", "aa",  " "};
        std::string atom;
        if (depth < 3 && groups_ < 6 && below(4) == 0) {
            ++groups_;
            atom = "(" + expression(depth + 1) + ")";
        } else {
            atom = atoms[below(sizeof atoms / sizeof atoms[0])];
        }
        static const char* const operators[] = {"", "", "", "*", "+", "?"};
        return atom + operators[below(6)];
    }

    std::mt19937 random_;
    int groups_ = 0;
};

// At most 6 groups: 7 pairs, and one more than the pattern has.
const int kMaxPairs = 8;

struct Search {
    int code;
    int count;
    int pairs[kMaxPairs][2];

    bool operator==(const Search& other) const {
        if (code != other.code || count != other.count) return false;
        for (int i = 0; i < count; ++i) {
            if (pairs[i][0] != other.pairs[i][0] || pairs[i][1] != other.pairs[i][1]) return false;
        }
        return true;
    }
};

// One way a search can go: regexec's answer with these limits, the search's number among all
// searches (which the limits may vary with) given.
struct Way {
    const char* name;
    int (*exec)(const quillmark::RegexpProgram*, const char*, int, int (*)[2], long);
};

int plain(const quillmark::RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2],
          long) {
    return quillmark::regexec(program, text, pairCount, pairs);
}

int breadthFirst(const quillmark::RegexpProgram* program, const char* text, int pairCount,
                 int (*pairs)[2], long) {
    return quillmark::re_exec_breadth_first(program, text, pairCount, pairs);
}

// A cache with room for no state to about four.
int tinyCache(const quillmark::RegexpProgram* program, const char* text, int pairCount,
              int (*pairs)[2], long number) {
    quillmark::RegexpSearchLimits limits = quillmark::defaultSearchLimits();
    limits.walkFirstBelow = 0;
    limits.automatonCacheBytes = 200 + static_cast<std::size_t>(number % 5) * 150;
    return quillmark::re_exec_limited(program, text, pairCount, pairs, limits);
}

int automatonFirst(const quillmark::RegexpProgram* program, const char* text, int pairCount,
                   int (*pairs)[2], long) {
    quillmark::RegexpSearchLimits limits = quillmark::defaultSearchLimits();
    limits.walkFirstBelow = 0;
    return quillmark::re_exec_limited(program, text, pairCount, pairs, limits);
}

// A budget of a few node visits, the same for every walk of the search.
int tinyWalk(const quillmark::RegexpProgram* program, const char* text, int pairCount,
             int (*pairs)[2], long number) {
    quillmark::RegexpSearchLimits limits = quillmark::defaultSearchLimits();
    limits.walkBaseWork = number % 300;
    limits.walkWorkPerByte = 0;
    return quillmark::re_exec_limited(program, text, pairCount, pairs, limits);
}

const Way kWays[] = {
    {"regexec", plain},        {"breadth first", breadthFirst},
    {"tiny cache", tinyCache}, {"automaton first", automatonFirst},
    {"tiny walk", tinyWalk},
};

Search run(const ref::RegexpProgram* program, const std::string& text, int pairCount) {
    Search out;
    out.count = pairCount;
    for (auto& pair : out.pairs) pair[0] = pair[1] = -1;
    out.code = ref::regexec(program, text.c_str(), pairCount, out.pairs);
    return out;
}

Search run(const Way& way, const quillmark::RegexpProgram* program, const std::string& text,
           int pairCount, long number) {
    Search out;
    out.count = pairCount;
    for (auto& pair : out.pairs) pair[0] = pair[1] = 7;
    out.code = way.exec(program, text.c_str(), pairCount, out.pairs, number);
    return out;
}

std::string describe(const Search& s) {
    std::string out = std::to_string(s.code) + ":";
    for (int i = 0; i < s.count; ++i) {
        out += " " + std::to_string(s.pairs[i][0]) + " " + std::to_string(s.pairs[i][1]);
    }
    return out;
}

}  // namespace

TEST(RegexpDifferential, RandomPatternsAgreeWithTheReferenceEngine) {
    const long kSearches = 1000000;
    const int kTextsPerPattern = 16;
    PatternSource source(20261210);
    long compared = 0;
    long failures = 0;
    while (compared < kSearches && failures < 20) {
        testing::internal::CaptureStderr();
        for (int i = 0; i < 5000 && failures < 20; ++i) {
            const std::string pattern = source.pattern();
            ref::RegexpProgram* reference = nullptr;
            quillmark::RegexpProgram* program = nullptr;
            const int referenceCode = ref::re_comp(&reference, pattern.c_str());
            const int code = quillmark::re_comp(&program, pattern.c_str());
            const bool compiled = referenceCode == 0 && code == 0;
            bool same = referenceCode == code;
            if (same && compiled) {
                same = reference->groupCount == program->groupCount &&
                       reference->firstChar == program->firstChar &&
                       reference->anchored == program->anchored &&
                       reference->mustLength == program->mustLength &&
                       (reference->mustLiteral == nullptr) == (program->mustLiteral == nullptr) &&
                       (reference->mustLiteral == nullptr ||
                        std::strcmp(reference->mustLiteral, program->mustLiteral) == 0);
            }
            if (!same) {
                ++failures;
                ADD_FAILURE() << "pattern '" << pattern << "': compile or hints differ ("
                              << referenceCode << " vs " << code << ")";
            }
            for (int t = 0; compiled && same && t < kTextsPerPattern; ++t) {
                const std::string text = source.text();
                const int pairCount = std::min(source.below(program->groupCount + 2), kMaxPairs);
                const Search expected = run(reference, text, pairCount);
                if (expected.code < 0) continue;
                ++compared;
                for (const Way& way : kWays) {
                    const Search got = run(way, program, text, pairCount, compared);
                    if (got == expected) continue;
                    ++failures;
                    ADD_FAILURE() << "pattern '" << pattern << "' on '" << text << "' with "
                                  << pairCount << " pairs: reference " << describe(expected) << ", "
                                  << way.name << " " << describe(got);
                }
            }
            ref::re_free(reference);
            quillmark::re_free(program);
        }
        testing::internal::GetCapturedStderr();
    }
    EXPECT_GE(compared, kSearches);
}
