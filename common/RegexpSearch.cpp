// The search driver of the regular-expression engine: regexec and the choice among its
// methods.
//
// Patterns and texts may come from remote requests, so a search must answer in bounded time and
// memory, and file searches must be fast on texts of many MiB. A pattern that is one literal is
// answered by its first occurrence. Otherwise, after the skips that rule a text out by literals
// that every match needs, or find where attempts can start:
// - A short text goes to the backtracking walk (RegexpWalk.cpp) first, within a work budget:
//   there the walk answers before any other method would be set up.
// - Otherwise the deterministic automaton (RegexpAutomaton.cpp) decides: whether there is a
//   match, where the walk's match ends and then where it begins. Only a caller that asks for
//   group positions has the walk run again, over that span alone.
// - Where the walk exceeds its budget, or the automaton's cache is cleared too often, the
//   breadth-first simulation (RegexpSimulation.cpp) goes on from the position before which no
//   match begins; its work is at most text length times program size, its memory depends only
//   on the program.
// All methods give the same answer, with the same group positions. Only memory that cannot be
// had ends a search without an answer.
#include "RegexpProgramLayout.h"
#include "RegexpSearchLimits.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

namespace quillmark {

using namespace regexp;

namespace {

const int kCodeInvalidArgument = -1;

// The automaton gave the search up: the simulation goes on.
const int kHandOver = -100;

// The pairs a search fills: pair 0 and those of groups that record positions.
int pairsUsedBy(const RegexpProgram* program, int pairCount, int (*pairs)[2]) {
    if (pairs == nullptr || pairCount <= 0) return 1;
    return std::min(std::min(pairCount, program->groupCount), kRecordedGroups);
}

void clearPairs(int (*pairs)[2], int pairCount) {
    if (pairs == nullptr) return;
    for (int i = 0; i < pairCount; ++i) pairs[i][0] = pairs[i][1] = -1;
}

// What one search reads, and its trace.
struct Search {
    const RegexpProgram* program;
    const char* text;
    std::size_t length;
    int pairCount;
    int (*pairs)[2];  // null when no pair is asked for
    int pairsUsed;
    const RegexpSearchLimits* limits;
    RegexpSearchTrace* trace;

    WalkBudget budget() const { return WalkBudget{limits->walkBaseWork, limits->walkWorkPerByte}; }
    int textLength() const { return static_cast<int>(length); }
};

// No match: the pairs cleared, 0.
int noMatch(const Search& s) {
    clearPairs(s.pairs, s.pairCount);
    return 0;
}

// The group positions of the match from `start` to `end`: the walk over that span, or where it
// overruns, the simulation of that one attempt. 1, or 0 should the methods disagree.
int fillGroups(const Search& s, int start, int end) {
    s.trace->groups = "walk";
    const int walked =
        walkSpan(s.program, s.text, s.length, start, end, s.pairCount, s.pairs, s.budget());
    if (walked == 1) return 1;
    s.trace->groups = "simulation";
    return simulateSearch(s.program, s.text, s.textLength(), s.pairsUsed, nullptr, start, end,
                          s.pairs, s.pairCount);
}

// The search by the automaton from `*from` on: 1 or 0 with the pairs filled, or kHandOver with
// *from raised to a position before which no match begins.
int automatonDecides(const Search& s, StartPositions* starts, int* from) {
    s.trace->method = "automaton";
    try {
        RegexpAutomaton automaton(s.program, s.text, s.textLength(), s.limits->automatonCacheBytes);
        const AutomatonAnswer ahead = automaton.forward(starts, *from, s.pairs != nullptr);
        s.trace->cacheClears += ahead.clears;
        *from = std::max(*from, ahead.lowest);
        if (ahead.code == kAutomatonGaveUp) return kHandOver;
        if (ahead.code == kAutomatonNoMatch) return noMatch(s);
        if (s.pairs == nullptr) return 1;
        // Where the match begins: most often where the last attempt before it began, which a
        // short forward probe shows; else by the backward pass over the match.
        const AutomatonAnswer probe = automaton.matchBeginsAt(*from, ahead.end);
        s.trace->cacheClears += probe.clears;
        AutomatonAnswer back = probe;
        if (probe.code != kAutomatonMatch) {
            back = automaton.backward(ahead.end, *from);
            s.trace->cacheClears += back.clears;
        }
        if (back.code != kAutomatonMatch) {
            // The backward pass gave up: the simulation finds where the match begins, knowing
            // that it ends there.
            s.trace->method = "simulation";
            s.trace->handOverAt = *from;
            return simulateSearch(s.program, s.text, s.textLength(), s.pairsUsed, starts, *from,
                                  ahead.end, s.pairs, s.pairCount);
        }
        clearPairs(s.pairs, s.pairCount);
        s.pairs[0][0] = back.start;
        s.pairs[0][1] = ahead.end;
        return s.pairsUsed > 1 ? fillGroups(s, back.start, ahead.end) : 1;
    } catch (const std::bad_alloc&) {
        // The simulation needs less memory.
        return kHandOver;
    }
}

// The first occurrence of the NUL-terminated `literal` of `length` bytes in the text, or null.
const char* find(const Search& s, const char* literal, int length) {
    // strstr has no set-up to pay on a short text, memmem skips faster through a long one.
    if (s.length < s.limits->walkFirstBelow) return std::strstr(s.text, literal);
    return static_cast<const char*>(
        memmem(s.text, s.length, literal, static_cast<std::size_t>(length)));
}

bool contains(const Search& s, const char* literal, int length) {
    return find(s, literal, length) != nullptr;
}

// Whether the literals of the analysis rule the text out.
bool lacksLiterals(const Search& s, const SearchAids& aids) {
    if (aids.requiredLiteral != nullptr && aids.requiredLiteral != s.program->mustLiteral &&
        !contains(s, aids.requiredLiteral, aids.requiredLength)) {
        return true;
    }
    for (int i = 0; i < aids.literalCount; ++i) {
        if (contains(s, aids.literals[i], aids.literalLengths[i])) return false;
    }
    return aids.literalCount > 0;
}

// The literal that is the whole pattern, or null: its first occurrence is the match.
const char* wholeLiteral(const RegexpProgram* program) {
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return nullptr;
    const char* first = operandOf(top);
    if (kindOf(first) != RX_LITERAL || nextNode(first) != afterTop) return nullptr;
    return operandOf(first);
}

// The search of `s` after the checks of regexec; `breadthFirst` leaves every step to the
// simulation.
int search(const Search& s, bool breadthFirst) {
    const RegexpProgram* program = s.program;
    s.trace->method = "skip";
    if (program->mustLiteral != nullptr &&
        !contains(s, program->mustLiteral, program->mustLength)) {
        return noMatch(s);
    }
    if (const char* literal = wholeLiteral(program)) {
        s.trace->method = "literal";
        const int length = static_cast<int>(std::strlen(literal));
        const char* found = find(s, literal, length);
        if (found == nullptr) return noMatch(s);
        if (s.pairs != nullptr) {
            clearPairs(s.pairs, s.pairCount);
            s.pairs[0][0] = static_cast<int>(found - s.text);
            s.pairs[0][1] = s.pairs[0][0] + length;
        }
        return 1;
    }
    SearchAids aids;
    int from = 0;
    if (!breadthFirst && s.length < s.limits->walkFirstBelow) {
        s.trace->method = "walk";
        int walked;
        if (program->anchored != 0) {
            // An anchored pattern whose literal comes first needs its first character first.
            const char* first = nextNode(operandOf(program->program + 1));
            if (first != nullptr && kindOf(first) == RX_LITERAL && *operandOf(first) != *s.text) {
                return noMatch(s);
            }
            walked = walkSpan(program, s.text, s.length, 0, s.textLength(), s.pairCount, s.pairs,
                              s.budget());
        } else {
            // The hints alone, as the walk needs no more on a short text.
            aidsFromHints(program, &aids);
            StartPositions starts(&aids, s.text, s.textLength());
            from = starts.first();
            if (from < 0) return noMatch(s);
            walked = walkSearch(program, s.text, s.length, s.pairCount, s.pairs, &starts, &from,
                                s.budget());
        }
        if (walked == 1) return 1;
        if (walked == 0) return noMatch(s);
    }
    try {
        analyseProgram(program, &aids);
    } catch (const std::bad_alloc&) {
        // The search goes on without what the analysis would have told.
        aidsFromHints(program, &aids);
    }
    s.trace->method = "skip";
    if (lacksLiterals(s, aids)) return noMatch(s);
    StartPositions starts(&aids, s.text, s.textLength());
    from = starts.next(from);
    if (from < 0) return noMatch(s);
    if (!breadthFirst) {
        const int decided = automatonDecides(s, &starts, &from);
        if (decided != kHandOver) return decided;
    }
    s.trace->method = "simulation";
    s.trace->groups = "";
    s.trace->handOverAt = breadthFirst ? -1 : from;
    try {
        const int matched = simulateSearch(program, s.text, s.textLength(), s.pairsUsed, &starts,
                                           from, s.textLength(), s.pairs, s.pairCount);
        if (matched == 0) clearPairs(s.pairs, s.pairCount);
        return matched;
    } catch (const std::bad_alloc&) {
        re_error("out of memory in regexec");
        return kMatchOutOfMemory;
    }
}

// The checks both entry points share; 0 when the search may go on, with the text's length.
int checkSearch(const RegexpProgram* program, const char* text, std::size_t* length) {
    if (program == nullptr || text == nullptr) {
        re_error("NULL argument to regexec");
        return kCodeInvalidArgument;
    }
    if (byteOf(program->program[0]) != kMagic) {
        re_error("corrupted regexp");
        return kCodeInvalidArgument;
    }
    // Offsets are reported as int.
    *length = std::strlen(text);
    if (*length > static_cast<std::size_t>(INT_MAX)) {
        re_error("text too long for regexec");
        return kCodeInvalidArgument;
    }
    return 0;
}

// regexec's search with `limits`, the simulation alone with `breadthFirst`.
int searchWith(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2],
               const RegexpSearchLimits& limits, RegexpSearchTrace* trace, bool breadthFirst) {
    std::size_t length = 0;
    const int refused = checkSearch(program, text, &length);
    if (refused != 0) return refused;
    RegexpSearchTrace ignored;
    if (pairCount <= 0) pairs = nullptr;
    const Search s{program, text,
                   length,  pairCount,
                   pairs,   pairsUsedBy(program, pairCount, pairs),
                   &limits, trace != nullptr ? trace : &ignored};
    return search(s, breadthFirst);
}

}  // namespace

RegexpSearchLimits defaultSearchLimits() {
    RegexpSearchLimits limits;
    limits.walkFirstBelow = 256;
    limits.walkBaseWork = 1LL << 20;
    limits.walkWorkPerByte = 1;
    limits.automatonCacheBytes = 2 * 1024 * 1024;
    return limits;
}

int regexec(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2]) {
    return searchWith(program, text, pairCount, pairs, defaultSearchLimits(), nullptr, false);
}

int re_exec_limited(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2],
                    const RegexpSearchLimits& limits, RegexpSearchTrace* trace) {
    return searchWith(program, text, pairCount, pairs, limits, trace, false);
}

int re_exec_breadth_first(const RegexpProgram* program, const char* text, int pairCount,
                          int (*pairs)[2]) {
    return searchWith(program, text, pairCount, pairs, defaultSearchLimits(), nullptr, true);
}

}  // namespace quillmark
