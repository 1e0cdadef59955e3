// Regexp: a small regular-expression engine of free functions.
//
// re_comp compiles a pattern in two passes (the first one sizes the program exactly, the second
// one writes it) into one heap block, the RegexpProgram, which the caller owns and releases with
// re_free. regexec runs the program over a NUL-terminated text and reports the leftmost match and
// the positions of as many groups as the caller asks for.
//
// Syntax: alternatives 'a|b'; pieces with '*', '+' or '?'; '.' any character; '[set]' and
// '[^set]' with ranges; '(group)'; '^' the start and '$' the end of the whole text; a backslash
// and one of the letters "mabcdglpnsuxw" is a character class (the same letter in upper case is
// its negation); '\<' and '\>' are the word-start and word-end assertions; a backslash and any
// other character is that character.
//
// The module never throws and keeps no global state. Each error is written once to standard
// error as "REGEXP ERROR: <message>" and returned as a negative code. A compiled program is
// immutable: any number of threads may run regexec and re_nsubexp on one program at the same
// time, and compilations on different threads do not meet.
#ifndef QUILLMARK_REGEXP_H
#define QUILLMARK_REGEXP_H

#include <cstdint>

namespace quillmark {

// The compiled expression. One block from re_comp: these fields, then the program bytes.
struct RegexpProgram {
    std::int32_t groupCount;     // opening parentheses plus 1
    char firstChar;              // when not 0, every match begins with this character
    char anchored;               // 1 when every match begins at the start of the text
    const char* mustLiteral;     // when not null, a text every match contains; points into program
    std::int32_t mustLength;     // length of mustLiteral, 0 without one
    std::int32_t programLength;  // bytes in program, the magic byte included
    char program[1];             // the magic byte 0x9C, then the nodes; the block holds all of them
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
// (the program would exceed 32766 bytes), -3 "out of space", -4 unmatched or unterminated (),
// -5 "invalid [] range", -6 "unmatched []", -7 misplaced '*', '+' or '?', -8 a trailing
// backslash, -99 "Too many ()" and internal errors. The first syntax error in the pattern's order
// is reported before the size, however deep the groups nest. A program *result held before is
// not released.
//
// Groups from 256 on are accepted but their positions are not recorded: regexec reports them as
// (-1, -1).
int re_comp(RegexpProgram** result, const char* pattern);

// Runs `program` over the NUL-terminated `text`. `pairs` is null or an array of `pairCount`
// (start, end) byte offsets: pair 0 receives the whole match, pair n the n-th group; the end is
// exclusive and a pair that was not set holds (-1, -1), after no match all of them. Returns 1 for
// a match (the leftmost one; at its start alternatives in pattern order, repetitions longest
// first, options operand first; a repeated group reports its last iteration), 0 for none, -1 for
// a null argument, a program without the magic byte or a text longer than INT_MAX bytes, and -3
// when the memory the search needs cannot be had (which says nothing about a match; an error
// leaves the pairs unspecified). Every search answers in time at most proportional to the
// text's length times the program's size (times the pairs asked for, at most 256, where group
// positions are copied), with memory that depends on the program and the number of pairs, not
// on the text. The text is never read beyond its terminating NUL.
int regexec(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2]);

// The number of groups plus 1; -1 for a null program or one without the magic byte.
int re_nsubexp(const RegexpProgram* program);

// Releases a program from re_comp; null is accepted.
void re_free(RegexpProgram* program);

// Writes "REGEXP ERROR: <message>\n" to standard error.
void re_error(const char* message);

}  // namespace quillmark

#endif  // QUILLMARK_REGEXP_H
