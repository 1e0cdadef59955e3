// Search time of the regular-expression engine on long texts under repetitions, against glibc's
// POSIX regexec (extended syntax) on the same text and, where it runs at all, std::regex_search
// (ECMAScript; it recurses per character and overflows an 8 MiB stack on the 32 KiB repeated
// group, and backtracks exponentially on the costly pattern, so those two have no std::regex
// run).
//
// Each pattern is compiled once; an iteration is one search of the whole text. Every run checks
// the answer: the engine must find the same match as the references, the costly pattern's too,
// where backtracking alone would take exponential time.
//
// ShortText/<pattern>: one Utils::regexpFirstMatch (compile, search, release) of a monitoring
// pattern on each of two log lines of under 100 bytes, the cost a caller pays per line; the
// time is per call.
#include "QuietStandardError.h"
#include "quillmark/Regexp.h"
#include "quillmark/Utils.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <regex>
#include <string>

namespace {

struct SearchCase {
    const char* name;
    const char* pattern;       // engine and std::regex syntax
    const char* posixPattern;  // the same in POSIX extended syntax
    bool stdRegexRuns;
    std::string (*text)();
    int start;  // expected start of the match
};

std::string repeat(const std::string& unit, std::size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

// 10 KiB of hex lines joined without line feeds, as the file metrics search a file.
std::string hexLines() { return repeat("0123456789abcdef", 640) + "id 42;"; }
std::string longRun() { return repeat("a", 6000) + "cab"; }
std::string alternation() { return repeat("a", 3000) + "c"; }
std::string repeatedGroup() { return repeat("ab", 16384); }
// Exponential at the first position; the rest only makes the text long.
std::string costlyShort() { return repeat("a", 40) + "c" + repeat("x", 1024) + "b"; }
std::string costlyLong() { return repeat("a", 40) + "c" + repeat("x", 1 << 20) + "b"; }

const SearchCase kCases[] = {
    {"hex_lines_10KiB", "\\w*42;", "[[:alnum:]_]*42;", true, hexLines, 10243},
    {"long_run_6000", "a[^c]*b", "a[^c]*b", true, longRun, 6001},
    {"alternation_3000", "(a|b)*c", "(a|b)*c", true, alternation, 0},
    {"repeated_group_32KiB", "^(ab)+$", "^(ab)+$", false, repeatedGroup, 0},
    {"costly_1KiB", "(a|a)*b", "(a|a)*b", false, costlyShort, 41 + 1024},
    {"costly_1MiB", "(a|a)*b", "(a|a)*b", false, costlyLong, 41 + (1 << 20)},
};

void engineSearch(benchmark::State& state, const SearchCase& c) {
    const std::string text = c.text();
    quillmark::RegexpProgram* program = nullptr;
    if (quillmark::re_comp(&program, c.pattern) != 0) {
        state.SkipWithError("pattern does not compile");
        return;
    }
    const int expected = 1;
    int outcome = 0;
    int pair[1][2] = {{-1, -1}};
    {
        const qmbench::QuietStandardError quiet;
        for (auto _ : state) {
            outcome = quillmark::regexec(program, text.c_str(), 1, pair);
            if (outcome != expected || (outcome == 1 && pair[0][0] != c.start)) break;
            benchmark::DoNotOptimize(pair);
        }
    }
    if (outcome != expected || (outcome == 1 && pair[0][0] != c.start)) {
        state.SkipWithError("unexpected answer");
    }
    quillmark::re_free(program);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void posixSearch(benchmark::State& state, const SearchCase& c) {
    const std::string text = c.text();
    regex_t compiled;
    if (::regcomp(&compiled, c.posixPattern, REG_EXTENDED) != 0) {
        state.SkipWithError("pattern does not compile");
        return;
    }
    for (auto _ : state) {
        regmatch_t match[1];
        const bool found = ::regexec(&compiled, text.c_str(), 1, match, 0) == 0;
        if (!found || match[0].rm_so != c.start) {
            state.SkipWithError("unexpected answer");
            break;
        }
        benchmark::DoNotOptimize(match);
    }
    ::regfree(&compiled);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void stdRegexSearch(benchmark::State& state, const SearchCase& c) {
    const std::string text = c.text();
    const std::regex compiled(c.pattern);
    for (auto _ : state) {
        std::smatch match;
        if (!std::regex_search(text, match, compiled) || match.position(0) != c.start) {
            state.SkipWithError("unexpected answer");
            break;
        }
        benchmark::DoNotOptimize(match);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

const char* const kShortPatterns[] = {
    "ERROR.*(timeout|refused)",
    "(GET|PUT) .*status=(404|500)",
    "\\<(dbus-daemon|chronyd)\\[\\d+\\]: .*error",
    "[a-z]+\\[\\d+\\]: .*(panic|fatal)",
    "(\\d+\\.)+\\d+ port \\d+",
    "(warn|error|fatal).*(disk|space)",
    "(warn|error|fatal)",
    "ERROR.*timeout",
    "\\w+@\\w+\\.com",
    "\\d+\\.\\d+\\.\\d+\\.\\d+",
    "Out of memory: Killed process",
    "^abc",
};

const char* const kShortLines[] = {
    "Dec 10 10:00:01 web01 app[312]: ERROR request 41 failed: upstream timeout after 3012ms",
    "Dec 10 10:00:02 web01 sshd[2001]: Accepted publickey for deploy from 198.51.100.7 port 22",
};

void shortTextSearch(benchmark::State& state, const char* pattern) {
    for (auto _ : state) {
        for (const char* line : kShortLines) {
            int length = 0;
            benchmark::DoNotOptimize(quillmark::Utils::regexpFirstMatch(line, pattern, &length));
            benchmark::DoNotOptimize(length);
        }
    }
    const int64_t calls = static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(sizeof kShortLines / sizeof kShortLines[0]);
    state.counters["per_call"] = benchmark::Counter(
        static_cast<double>(calls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void registerAll() {
    for (const char* pattern : kShortPatterns) {
        benchmark::RegisterBenchmark((std::string("ShortText/") + pattern).c_str(), shortTextSearch,
                                     pattern);
    }
    for (const SearchCase& c : kCases) {
        const std::string name = c.name;
        benchmark::RegisterBenchmark(("Engine/" + name).c_str(), engineSearch, c)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("Posix/" + name).c_str(), posixSearch, c)
            ->Unit(benchmark::kMillisecond);
        if (c.stdRegexRuns) {
            benchmark::RegisterBenchmark(("StdRegex/" + name).c_str(), stdRegexSearch, c)
                ->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
