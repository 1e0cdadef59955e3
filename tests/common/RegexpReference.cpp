// The reference engine of RegexpReference.h (see there).
//
// The regular-expression engine: a two-pass compiler into a node program and a backtracking
// interpreter over it.
//
// The compiler runs the same parse twice. The sizing pass emits every node into a three-byte
// scratch node and only counts bytes; the writing pass emits into a block of exactly that size.
// Every write of the writing pass is still checked against the end of the block, and the pass must
// end exactly there, so a disagreement between the passes becomes an internal error instead of a
// write past the allocation.
//
// Patterns and texts may come from remote requests, so both stages are bounded: the parser's
// recursion by the group nesting that a program of the maximum size could hold at all; the
// interpreter, which does not recurse but keeps its choices on a heap stack, by the size of that
// stack and by a fixed work budget. A search that reaches a bound is abandoned with its own
// error code, never answered as "no match", and never crashes or hangs.
#include "RegexpReference.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace regexp_reference {

namespace {

const unsigned char kMagic = 0x9C;

// Links hold 15 bits; a program of at most this many bytes keeps every link below 32767.
const long kMaxProgramSize = 32766;
const int kMaxGroups = 32766;

// Every nested group costs at least an opening node, an alternative and a closing node (9 bytes)
// on top of the 10 bytes of the smallest program, so no program within kMaxProgramSize nests
// this many groups; refusing them early bounds the parser's stack.
const int kMaxGroupNesting = static_cast<int>((kMaxProgramSize - 10) / 9 + 1);

// The interpreter keeps its pending choices on a heap stack of 16-byte entries, at most 2^21 of
// them (32 MiB). A repeated group takes one per iteration, one more for each alternative inside
// it that is still untried, and two more when the caller asks for the group's positions.
const std::size_t kMaxBacktrackEntries = std::size_t(1) << 21;

// Work budget of one regexec call, a fixed count so that an answer never depends on the load
// of the machine. Work is counted in units of about a quarter of a nanosecond where it was
// measured: a character that a repetition scans or backs off over costs one (ten when a class
// predicate tests it), a node visit with the choices it pushes and pops twelve. The budget is
// about one second: searches that are linear, or quadratic in texts of some ten KiB, stay
// within it, while exponential backtracking reaches it.
const long long kNodeVisitCost = 12;
const long long kClassCharacterCost = 10;
const long long kMaxWork = 4500000000LL;

const int kCodeInvalidArgument = -1;
const int kCodeTooBig = -2;
const int kCodeOutOfSpace = -3;
const int kCodeParentheses = -4;
const int kCodeRange = -5;
const int kCodeBrackets = -6;
const int kCodeRepeat = -7;
const int kCodeTrailingBackslash = -8;
const int kCodeInternal = -99;

// The two ways regexec abandons a search; neither is an answer about the text.
const int kMatchTooDeep = -2;
const int kMatchTooCostly = -3;

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
    re_isalnum, re_isalpha, re_isblank, re_iscntrl, re_isdigit,  re_isgraph, re_islower,
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
RegexpProgram* regexpAllocate(std::size_t size) {
    return static_cast<RegexpProgram*>(std::malloc(size));
}
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
    case ')': return fail(c, kCodeInternal, "internal error: \\0|) unexpected");
    case '?':
    case '+':
    case '*': return fail(c, kCodeRepeat, "?+* follows nothing");
    case '^': ++c->parse; return emitNode(c, RX_TEXT_START);
    case '$': ++c->parse; return emitNode(c, RX_TEXT_END);
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
    case '\\': ++c->parse; return parseBackslash(c, flags);
    default: return parseLiteralRun(c, flags);
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

// A choice the walk can come back to when the path it took fails, or a group position to undo.
struct Backtrack {
    const char* node;  // RX_ALTERNATIVE: the alternative to try next; RX_STAR or RX_PLUS: the
                       // repetition; an opening or closing node: the group boundary it wrote
    int input;         // choices: the input offset they start from
    int value;         // repetitions: the count taken last; group boundaries: the offset before
};
static_assert(sizeof(Backtrack) <= 16, "kMaxBacktrackEntries counts 16-byte entries");

struct RegexpMatchState {
    const char* input;             // current input position
    const char* textStart;         // start of the text
    int (*pairs)[2];               // the caller's match array, or null
    int pairCount;                 // its number of pairs
    std::vector<Backtrack> stack;  // the choices of the current attempt; its memory is reused
    long long work;                // work done so far by this call, in the units of kMaxWork
    int error;                     // 0, or the regexec code that ends the whole search
};

inline int offsetOf(const RegexpMatchState* s, const char* position) {
    return static_cast<int>(position - s->textStart);
}

// Ends the whole search with `code`; answers false, the failure value of every step.
bool abandon(RegexpMatchState* s, int code, const char* message) {
    if (s->error == 0) {
        re_error(message);
        s->error = code;
    }
    return false;
}

bool spendWork(RegexpMatchState* s, long long units) {
    s->work += units;
    return s->work <= kMaxWork || abandon(s, kMatchTooCostly, "step limit reached in regexec");
}

bool pushBacktrack(RegexpMatchState* s, const char* node, int input, int value) {
    std::vector<Backtrack>& stack = s->stack;
    if (stack.size() == stack.capacity()) {
        if (stack.size() >= kMaxBacktrackEntries) {
            return abandon(s, kMatchTooDeep, "backtrack limit reached in regexec");
        }
        try {
            const std::size_t grown = std::max<std::size_t>(64, 2 * stack.size());
            stack.reserve(std::min(grown, kMaxBacktrackEntries));
        } catch (const std::bad_alloc&) {
            return abandon(s, kMatchTooDeep, "backtrack limit reached in regexec");
        }
    }
    stack.push_back(Backtrack{node, input, value});
    return true;
}

// How many characters from the input position on the single-character `node` matches.
long regrepeat(const char* node, const char* input) {
    const char* operand = operandOf(node);
    long count = 0;
    switch (kindOf(node)) {
    case RX_ANY: count = static_cast<long>(std::strlen(input)); break;
    case RX_LITERAL:
        while (input[count] == *operand) ++count;
        break;
    case RX_IN_SET: count = static_cast<long>(std::strspn(input, operand)); break;
    case RX_NOT_IN_SET: count = static_cast<long>(std::strcspn(input, operand)); break;
    case RX_CLASS:
        while (input[count] != '\0' && inClass(*operand, input[count])) ++count;
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
    for (; count >= minimum; --count) {
        if (!spendWork(s, 1)) return -1;
        if (lookahead == '\0' || base[count] == lookahead) return count;
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
// choice is left or the search has been abandoned.
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
            if (s->error != 0) return nullptr;
            if (count < 0) continue;
            return takeCount(s, node, base, count) ? nextNode(node) : nullptr;
        }
        s->pairs[groupOf(node)][isOpen(kind) ? 0 : 1] = top.value;
        s->stack.pop_back();
    }
    return nullptr;
}

// Matches the single-character node at the input and moves past it.
bool matchCharacter(RegexpMatchState* s, unsigned char kind, const char* operand) {
    const char current = *s->input;
    if (current == '\0') return false;
    bool member = true;
    if (kind == RX_IN_SET) member = std::strchr(operand, current) != nullptr;
    if (kind == RX_NOT_IN_SET) member = std::strchr(operand, current) == nullptr;
    if (kind == RX_CLASS) member = inClass(*operand, current);
    if (member) ++s->input;
    return member;
}

// The interpreter: 1 when the program from `scan` on matches at s->input, else 0. The walk
// never recurses: each place it may have to come back to (another alternative, fewer
// repetitions, a group position to undo) goes on a stack on the heap, so a long text under a
// repeated group costs memory within a fixed bound rather than the thread's stack.
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
        case RX_CLASS: matched = matchCharacter(s, kind, operand); break;
        case RX_LITERAL:
            matched = *operand == *s->input;
            if (matched) {
                const std::size_t length = std::strlen(operand);
                matched = length == 1 || std::strncmp(operand, s->input, length) == 0;
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
            const long count = regrepeat(operand, base);
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
            scan = s->error != 0 ? nullptr : resume(s);
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

}  // namespace

// Silent: the differential test runs a million searches and compares codes, not lines.
void re_error(const char* message) { (void)message; }

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
    state.work = 0;
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

}  // namespace regexp_reference
