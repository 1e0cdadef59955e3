// The regular-expression engine: a two-pass compiler into a node program and a recursive
// backtracking interpreter over it.
//
// The compiler runs the same parse twice. The sizing pass emits every node into a three-byte
// scratch node and only counts bytes; the writing pass emits into a block of exactly that size.
// Every write of the writing pass is still checked against the end of the block, and the pass must
// end exactly there, so a disagreement between the passes becomes an internal error instead of a
// write past the allocation.
//
// Patterns and texts may come from remote requests, so both stages are bounded: the parser's
// recursion by the group nesting that a program of the maximum size could hold at all, the
// interpreter's recursion by a fixed depth, and its work by a budget that grows with the text.
// A match that reaches a bound ends with its own error code rather than a crash or a hang.
#include "quillmark/Regexp.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillmark {

namespace {

const unsigned char kMagic = 0x9C;

// Links hold 15 bits; a program of at most this many bytes keeps every link below 32767.
const long kMaxProgramSize = 32766;
const int kMaxGroups = 32766;

// Every nested group costs at least an opening node, an alternative and a closing node (9 bytes)
// on top of the 10 bytes of the smallest program, so no program within kMaxProgramSize nests
// this many groups; refusing them early bounds the parser's stack.
const int kMaxGroupNesting = static_cast<int>((kMaxProgramSize - 10) / 9 + 1);

// One interpreter level takes about 100 bytes of stack in an optimised build and under 200 in a
// debug or sanitizer build, so the bound keeps a match within 2 MiB of the thread's stack. A
// repeated group recurses about three times per iteration.
const int kMaxMatchDepth = 10000;

// Work budget of one regexec call: a base for small texts plus an allowance per text byte, far
// above what a linear search needs per position, far below exponential backtracking.
const long long kBaseSteps = 20000000;
const long long kStepsPerTextByte = 1000;

const int kCodeInvalidArgument = -1;
const int kCodeTooBig = -2;
const int kCodeOutOfSpace = -3;
const int kCodeParentheses = -4;
const int kCodeRange = -5;
const int kCodeBrackets = -6;
const int kCodeRepeat = -7;
const int kCodeTrailingBackslash = -8;
const int kCodeInternal = -99;

const int kMatchTooDeep = -2;
const int kMatchTooLong = -3;

// Parse flags of atoms, pieces, alternatives and groups.
const int RX_HAS_WIDTH = 1;     // always consumes at least one character
const int RX_SIMPLE = 2;        // a single node that matches exactly one character
const int RX_REPEAT_FIRST = 4;  // begins with a '*' or '+' repetition

// Outside sets these characters end a literal run.
const char kMeta[] = "^$.[()|?+*\\";

const char kClassLetters[] = "mabcdglpnsuxw";
const unsigned char kClassNegated = 0x80;
const unsigned char kClassIndexMask = 0x7F;

inline unsigned char byteOf(char c) { return static_cast<unsigned char>(c); }

// The classes follow the character taken as a signed char: bytes 0x80 to 0xFF are in none.
// <cctype> is defined only for unsigned char values, which is what it receives.
inline bool isAscii(char c) { return byteOf(c) < 0x80; }

bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

int re_isalnum(char c) { return isAscii(c) && std::isalnum(byteOf(c)); }
int re_isalpha(char c) { return isAscii(c) && std::isalpha(byteOf(c)); }
int re_isblank(char c) { return isBlankChar(c); }
int re_iscntrl(char c) { return isAscii(c) && std::iscntrl(byteOf(c)); }
int re_isdigit(char c) { return isAscii(c) && std::isdigit(byteOf(c)); }
int re_isgraph(char c) { return isAscii(c) && std::isgraph(byteOf(c)); }
int re_islower(char c) { return isAscii(c) && std::islower(byteOf(c)); }
int re_isprint(char c) { return isAscii(c) && std::isprint(byteOf(c)); }
int re_ispunct(char c) { return isAscii(c) && std::ispunct(byteOf(c)); }
int re_isspace(char c) { return isAscii(c) && std::isspace(byteOf(c)); }
int re_isupper(char c) { return isAscii(c) && std::isupper(byteOf(c)); }
int re_isxdigit(char c) { return isAscii(c) && std::isxdigit(byteOf(c)); }
int re_isword(char c) { return re_isalnum(c) || c == '_'; }

typedef int (*ClassPredicate)(char);

// Indexed like kClassLetters.
const ClassPredicate kClassTable[] = {
    re_isalnum, re_isalpha, re_isblank, re_iscntrl, re_isdigit, re_isgraph, re_islower,
    re_isprint, re_ispunct, re_isspace, re_isupper, re_isxdigit, re_isword,
};
const int kClassCount = static_cast<int>(sizeof kClassTable / sizeof kClassTable[0]);

bool inClass(char operand, char c) {
    const int index = byteOf(operand) & kClassIndexMask;
    if (index >= kClassCount) return false;
    const bool member = kClassTable[index](c) != 0;
    return (byteOf(operand) & kClassNegated) != 0 ? !member : member;
}

// The class operand byte for a backslash letter, or -1 when the letter names no class.
int classOperand(char letter) {
    const bool negated = letter >= 'A' && letter <= 'Z';
    const char lower = negated ? static_cast<char>(letter - 'A' + 'a') : letter;
    const char* found = lower != '\0' ? std::strchr(kClassLetters, lower) : nullptr;
    if (found == nullptr) return -1;
    const int index = static_cast<int>(found - kClassLetters);
    return negated ? (index | kClassNegated) : index;
}

inline bool isRepeatOperator(char c) { return c == '*' || c == '+' || c == '?'; }

// ---- Nodes ----

inline unsigned char kindOf(const char* node) { return byteOf(node[0]); }
inline int linkOf(const char* node) { return ((byteOf(node[1]) & 0x7F) << 8) | byteOf(node[2]); }
inline const char* operandOf(const char* node) { return node + 3; }

// The node that `node` links to, or null for a link of 0.
const char* nextNode(const char* node) {
    const int link = linkOf(node);
    if (link == 0) return nullptr;
    return kindOf(node) == RX_LOOP_BACK ? node - link : node + link;
}

char* nextNode(char* node) { return const_cast<char*>(nextNode(static_cast<const char*>(node))); }

bool isOpen(unsigned char kind) { return kind >= RX_OPEN_NUMBERED && kind <= RX_OPEN_LAST; }
bool isClose(unsigned char kind) { return kind >= RX_CLOSE_NUMBERED && kind <= RX_CLOSE_LAST; }

// Group numbers of 256 and more do not fit the operand byte; 0 there means "not recorded".
int groupOf(const char* node) {
    const unsigned char kind = kindOf(node);
    if (kind == RX_OPEN_NUMBERED || kind == RX_CLOSE_NUMBERED) return byteOf(node[3]);
    return isOpen(kind) ? kind - RX_OPEN_NUMBERED : kind - RX_CLOSE_NUMBERED;
}

// The only allocation of the module.
RegexpProgram* regexpAllocate(std::size_t size) { return static_cast<RegexpProgram*>(std::malloc(size)); }
void regexpRelease(RegexpProgram* program) { std::free(program); }

// ---- Compiler ----

struct RegexpCompiler {
    const char* parse;  // parse position in the pattern
    int nextGroup;      // number of the next group, from 1
    int nesting;        // groups open around the parse position
    char* emit;         // next byte to write; null in the sizing pass
    char* limit;        // end of the program block in the writing pass
    char scratch[3];    // stands in for every node of the sizing pass
    long size;          // bytes counted by the sizing pass
    int code;           // the error code once an error has been reported
};

void startPass(RegexpCompiler* c, const char* pattern, char* program, char* limit) {
    c->parse = pattern;
    c->nextGroup = 1;
    c->nesting = 0;
    c->emit = program;
    c->limit = limit;
    std::memset(c->scratch, 0, sizeof c->scratch);
    c->size = 0;
    c->code = 0;
}

inline bool sizing(const RegexpCompiler* c) { return c->emit == nullptr; }

// Reports the error and answers null, the failure value of every parse step.
char* fail(RegexpCompiler* c, int code, const char* message) {
    if (c->code == 0) {
        re_error(message);
        c->code = code;
    }
    return nullptr;
}

// False (with the error reported) when the writing pass has no room for `bytes` more.
bool reserve(RegexpCompiler* c, long bytes) {
    if (sizing(c)) {
        c->size += bytes;
        return true;
    }
    if (c->limit - c->emit < bytes) {
        fail(c, kCodeInternal, "internal error: program size");
        return false;
    }
    return true;
}

void emitByte(RegexpCompiler* c, char b) {
    if (c->code != 0 || !reserve(c, 1) || sizing(c)) return;
    *c->emit++ = b;
}

char* emitNode(RegexpCompiler* c, int kind) {
    if (c->code != 0 || !reserve(c, 3)) return nullptr;
    if (sizing(c)) return c->scratch;
    char* node = c->emit;
    node[0] = static_cast<char>(kind);
    node[1] = 0;
    node[2] = 0;
    c->emit += 3;
    return node;
}

// Opening or closing node of group `number`, with the operand byte from group 10 on.
char* emitGroupNode(RegexpCompiler* c, int numberedKind, int number) {
    if (number < 10) return emitNode(c, numberedKind + number);
    char* node = emitNode(c, numberedKind);
    emitByte(c, static_cast<char>(number <= 255 ? number : 0));
    return c->code == 0 ? node : nullptr;
}

// Puts a node of `kind` in front of `operand`, moving the operand and all after it 3 bytes up.
bool re_insert_operator(RegexpCompiler* c, int kind, char* operand) {
    if (c->code != 0 || !reserve(c, 3)) return false;
    if (sizing(c)) return true;
    std::memmove(operand + 3, operand, static_cast<std::size_t>(c->emit - operand));
    c->emit += 3;
    operand[0] = static_cast<char>(kind);
    operand[1] = 0;
    operand[2] = 0;
    return true;
}

// Sets the link of the last node of the chain that starts at `node` to `target`.
void re_link_tail(RegexpCompiler* c, char* node, const char* target) {
    if (sizing(c) || c->code != 0 || node == nullptr || target == nullptr) return;
    char* scan = node;
    for (char* next; (next = nextNode(scan)) != nullptr;) scan = next;
    const std::ptrdiff_t distance = kindOf(scan) == RX_LOOP_BACK ? scan - target : target - scan;
    if (distance <= 0 || distance > 0x7FFF) {
        fail(c, kCodeInternal, "internal error: bad link");
        return;
    }
    scan[1] = static_cast<char>((distance >> 8) & 0x7F);
    scan[2] = static_cast<char>(distance & 0xFF);
}

// Links the last node inside an alternative; other nodes have no alternative inside.
void linkOperandTail(RegexpCompiler* c, char* node, const char* target) {
    if (sizing(c) || node == nullptr || kindOf(node) != RX_ALTERNATIVE) return;
    re_link_tail(c, node + 3, target);
}

char* re_parse(RegexpCompiler* c, bool group, int* flags);

char* parseSet(RegexpCompiler* c) {
    char* node;
    if (*c->parse == '^') {
        node = emitNode(c, RX_NOT_IN_SET);
        ++c->parse;
    } else {
        node = emitNode(c, RX_IN_SET);
    }
    if (*c->parse == ']' || *c->parse == '-') emitByte(c, *c->parse++);
    while (*c->parse != '\0' && *c->parse != ']') {
        if (*c->parse != '-') {
            emitByte(c, *c->parse++);
            continue;
        }
        ++c->parse;
        if (*c->parse == ']' || *c->parse == '\0') {
            emitByte(c, '-');
            continue;
        }
        // The range starts at the member just before the '-', which is already in the set.
        int from = byteOf(c->parse[-2]) + 1;
        const int to = byteOf(c->parse[0]);
        if (from > to + 1) return fail(c, kCodeRange, "invalid [] range");
        for (; from <= to; ++from) emitByte(c, static_cast<char>(from));
        ++c->parse;
    }
    emitByte(c, '\0');
    if (*c->parse != ']') return fail(c, kCodeBrackets, "unmatched []");
    ++c->parse;
    return c->code == 0 ? node : nullptr;
}

char* parseBackslash(RegexpCompiler* c, int* flags) {
    const char escaped = *c->parse;
    if (escaped == '\0') return fail(c, kCodeTrailingBackslash, "trailing \\");
    ++c->parse;
    if (escaped == '<') return emitNode(c, RX_WORD_START);
    if (escaped == '>') return emitNode(c, RX_WORD_END);
    char* node;
    const int operand = classOperand(escaped);
    if (operand >= 0) {
        node = emitNode(c, RX_CLASS);
        emitByte(c, static_cast<char>(operand));
    } else {
        node = emitNode(c, RX_LITERAL);
        emitByte(c, escaped);
        emitByte(c, '\0');
    }
    *flags |= RX_HAS_WIDTH | RX_SIMPLE;
    return c->code == 0 ? node : nullptr;
}

char* parseLiteralRun(RegexpCompiler* c, int* flags) {
    std::size_t length = std::strcspn(c->parse, kMeta);
    if (length == 0) return fail(c, kCodeInternal, "internal error: strcspn 0");
    // An operator after a run applies to the run's last character only.
    if (length > 1 && isRepeatOperator(c->parse[length])) --length;
    *flags |= RX_HAS_WIDTH;
    if (length == 1) *flags |= RX_SIMPLE;
    char* node = emitNode(c, RX_LITERAL);
    for (; length > 0; --length) emitByte(c, *c->parse++);
    emitByte(c, '\0');
    return c->code == 0 ? node : nullptr;
}

char* parseAtom(RegexpCompiler* c, int* flags) {
    *flags = 0;
    const char first = *c->parse;
    switch (first) {
    case '\0':
    case '|':
    case ')':
        return fail(c, kCodeInternal, "internal error: \\0|) unexpected");
    case '?':
    case '+':
    case '*':
        return fail(c, kCodeRepeat, "?+* follows nothing");
    case '^':
        ++c->parse;
        return emitNode(c, RX_TEXT_START);
    case '$':
        ++c->parse;
        return emitNode(c, RX_TEXT_END);
    case '.':
        ++c->parse;
        *flags |= RX_HAS_WIDTH | RX_SIMPLE;
        return emitNode(c, RX_ANY);
    case '[':
        ++c->parse;
        *flags |= RX_HAS_WIDTH | RX_SIMPLE;
        return parseSet(c);
    case '(': {
        ++c->parse;
        int groupFlags = 0;
        char* node = re_parse(c, true, &groupFlags);
        *flags |= groupFlags & (RX_HAS_WIDTH | RX_REPEAT_FIRST);
        return node;
    }
    case '\\':
        ++c->parse;
        return parseBackslash(c, flags);
    default:
        return parseLiteralRun(c, flags);
    }
}

char* parsePiece(RegexpCompiler* c, int* flags) {
    int atomFlags = 0;
    char* atom = parseAtom(c, &atomFlags);
    if (atom == nullptr) return nullptr;
    const char op = *c->parse;
    if (!isRepeatOperator(op)) {
        *flags = atomFlags;
        return atom;
    }
    if ((atomFlags & RX_HAS_WIDTH) == 0 && op != '?') {
        return fail(c, kCodeRepeat, "*+ operand could be empty");
    }
    *flags = op == '*' ? RX_REPEAT_FIRST : op == '+' ? (RX_HAS_WIDTH | RX_REPEAT_FIRST) : 0;
    const bool simple = (atomFlags & RX_SIMPLE) != 0;

    if (op == '*' && simple) {
        re_insert_operator(c, RX_STAR, atom);
    } else if (op == '*') {
        // x* as a choice of (x, then back to the choice) and the empty string.
        re_insert_operator(c, RX_ALTERNATIVE, atom);
        linkOperandTail(c, atom, emitNode(c, RX_LOOP_BACK));
        linkOperandTail(c, atom, atom);
        re_link_tail(c, atom, emitNode(c, RX_ALTERNATIVE));
        re_link_tail(c, atom, emitNode(c, RX_EMPTY));
    } else if (op == '+' && simple) {
        re_insert_operator(c, RX_PLUS, atom);
    } else if (op == '+') {
        // x+ as x, then a choice of (back to x) and the empty string.
        char* choice = emitNode(c, RX_ALTERNATIVE);
        re_link_tail(c, atom, choice);
        re_link_tail(c, emitNode(c, RX_LOOP_BACK), atom);
        re_link_tail(c, choice, emitNode(c, RX_ALTERNATIVE));
        re_link_tail(c, atom, emitNode(c, RX_EMPTY));
    } else {
        // x? as a choice of x and the empty string, both going on at the same empty node.
        re_insert_operator(c, RX_ALTERNATIVE, atom);
        re_link_tail(c, atom, emitNode(c, RX_ALTERNATIVE));
        char* empty = emitNode(c, RX_EMPTY);
        re_link_tail(c, atom, empty);
        linkOperandTail(c, atom, empty);
    }
    if (c->code != 0) return nullptr;
    ++c->parse;
    if (isRepeatOperator(*c->parse)) return fail(c, kCodeRepeat, "nested *?+");
    return atom;
}

// One alternative: an RX_ALTERNATIVE whose operand is the chain of its pieces.
char* re_parse_branch(RegexpCompiler* c, int* flags) {
    *flags = 0;
    char* branch = emitNode(c, RX_ALTERNATIVE);
    if (branch == nullptr) return nullptr;
    char* chain = nullptr;
    while (*c->parse != '\0' && *c->parse != '|' && *c->parse != ')') {
        int pieceFlags = 0;
        char* piece = parsePiece(c, &pieceFlags);
        if (piece == nullptr) return nullptr;
        *flags |= pieceFlags & RX_HAS_WIDTH;
        if (chain == nullptr) {
            *flags |= pieceFlags & RX_REPEAT_FIRST;
        } else {
            re_link_tail(c, chain, piece);
        }
        chain = piece;
    }
    if (chain == nullptr && emitNode(c, RX_EMPTY) == nullptr) return nullptr;
    return c->code == 0 ? branch : nullptr;
}

// The top level (group false) or one group after its '('.
char* re_parse(RegexpCompiler* c, bool group, int* flags) {
    *flags = RX_HAS_WIDTH;
    char* open = nullptr;
    int number = 0;
    if (group) {
        if (c->nextGroup > kMaxGroups) return fail(c, kCodeInternal, "Too many ()");
        if (c->nesting + 1 >= kMaxGroupNesting) return fail(c, kCodeTooBig, "regexp too big");
        number = c->nextGroup++;
        open = emitGroupNode(c, RX_OPEN_NUMBERED, number);
        if (open == nullptr) return nullptr;
        ++c->nesting;
    }
    int branchFlags = 0;
    char* branch = re_parse_branch(c, &branchFlags);
    if (branch == nullptr) return nullptr;
    char* first = branch;
    if (open != nullptr) {
        re_link_tail(c, open, branch);
        first = open;
    }
    if ((branchFlags & RX_HAS_WIDTH) == 0) *flags &= ~RX_HAS_WIDTH;
    *flags |= branchFlags & RX_REPEAT_FIRST;
    while (*c->parse == '|') {
        ++c->parse;
        branch = re_parse_branch(c, &branchFlags);
        if (branch == nullptr) return nullptr;
        re_link_tail(c, first, branch);
        if ((branchFlags & RX_HAS_WIDTH) == 0) *flags &= ~RX_HAS_WIDTH;
        *flags |= branchFlags & RX_REPEAT_FIRST;
    }
    if (group) --c->nesting;

    char* close = group ? emitGroupNode(c, RX_CLOSE_NUMBERED, number) : emitNode(c, RX_END);
    if (close == nullptr) return nullptr;
    re_link_tail(c, first, close);
    if (!sizing(c)) {
        for (char* node = first; node != nullptr && c->code == 0; node = nextNode(node)) {
            linkOperandTail(c, node, close);
        }
    }
    if (c->code != 0) return nullptr;

    if (group) {
        if (*c->parse != ')') return fail(c, kCodeParentheses, "unterminated ()");
        ++c->parse;
    } else if (*c->parse != '\0') {
        if (*c->parse == ')') return fail(c, kCodeParentheses, "unmatched ()");
        return fail(c, kCodeInternal, "internal error: junk on end");
    }
    return first;
}

// Runs one pass of the parse; false with c->code set on failure.
bool compilePass(RegexpCompiler* c, int* flags) {
    emitByte(c, static_cast<char>(kMagic));
    return re_parse(c, false, flags) != nullptr;
}

// firstChar, anchored and the must literal, from the single top-level alternative.
void setMatchHints(RegexpProgram* program, int flags) {
    program->firstChar = 0;
    program->anchored = 0;
    program->mustLiteral = nullptr;
    program->mustLength = 0;
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return;
    const char* first = operandOf(top);
    if (kindOf(first) == RX_LITERAL) {
        program->firstChar = *operandOf(first);
    } else if (kindOf(first) == RX_TEXT_START) {
        program->anchored = 1;
    }
    if ((flags & RX_REPEAT_FIRST) == 0) return;
    std::size_t longest = 0;
    for (const char* node = first; node != nullptr; node = nextNode(node)) {
        if (kindOf(node) != RX_LITERAL) continue;
        const std::size_t length = std::strlen(operandOf(node));
        if (length >= longest) {
            program->mustLiteral = operandOf(node);
            longest = length;
        }
    }
    program->mustLength = static_cast<std::int32_t>(longest);
}

// ---- Interpreter ----

struct RegexpMatchState {
    const char* input;      // current input position
    const char* textStart;  // start of the text
    int (*pairs)[2];        // the caller's match array, or null
    int pairCount;          // its number of pairs
    int depth;              // interpreter frames active
    long long steps;        // work done so far
    long long stepLimit;    // work allowed for this call
    int error;              // 0, or the regexec code that ends the whole match
};

bool takeSteps(RegexpMatchState* s, long long steps) {
    s->steps += steps;
    if (s->steps <= s->stepLimit) return true;
    if (s->error == 0) {
        re_error("step limit reached in regexec");
        s->error = kMatchTooLong;
    }
    return false;
}

// How many characters from the input position on the single-character `node` matches.
long regrepeat(const char* node, const char* input) {
    const char* operand = operandOf(node);
    long count = 0;
    switch (kindOf(node)) {
    case RX_ANY:
        count = static_cast<long>(std::strlen(input));
        break;
    case RX_LITERAL:
        while (input[count] == *operand) ++count;
        break;
    case RX_IN_SET:
        count = static_cast<long>(std::strspn(input, operand));
        break;
    case RX_NOT_IN_SET:
        count = static_cast<long>(std::strcspn(input, operand));
        break;
    case RX_CLASS:
        while (input[count] != '\0' && inClass(*operand, input[count])) ++count;
        break;
    default:
        re_error("internal error: bad call of regrepeat");
        break;
    }
    return count;
}

int re_match_nodes(RegexpMatchState* s, const char* scan);

// One recursion of the interpreter, within the depth bound.
int matchNested(RegexpMatchState* s, const char* node) {
    if (s->depth >= kMaxMatchDepth) {
        if (s->error == 0) {
            re_error("recursion limit reached in regexec");
            s->error = kMatchTooDeep;
        }
        return 0;
    }
    ++s->depth;
    const int matched = re_match_nodes(s, node);
    --s->depth;
    return matched;
}

// The interpreter: 1 when the program from `scan` on matches at s->input, else 0. Recursion
// happens only where the walk must come back: choices, repetitions and group boundaries.
int re_match_nodes(RegexpMatchState* s, const char* scan) {
    while (scan != nullptr) {
        if (!takeSteps(s, 1)) return 0;
        const unsigned char kind = kindOf(scan);
        if (kind == RX_END) return 1;
        const char* next = nextNode(scan);
        if (next == nullptr) {
            re_error("corrupted pointers");
            return 0;
        }
        const char* operand = operandOf(scan);
        const char current = *s->input;
        switch (kind) {
        case RX_TEXT_START:
            if (s->input != s->textStart) return 0;
            break;
        case RX_TEXT_END:
            if (current != '\0') return 0;
            break;
        case RX_WORD_START:
            if (!re_isword(current)) return 0;
            if (s->input > s->textStart && re_isword(s->input[-1])) return 0;
            break;
        case RX_WORD_END:
            if (re_isword(current)) return 0;
            break;
        case RX_ANY:
            if (current == '\0') return 0;
            ++s->input;
            break;
        case RX_IN_SET:
            if (current == '\0' || std::strchr(operand, current) == nullptr) return 0;
            ++s->input;
            break;
        case RX_NOT_IN_SET:
            if (current == '\0' || std::strchr(operand, current) != nullptr) return 0;
            ++s->input;
            break;
        case RX_CLASS:
            if (current == '\0' || !inClass(*operand, current)) return 0;
            ++s->input;
            break;
        case RX_LITERAL: {
            if (*operand != current) return 0;
            const std::size_t length = std::strlen(operand);
            if (length > 1 && std::strncmp(operand, s->input, length) != 0) return 0;
            s->input += length;
            break;
        }
        case RX_EMPTY:
        case RX_LOOP_BACK:
            break;
        case RX_ALTERNATIVE:
            if (kindOf(next) != RX_ALTERNATIVE) {
                next = operand;  // a single alternative left: no choice to come back to
                break;
            }
            do {
                const char* saved = s->input;
                if (matchNested(s, operandOf(scan))) return 1;
                if (s->error != 0) return 0;
                s->input = saved;
                scan = nextNode(scan);
            } while (scan != nullptr && kindOf(scan) == RX_ALTERNATIVE);
            return 0;
        case RX_STAR:
        case RX_PLUS: {
            // Only counts after which the following literal can start are worth a recursion.
            const char lookahead = kindOf(next) == RX_LITERAL ? *operandOf(next) : '\0';
            const long minimum = kind == RX_STAR ? 0 : 1;
            const char* saved = s->input;
            long count = regrepeat(operand, saved);
            if (!takeSteps(s, count)) return 0;
            for (; count >= minimum; --count) {
                if (!takeSteps(s, 1)) return 0;
                s->input = saved + count;
                if (lookahead == '\0' || *s->input == lookahead) {
                    if (matchNested(s, next)) return 1;
                    if (s->error != 0) return 0;
                }
            }
            return 0;
        }
        default:
            if (isOpen(kind) || isClose(kind)) {
                // Positions are written while a successful match unwinds, and only once, so a
                // repeated group keeps its last iteration.
                const int number = groupOf(scan);
                const char* saved = s->input;
                if (!matchNested(s, next)) return 0;
                if (s->pairs != nullptr && number > 0 && number < s->pairCount) {
                    int& slot = s->pairs[number][isOpen(kind) ? 0 : 1];
                    if (slot == -1) slot = static_cast<int>(saved - s->textStart);
                }
                return 1;
            }
            re_error("regexp corruption");
            return 0;
        }
        scan = next;
    }
    re_error("corrupted pointers");
    return 0;
}

// One attempt at `position`.
int re_try_at(RegexpMatchState* s, const RegexpProgram* program, const char* position) {
    if (s->pairs != nullptr) {
        for (int i = 0; i < s->pairCount; ++i) s->pairs[i][0] = s->pairs[i][1] = -1;
    }
    s->input = position;
    s->depth = 0;
    if (!matchNested(s, program->program + 1)) return 0;
    if (s->pairs != nullptr && s->pairCount > 0) {
        s->pairs[0][0] = static_cast<int>(position - s->textStart);
        s->pairs[0][1] = static_cast<int>(s->input - s->textStart);
    }
    return 1;
}

}  // namespace

void re_error(const char* message) {
    std::fprintf(stderr, "REGEXP ERROR: %s\n", message != nullptr ? message : "");
}

int re_comp(RegexpProgram** result, const char* pattern) {
    if (result == nullptr) {
        re_error("Invalid out regexp pointer");
        return kCodeInvalidArgument;
    }
    if (pattern == nullptr) {
        re_error("Invalid expression");
        return kCodeInvalidArgument;
    }

    RegexpCompiler compiler;
    int flags = 0;
    startPass(&compiler, pattern, nullptr, nullptr);
    if (!compilePass(&compiler, &flags)) return compiler.code;
    if (compiler.size > kMaxProgramSize) {
        re_error("regexp too big");
        return kCodeTooBig;
    }

    const long programSize = compiler.size;
    const std::size_t blockSize =
        std::max(sizeof(RegexpProgram),
                 offsetof(RegexpProgram, program) + static_cast<std::size_t>(programSize));
    RegexpProgram* program = regexpAllocate(blockSize);
    if (program == nullptr) {
        re_error("out of space");
        return kCodeOutOfSpace;
    }

    char* code = program->program;
    startPass(&compiler, pattern, code, code + programSize);
    const bool written = compilePass(&compiler, &flags);
    if (written && compiler.emit != code + programSize) {
        fail(&compiler, kCodeInternal, "internal error: program size");
    }
    if (!written || compiler.code != 0) {
        regexpRelease(program);
        return compiler.code != 0 ? compiler.code : kCodeInternal;
    }

    setMatchHints(program, flags);
    program->groupCount = compiler.nextGroup;
    *result = program;
    return 0;
}

int regexec(const RegexpProgram* program, const char* text, int pairCount, int (*pairs)[2]) {
    if (program == nullptr || text == nullptr) {
        re_error("NULL argument to regexec");
        return kCodeInvalidArgument;
    }
    if (byteOf(program->program[0]) != kMagic) {
        re_error("corrupted regexp");
        return kCodeInvalidArgument;
    }
    // Offsets are reported as int.
    const std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(INT_MAX)) {
        re_error("text too long for regexec");
        return kCodeInvalidArgument;
    }
    if (program->mustLiteral != nullptr && std::strstr(text, program->mustLiteral) == nullptr) {
        return 0;
    }

    RegexpMatchState state;
    state.input = text;
    state.textStart = text;
    state.pairs = pairCount > 0 ? pairs : nullptr;
    state.pairCount = pairCount > 0 ? pairCount : 0;
    state.depth = 0;
    state.steps = 0;
    state.stepLimit = kBaseSteps + kStepsPerTextByte * static_cast<long long>(length);
    state.error = 0;

    if (program->anchored) {
        const int matched = re_try_at(&state, program, text);
        return state.error != 0 ? state.error : matched;
    }
    if (program->firstChar != 0) {
        for (const char* at = text; (at = std::strchr(at, program->firstChar)) != nullptr; ++at) {
            if (re_try_at(&state, program, at)) return 1;
            if (state.error != 0) return state.error;
        }
        return 0;
    }
    const char* at = text;
    do {
        if (re_try_at(&state, program, at)) return 1;
        if (state.error != 0) return state.error;
    } while (*at++ != '\0');
    return 0;
}

int re_nsubexp(const RegexpProgram* program) {
    if (program == nullptr) {
        re_error("NULL argument to re_nsubexp");
        return -1;
    }
    if (byteOf(program->program[0]) != kMagic) {
        re_error("corrupted regexp");
        return -1;
    }
    return program->groupCount;
}

void re_free(RegexpProgram* program) { regexpRelease(program); }

}  // namespace quillmark
