// The backtracking walk of the regular-expression engine: the interpreter that tries the
// program at one start position after another, keeping the choices it can come back to on a
// heap stack rather than recursing.
//
// The walk is fast where a match or a failure shows early, but can take time exponential in
// the text. It therefore runs within a work budget proportional to the text's length times the
// program's size, and a bounded stack of choices; a walk that exceeds either stops and tells
// the search driver the start position it was at, from which another method goes on.
#include "RegexpProgramLayout.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace quillmark {
namespace regexp {

namespace {

// The backtracking walk keeps its pending choices on a heap stack of 16-byte entries, at most
// 2^12 of them (64 KiB, small enough to be served from the heap rather than fresh pages). A
// repeated group takes one per iteration, one more for each alternative inside it that is still
// untried, and two more when the caller asks for the group's positions. A walk that needs more
// goes on breadth first, which needs no such stack and is then the faster of the two.
const std::size_t kMaxBacktrackEntries = std::size_t(1) << 12;

// Work of the backtracking walk, counted in units of about a quarter of a nanosecond where it
// was measured: a character that a repetition scans or backs off over costs one (ten when a
// class predicate tests it), a node visit with the choices it pushes and pops twelve.
const long long kNodeVisitCost = 12;
const long long kClassCharacterCost = 10;

// A choice the walk can come back to when the path it took fails, or a group position to undo.
struct Backtrack {
    const char* node;  // RX_ALTERNATIVE: the alternative to try next; RX_STAR or RX_PLUS: the
                       // repetition; an opening or closing node: the group boundary it wrote
    int input;         // choices: the input offset they start from
    int value;         // repetitions: the count taken last; group boundaries: the offset before
};

struct RegexpMatchState {
    const char* input;             // current input position
    const char* textStart;         // start of the text
    const char* textEnd;           // its terminating NUL
    const char* limit;             // no byte at or after it is taken; textEnd or before
    int (*pairs)[2];               // the caller's match array, or null
    int pairCount;                 // its number of pairs
    std::vector<Backtrack> stack;  // the choices of the current attempt; its memory is reused
    long long work;                // work done so far by this call, in the units of kNodeVisitCost
    long long budget;              // the work the walk may do before the search changes method
    bool overrun;                  // the walk went past its budget or its stack
};

inline int offsetOf(const RegexpMatchState* s, const char* position) {
    return static_cast<int>(position - s->textStart);
}

// Ends the walk; the search goes on by the breadth-first simulation. Answers false, the failure
// value of every step.
bool overrun(RegexpMatchState* s) {
    s->overrun = true;
    return false;
}

bool spendWork(RegexpMatchState* s, long long units) {
    s->work += units;
    return s->work <= s->budget || overrun(s);
}

bool pushBacktrack(RegexpMatchState* s, const char* node, int input, int value) {
    std::vector<Backtrack>& stack = s->stack;
    if (stack.size() == stack.capacity()) {
        if (stack.size() >= kMaxBacktrackEntries) return overrun(s);
        try {
            const std::size_t grown = std::max<std::size_t>(64, 2 * stack.size());
            stack.reserve(std::min(grown, kMaxBacktrackEntries));
        } catch (const std::bad_alloc&) {
            return overrun(s);
        }
    }
    stack.push_back(Backtrack{node, input, value});
    return true;
}

// How many characters from the input position on the single-character `node` matches, before
// the limit.
long regrepeat(const RegexpMatchState* s, const char* node, const char* input) {
    const char* operand = operandOf(node);
    const long room = static_cast<long>(s->limit - input);
    const bool wholeText = s->limit == s->textEnd;
    long count = 0;
    switch (kindOf(node)) {
    case RX_ANY: count = room; break;
    case RX_LITERAL:
        while (count < room && input[count] == *operand) ++count;
        break;
    case RX_IN_SET:
    case RX_NOT_IN_SET:
        if (wholeText) {
            count = static_cast<long>(kindOf(node) == RX_IN_SET ? std::strspn(input, operand)
                                                                : std::strcspn(input, operand));
        } else {
            while (count < room && matchesSingle(kindOf(node), operand, input[count])) ++count;
        }
        break;
    case RX_CLASS:
        while (count < room && inClass(*operand, input[count])) ++count;
        break;
    default: re_error("internal error: bad call of regrepeat"); break;
    }
    return count;
}

// The largest count of `repetition` from `count` down to its minimum after which the following
// literal can start (only those are worth going on with), or -1 when there is none.
long fittingCount(RegexpMatchState* s, const char* repetition, const char* base, long count) {
    const char* next = nextNode(repetition);
    const char lookahead = kindOf(next) == RX_LITERAL ? *operandOf(next) : '\0';
    const long minimum = kindOf(repetition) == RX_STAR ? 0 : 1;
    if (lookahead == '\0') return count >= minimum ? count : -1;
    for (; count >= minimum; --count) {
        if (!spendWork(s, 1)) return -1;
        if (base[count] == lookahead) return count;
    }
    return -1;
}

// Goes on after `count` repetitions from `base`, keeping the smaller counts as a choice.
bool takeCount(RegexpMatchState* s, const char* repetition, const char* base, long count) {
    const long minimum = kindOf(repetition) == RX_STAR ? 0 : 1;
    if (count > minimum &&
        !pushBacktrack(s, repetition, offsetOf(s, base), static_cast<int>(count))) {
        return false;
    }
    s->input = base + count;
    return true;
}

// Records the input position as the start or end of the node's group. Each write is undone
// when the walk backtracks past it, so after a match a group holds the positions of its last
// iteration on the path that matched, and a group that took no part holds (-1, -1).
bool markGroup(RegexpMatchState* s, const char* node) {
    const int number = groupOf(node);
    if (s->pairs == nullptr || number <= 0 || number >= s->pairCount) return true;
    int& slot = s->pairs[number][isOpen(kindOf(node)) ? 0 : 1];
    const int offset = offsetOf(s, s->input);
    if (slot == offset) return true;
    if (!pushBacktrack(s, node, 0, slot)) return false;
    slot = offset;
    return true;
}

// Takes up the latest choice left: the node to go on from, with s->input set; null when no
// choice is left or the walk has overrun.
const char* resume(RegexpMatchState* s) {
    while (!s->stack.empty()) {
        Backtrack& top = s->stack.back();
        const char* node = top.node;
        const unsigned char kind = kindOf(node);
        if (kind == RX_ALTERNATIVE) {
            s->input = s->textStart + top.input;
            const char* following = nextNode(node);
            if (following != nullptr && kindOf(following) == RX_ALTERNATIVE) {
                top.node = following;
            } else {
                s->stack.pop_back();
            }
            return operandOf(node);
        }
        if (kind == RX_STAR || kind == RX_PLUS) {
            const char* base = s->textStart + top.input;
            const long tried = top.value;
            s->stack.pop_back();
            const long count = fittingCount(s, node, base, tried - 1);
            if (s->overrun) return nullptr;
            if (count < 0) continue;
            return takeCount(s, node, base, count) ? nextNode(node) : nullptr;
        }
        s->pairs[groupOf(node)][isOpen(kind) ? 0 : 1] = top.value;
        s->stack.pop_back();
    }
    return nullptr;
}

// The interpreter: 1 when the program from `scan` on matches at s->input, else 0 (also when the
// walk overruns). The walk never recurses: each place it may have to come back to (another
// alternative, fewer repetitions, a group position to undo) goes on a stack on the heap.
int re_match_nodes(RegexpMatchState* s, const char* scan) {
    s->stack.clear();
    while (scan != nullptr) {
        if (!spendWork(s, kNodeVisitCost)) return 0;
        const unsigned char kind = kindOf(scan);
        if (kind == RX_END) return 1;
        const char* next = nextNode(scan);
        if (next == nullptr) {
            re_error("corrupted pointers");
            return 0;
        }
        const char* operand = operandOf(scan);
        bool matched = true;
        switch (kind) {
        case RX_TEXT_START: matched = s->input == s->textStart; break;
        case RX_TEXT_END: matched = *s->input == '\0'; break;
        case RX_WORD_START:
            matched =
                re_isword(*s->input) && (s->input == s->textStart || !re_isword(s->input[-1]));
            break;
        case RX_WORD_END: matched = !re_isword(*s->input); break;
        case RX_ANY:
        case RX_IN_SET:
        case RX_NOT_IN_SET:
        case RX_CLASS:
            matched = s->input < s->limit && matchesSingle(kind, operand, *s->input);
            if (matched) ++s->input;
            break;
        case RX_LITERAL:
            matched = s->input < s->limit && *operand == *s->input;
            if (matched) {
                const std::size_t length = std::strlen(operand);
                matched = length == 1 || (length <= static_cast<std::size_t>(s->limit - s->input) &&
                                          std::strncmp(operand, s->input, length) == 0);
                if (matched) s->input += length;
            }
            break;
        case RX_EMPTY:
        case RX_LOOP_BACK: break;
        case RX_ALTERNATIVE:
            // A choice with one alternative left has nothing to come back to.
            if (kindOf(next) == RX_ALTERNATIVE) {
                matched = pushBacktrack(s, next, offsetOf(s, s->input), 0);
            }
            next = operand;
            break;
        case RX_STAR:
        case RX_PLUS: {
            const char* base = s->input;
            const long count = regrepeat(s, operand, base);
            matched =
                spendWork(s, kindOf(operand) == RX_CLASS ? count * kClassCharacterCost : count);
            if (!matched) break;
            const long fitting = fittingCount(s, scan, base, count);
            matched = fitting >= 0 && takeCount(s, scan, base, fitting);
            break;
        }
        default:
            if (!isOpen(kind) && !isClose(kind)) {
                re_error("regexp corruption");
                return 0;
            }
            matched = markGroup(s, scan);
            break;
        }
        if (matched) {
            scan = next;
        } else {
            scan = s->overrun ? nullptr : resume(s);
        }
    }
    return 0;
}

// One attempt at `position`.
int re_try_at(RegexpMatchState* s, const RegexpProgram* program, const char* position) {
    if (s->pairs != nullptr) {
        for (int i = 0; i < s->pairCount; ++i) s->pairs[i][0] = s->pairs[i][1] = -1;
    }
    s->input = position;
    if (!re_match_nodes(s, program->program + 1)) return 0;
    if (s->pairs != nullptr && s->pairCount > 0) {
        s->pairs[0][0] = offsetOf(s, position);
        s->pairs[0][1] = offsetOf(s, s->input);
    }
    return 1;
}

// The operand of the RX_STAR or RX_PLUS that every match begins with, or null.
const char* leadingRepetition(const RegexpProgram* program) {
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return nullptr;
    const char* first = operandOf(top);
    return kindOf(first) == RX_STAR || kindOf(first) == RX_PLUS ? operandOf(first) : nullptr;
}

// The walk's state for a search of `text` within `budget`, for a span of `spanLength` bytes.
void startWalk(RegexpMatchState* state, const RegexpProgram* program, const char* text,
               std::size_t length, int pairCount, int (*pairs)[2], WalkBudget budget,
               std::size_t spanLength) {
    state->input = text;
    state->textStart = text;
    state->textEnd = text + length;
    state->limit = state->textEnd;
    state->pairs = pairs;
    state->pairCount = pairs != nullptr ? pairCount : 0;
    state->work = 0;
    state->budget = budget.base + static_cast<long long>(spanLength + 1) *
                                      static_cast<long long>(program->programLength) *
                                      budget.perByte;
    state->overrun = false;
}

}  // namespace

int walkSearch(const RegexpProgram* program, const char* text, std::size_t length, int pairCount,
               int (*pairs)[2], StartPositions* starts, int* from, WalkBudget budget) {
    RegexpMatchState state;
    startWalk(&state, program, text, length, pairCount, pairs, budget, length);
    const char* leading = leadingRepetition(program);
    for (int at = *from; at >= 0; at = starts->next(at + 1)) {
        if (re_try_at(&state, program, text + at)) return 1;
        if (state.overrun) {
            *from = at;
            return -1;
        }
        // An attempt from inside the run that a leading repetition just took could only
        // stop where the failed one already tried to go on.
        if (leading != nullptr) at += static_cast<int>(regrepeat(&state, leading, text + at));
    }
    return 0;
}

int walkSpan(const RegexpProgram* program, const char* text, std::size_t length, int start,
             int limit, int pairCount, int (*pairs)[2], WalkBudget budget) {
    RegexpMatchState state;
    startWalk(&state, program, text, length, pairCount, pairs, budget,
              static_cast<std::size_t>(limit - start));
    state.limit = text + limit;
    if (re_try_at(&state, program, text + start)) return 1;
    return state.overrun ? -1 : 0;
}

}  // namespace regexp
}  // namespace quillmark
