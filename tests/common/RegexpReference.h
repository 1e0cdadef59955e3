// The backtracking engine as it was before searches were bounded only by text length and
// program size: a work budget and a limit on pending choices, after which it gave up (-3, -2).
// It is kept, unchanged but for its namespace and its silent error lines, as the reference that
// the differential test compares the engine with wherever this one answered.
#ifndef QUILLMARK_TESTS_REGEXP_REFERENCE_H
#define QUILLMARK_TESTS_REGEXP_REFERENCE_H

#include <cstdint>

namespace regexp_reference {

// The compiled expression. One block from re_comp: these fields, then the program bytes.
struct RegexpProgram {
    std::int32_t groupCount;  // opening parentheses plus 1
    char firstChar;           // when not 0, every match begins with this character
    char anchored;            // 1 when every match begins at the start of the text
    const char* mustLiteral;  // when not null, a text every match contains; points into program
    std::int32_t mustLength;  // length of mustLiteral, 0 without one
    char program[1];          // the magic byte 0x9C, then the nodes; the block holds all of them
};

// Node kinds of the program. Every node is the kind byte, a 15-bit link (two bytes, most
// significant first: the distance to the next node, backwards for RX_LOOP_BACK, 0 for none),
// then its operand.
enum RegexpNodeKind {
    RX_END = 0,             // the attempt succeeds
    RX_TEXT_START = 1,      // only at the start of the text
    RX_TEXT_END = 2,        // only at the terminating NUL
    RX_ANY = 3,             // any character but the terminating NUL
    RX_IN_SET = 4,          // operand: the set, NUL-terminated
    RX_NOT_IN_SET = 5,      // operand: the set, NUL-terminated
    RX_ALTERNATIVE = 6,     // operand: the alternative's first node; link: the next alternative
    RX_LOOP_BACK = 7,       // continues at the node its backward link designates
    RX_LITERAL = 8,         // operand: the characters, NUL-terminated
    RX_EMPTY = 9,           // the empty string
    RX_STAR = 10,           // operand: one single-character node, repeated 0 or more times
    RX_PLUS = 11,           // operand: one single-character node, repeated 1 or more times
    RX_CLASS = 12,          // operand: one byte, class index 0-12, bit 0x80 set when negated
    RX_WORD_START = 13,     // a word character at the start of the text or after a non-word one
    RX_WORD_END = 14,       // a non-word character or the terminating NUL
    RX_OPEN_NUMBERED = 20,  // operand: one byte, the group number (groups 10 on)
    RX_OPEN = 21,           // 21 to 29: the start of group kind - 20
    RX_OPEN_LAST = 29,
    RX_CLOSE_NUMBERED = 30,  // operand: one byte, the group number (groups 10 on)
    RX_CLOSE = 31,           // 31 to 39: the end of group kind - 30
    RX_CLOSE_LAST = 39
};

// Compiles `pattern` and stores a new program, which the caller owns, through `result`.
// Returns 0 on success. On failure returns a negative code, prints its line and leaves *result
// untouched with nothing allocated: -1 null result pointer or null pattern, -2 "regexp too big"
// (the program would exceed 32766 bytes, or the groups nest deeper than any program of that size
// can hold), -3 "out of space", -4 unmatched or unterminated (), -5 "invalid [] range",
// -6 "unmatched []", -7 misplaced '*', '+' or '?', -8 a trailing backslash, -99 "Too many ()"
// and internal errors. A program *result held before is not released.
//
// Groups from 256 on are accepted but their positions are not recorded: regexec reports them as
// (-1, -1).
int re_comp(RegexpProgram** result, const char* pattern);

// Runs `program` over the NUL-terminated `text`. `pairs` is null or an array of `pairCount`
// (start, end) byte offsets: pair 0 receives the whole match, pair n the n-th group; the end is
// exclusive and a pair that was not set holds (-1, -1). Returns 1 for a match (the leftmost one),
// 0 for none, -1 for a null argument, a program without the magic byte or a text longer than
// INT_MAX bytes. -2 and -3 mean that the search was abandoned, which says nothing about a match:
// -2 when it needs more pending choices than the interpreter keeps (2^21 in 32 MiB; a repeated
// group takes one or a few per iteration), -3 when it exceeds its fixed work budget of about a
// second (exponential backtracking). An error leaves the pairs unspecified. The text is never
// read beyond its terminating NUL. Besides the program, a call allocates only the stack of its
// pending choices, on the heap, so the caller's thread stack does not limit the text's length.
int regexec(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2]);

// The number of groups plus 1; -1 for a null program or one without the magic byte.
int re_nsubexp(const RegexpProgram* program);

// Releases a program from re_comp; null is accepted.
void re_free(RegexpProgram* program);

// Writes "REGEXP ERROR: <message>\n" to standard error.
void re_error(const char* message);

}  // namespace regexp_reference

#endif  // QUILLMARK_TESTS_REGEXP_REFERENCE_H
