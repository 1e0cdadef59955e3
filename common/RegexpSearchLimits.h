// The sizes that decide how a search of the regular-expression engine goes, and searches that
// take them: for the engine's tests, which make each hand-over between methods happen where
// they choose. regexec searches with the defaults. Internal to the engine and its tests.
//
// Thread rules as for regexec.
#ifndef QUILLMARK_COMMON_REGEXP_REGEXPSEARCHLIMITS_H
#define QUILLMARK_COMMON_REGEXP_REGEXPSEARCHLIMITS_H

#include "quillmark/Regexp.h"

#include <cstddef>

namespace quillmark {

struct RegexpSearchLimits {
    // Texts shorter than this go to the backtracking walk first: for them the automaton's
    // set-up would cost more than the whole walk.
    std::size_t walkFirstBelow;
    // The walk's budget in its work units (about a quarter of a nanosecond each): this many,
    long long walkBaseWork;
    // and this many more for each text byte (of the span walked) and program byte.
    long long walkWorkPerByte;
    // The cache of each pass of the automaton, in bytes: its states and the table that finds
    // them.
    std::size_t automatonCacheBytes;
};

// The sizes regexec searches with.
RegexpSearchLimits defaultSearchLimits();

// What a search did.
struct RegexpSearchTrace {
    // What gave the answer: "skip" (the text lacks a literal, or a byte, that a match needs),
    // "walk", "automaton" or "simulation".
    const char* method = "";
    // After the automaton, what found the group positions: "walk" or "simulation"; else "".
    const char* groups = "";
    // How often the automaton's cache was cleared.
    int cacheClears = 0;
    // Where the simulation took the search over, or -1.
    int handOverAt = -1;
};

// regexec with `limits` in place of the defaults; the same answers and pairs. What the search
// did goes to *trace when that is not null.
int re_exec_limited(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2],
                    const RegexpSearchLimits& limits, RegexpSearchTrace* trace = nullptr);

// The same search by the breadth-first simulation alone, the method a search goes on with where
// the others would cost too much; the same answers and pairs.
int re_exec_breadth_first(const RegexpProgram* program, const char* text, int pairCount,
                          int (*pairs)[2]);

}  // namespace quillmark

#endif  // QUILLMARK_COMMON_REGEXP_REGEXPSEARCHLIMITS_H
