// The search driver of the regular-expression engine: regexec and the choice among its
// methods.
//
// Patterns and texts may come from remote requests, so a search must answer in bounded time and
// memory. The backtracking walk (RegexpWalk.cpp) is fast where a match or a failure shows early,
// but can take time exponential in the text; when it exceeds its work budget or its stack of
// choices, the search goes on, from the start position the walk was at, by the breadth-first
// simulation (RegexpSimulation.cpp), whose work is at most text length times program size and
// whose memory depends only on the program. Both give the same answer, with the same group
// positions. Only memory that cannot be had ends a search without an answer.
#include "regexp/RegexpProgramLayout.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

namespace quillmark {

using namespace regexp;

namespace {

const int kCodeInvalidArgument = -1;

// The pairs a search fills: pair 0 and those of groups that record positions.
int pairsUsedBy(const RegexpProgram* program, int pairCount, int (*pairs)[2]) {
    if (pairs == nullptr || pairCount <= 0) return 1;
    return std::min(std::min(pairCount, program->groupCount), kRecordedGroups);
}

void clearPairs(int (*pairs)[2], int pairCount) {
    if (pairs == nullptr) return;
    for (int i = 0; i < pairCount; ++i) pairs[i][0] = pairs[i][1] = -1;
}

// The search after the checks of regexec: the walk first (unless `walk` is false), then, from
// the position where the walk overran, the breadth-first simulation.
int search(const RegexpProgram* program, const char* text, std::size_t length, int pairCount,
           int (*pairs)[2], bool walk) {
    if (pairCount <= 0) pairs = nullptr;
    const int textLength = static_cast<int>(length);
    const char* must = program->mustLiteral;
    if (must != nullptr &&
        memmem(text, length, must, static_cast<std::size_t>(program->mustLength)) == nullptr) {
        clearPairs(pairs, pairCount);
        return 0;
    }
    const char* required = program->requiredLiteral;
    if (required != nullptr && required != must &&
        memmem(text, length, required, static_cast<std::size_t>(program->requiredLength)) ==
            nullptr) {
        clearPairs(pairs, pairCount);
        return 0;
    }
    StartPositions starts(program, text, textLength);
    int from = starts.first();
    if (from < 0) {
        clearPairs(pairs, pairCount);
        return 0;
    }
    if (walk) {
        const int walked = walkSearch(program, text, length, pairCount, pairs, &starts, &from);
        if (walked == 1) return 1;
        if (walked == 0) {
            clearPairs(pairs, pairCount);
            return 0;
        }
    }
    try {
        const int matched =
            simulateSearch(program, text, textLength, pairsUsedBy(program, pairCount, pairs),
                           &starts, from, pairs, pairCount);
        if (matched == 0) clearPairs(pairs, pairCount);
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

}  // namespace

int regexec(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2]) {
    std::size_t length = 0;
    const int refused = checkSearch(program, text, &length);
    if (refused != 0) return refused;
    return search(program, text, length, pairCount, pairs, true);
}

int re_exec_breadth_first(const RegexpProgram* program, const char* text, int pairCount,
                          int (*pairs)[2]) {
    std::size_t length = 0;
    const int refused = checkSearch(program, text, &length);
    if (refused != 0) return refused;
    return search(program, text, length, pairCount, pairs, false);
}

}  // namespace quillmark
