// The regular-expression engine: a two-pass compiler into a node program, and a search that
// walks the program by backtracking and, where that would cost too much, simulates it breadth
// first.
//
// The compiler runs the same parse twice. The sizing pass emits every node into a three-byte
// scratch node and only counts bytes; the writing pass emits into a block of exactly that size.
// Every write of the writing pass is still checked against the end of the block, and the pass must
// end exactly there, so a disagreement between the passes becomes an internal error instead of a
// write past the allocation. The parse keeps open groups on a heap stack, not the thread's.
//
// Patterns and texts may come from remote requests, so a search must answer in bounded time and
// memory. The backtracking walk is fast where a match or a failure shows early, but can take time
// exponential in the text. It therefore runs within a work budget proportional to the text's
// length times the program's size, and a bounded stack of choices; a walk that exceeds either
// hands the search, from the start position it was at, to the breadth-first simulation, whose
// work is at most text length times program size and whose memory depends only on the program.
// Both give the same answer, with the same group positions. Only memory that cannot be had ends a
// search without an answer.
#include "quillmark/Regexp.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace quillmark {

namespace {

const unsigned char kMagic = 0x9C;

// Links hold 15 bits; a program of at most this many bytes keeps every link below 32767.
const long kMaxProgramSize = 32766;
const int kMaxGroups = 32766;

// The backtracking walk keeps its pending choices on a heap stack of 16-byte entries, at most
// 2^12 of them (64 KiB, small enough to be served from the heap rather than fresh pages). A
// repeated group takes one per iteration, one more for each alternative inside it that is still
// untried, and two more when the caller asks for the group's positions. A walk that needs more
// goes on breadth first, which needs no such stack and is then the faster of the two.
const std::size_t kMaxBacktrackEntries = std::size_t(1) << 12;

// Work of the backtracking walk, counted in units of about a quarter of a nanosecond where it
// was measured: a character that a repetition scans or backs off over costs one (ten when a
// class predicate tests it), a node visit with the choices it pushes and pops twelve. The walk
// may spend kWalkBaseWork plus kWalkWorkPerByte per text byte and program byte, a fraction of
// what the breadth-first simulation may cost, before the search changes to that; so a search
// costs at most a small multiple of the simulation's bound, whichever method answers.
const long long kNodeVisitCost = 12;
const long long kClassCharacterCost = 10;
const long long kWalkBaseWork = 1LL << 20;
const long long kWalkWorkPerByte = 1;

// Groups 1 to 255 record their positions; pair 0 is the whole match.
const int kRecordedGroups = 256;

const int kCodeInvalidArgument = -1;
const int kCodeTooBig = -2;
const int kCodeOutOfSpace = -3;
const int kCodeParentheses = -4;
const int kCodeRange = -5;
const int kCodeBrackets = -6;
const int kCodeRepeat = -7;
const int kCodeTrailingBackslash = -8;
const int kCodeInternal = -99;

// regexec could not have the memory the search needs; that is no answer about the text.
const int kMatchOutOfMemory = -3;

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
    char* emit;         // next byte to write; null in the sizing pass
    char* limit;        // end of the program block in the writing pass
    char scratch[3];    // stands in for every node of the sizing pass
    long size;          // bytes counted by the sizing pass
    int code;           // the error code once an error has been reported
};

void startPass(RegexpCompiler* c, const char* pattern, char* program, char* limit) {
    c->parse = pattern;
    c->nextGroup = 1;
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

// Every atom but a group, which the parse loop of compilePass opens and closes itself.
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
    case '\\': ++c->parse; return parseBackslash(c, flags);
    default: return parseLiteralRun(c, flags);
    }
}

// Applies the operator after a parsed atom, if any: the piece, or null after an error.
char* finishPiece(RegexpCompiler* c, char* atom, int atomFlags, int* flags) {
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

// One expression being parsed: the top level, or a group whose ')' is still to come. The parse
// keeps these on the heap rather than recursing, so deep nesting costs memory in proportion to
// the pattern, never the thread's stack, and the sizing pass always reaches the pattern's first
// syntax error.
struct ExpressionFrame {
    bool group;
    int number;       // the group's number
    char* open;       // the group's opening node
    char* first;      // the expression's first node, once its first alternative is done
    int flags;        // the expression's flags so far
    char* branch;     // the RX_ALTERNATIVE of the alternative being parsed
    char* chain;      // that alternative's latest piece, null before its first one
    int branchFlags;  // that alternative's flags so far
};

// Starts an alternative: an RX_ALTERNATIVE whose operand is the chain of its pieces.
bool beginBranch(RegexpCompiler* c, ExpressionFrame* f) {
    f->branchFlags = 0;
    f->chain = nullptr;
    f->branch = emitNode(c, RX_ALTERNATIVE);
    return f->branch != nullptr;
}

// Starts the top level (group false) or one group after its '(', with its first alternative.
bool beginExpression(RegexpCompiler* c, std::vector<ExpressionFrame>* frames, bool group) {
    ExpressionFrame f = {};
    f.group = group;
    f.flags = RX_HAS_WIDTH;
    if (group) {
        if (c->nextGroup > kMaxGroups) return fail(c, kCodeInternal, "Too many ()") != nullptr;
        f.number = c->nextGroup++;
        f.open = emitGroupNode(c, RX_OPEN_NUMBERED, f.number);
        if (f.open == nullptr) return false;
    }
    frames->push_back(f);
    return beginBranch(c, &frames->back());
}

void addPiece(RegexpCompiler* c, ExpressionFrame* f, char* piece, int pieceFlags) {
    f->branchFlags |= pieceFlags & RX_HAS_WIDTH;
    if (f->chain == nullptr) {
        f->branchFlags |= pieceFlags & RX_REPEAT_FIRST;
    } else {
        re_link_tail(c, f->chain, piece);
    }
    f->chain = piece;
}

// Ends the alternative being parsed and links it into its expression.
bool endBranch(RegexpCompiler* c, ExpressionFrame* f) {
    if (f->chain == nullptr && emitNode(c, RX_EMPTY) == nullptr) return false;
    if (c->code != 0) return false;
    if (f->first == nullptr) {
        f->first = f->branch;
        if (f->open != nullptr) {
            re_link_tail(c, f->open, f->branch);
            f->first = f->open;
        }
    } else {
        re_link_tail(c, f->first, f->branch);
    }
    if ((f->branchFlags & RX_HAS_WIDTH) == 0) f->flags &= ~RX_HAS_WIDTH;
    f->flags |= f->branchFlags & RX_REPEAT_FIRST;
    return c->code == 0;
}

// Closes the expression after its last alternative: its first node, or null after an error.
char* re_parse(RegexpCompiler* c, const ExpressionFrame* f) {
    char* close = f->group ? emitGroupNode(c, RX_CLOSE_NUMBERED, f->number) : emitNode(c, RX_END);
    if (close == nullptr) return nullptr;
    re_link_tail(c, f->first, close);
    if (!sizing(c)) {
        for (char* node = f->first; node != nullptr && c->code == 0; node = nextNode(node)) {
            linkOperandTail(c, node, close);
        }
    }
    if (c->code != 0) return nullptr;

    if (f->group) {
        if (*c->parse != ')') return fail(c, kCodeParentheses, "unterminated ()");
        ++c->parse;
    } else if (*c->parse != '\0') {
        if (*c->parse == ')') return fail(c, kCodeParentheses, "unmatched ()");
        return fail(c, kCodeInternal, "internal error: junk on end");
    }
    return f->first;
}

// Runs one pass of the parse; false with c->code set on failure. A group's pieces are parsed in
// its own frame; when its ')' comes, the group is the atom of a piece of the enclosing one.
bool compilePass(RegexpCompiler* c, int* flags) {
    emitByte(c, static_cast<char>(kMagic));
    std::vector<ExpressionFrame> frames;
    if (!beginExpression(c, &frames, false)) return false;
    for (;;) {
        const char next = *c->parse;
        if (next != '\0' && next != '|' && next != ')') {
            if (next == '(') {
                ++c->parse;
                if (!beginExpression(c, &frames, true)) return false;
                continue;
            }
            int atomFlags = 0;
            char* atom = parseAtom(c, &atomFlags);
            if (atom == nullptr) return false;
            int pieceFlags = 0;
            char* piece = finishPiece(c, atom, atomFlags, &pieceFlags);
            if (piece == nullptr) return false;
            addPiece(c, &frames.back(), piece, pieceFlags);
            if (c->code != 0) return false;
            continue;
        }
        if (!endBranch(c, &frames.back())) return false;
        if (next == '|') {
            ++c->parse;
            if (!beginBranch(c, &frames.back())) return false;
            continue;
        }
        const ExpressionFrame done = frames.back();
        char* first = re_parse(c, &done);
        if (first == nullptr) return false;
        frames.pop_back();
        if (!done.group) {
            *flags = done.flags;
            return true;
        }
        int pieceFlags = 0;
        char* piece =
            finishPiece(c, first, done.flags & (RX_HAS_WIDTH | RX_REPEAT_FIRST), &pieceFlags);
        if (piece == nullptr) return false;
        addPiece(c, &frames.back(), piece, pieceFlags);
        if (c->code != 0) return false;
    }
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

// The bytes that can begin a match, from every node the walk can reach from the start without
// consuming a character. Assertions are passed as if they held, so the set may be wider than
// needed, never narrower; reaching RX_END means an empty match is possible: any position.
void setStartBytes(RegexpProgram* program, std::size_t programSize) {
    program->startAnywhere = 0;
    std::memset(program->startBytes, 0, sizeof program->startBytes);
    const char* base = program->program;
    std::vector<bool> seen(programSize, false);
    std::vector<const char*> pending(1, base + 1);
    auto addSingle = [program](const char* node) {
        const char* operand = operandOf(node);
        for (int b = 1; b < 256; ++b) {
            const char c = static_cast<char>(b);
            bool member = false;
            switch (kindOf(node)) {
            case RX_ANY: member = true; break;
            case RX_IN_SET: member = std::strchr(operand, c) != nullptr; break;
            case RX_NOT_IN_SET: member = std::strchr(operand, c) == nullptr; break;
            case RX_LITERAL: member = *operand == c; break;
            case RX_CLASS: member = inClass(*operand, c); break;
            default: member = true; break;
            }
            if (member) program->startBytes[b] = 1;
        }
    };
    while (!pending.empty() && program->startAnywhere == 0) {
        const char* node = pending.back();
        pending.pop_back();
        const std::size_t offset = static_cast<std::size_t>(node - base);
        if (offset >= programSize || seen[offset]) continue;
        seen[offset] = true;
        const unsigned char kind = kindOf(node);
        const char* next = nextNode(node);
        switch (kind) {
        case RX_END: program->startAnywhere = 1; break;
        case RX_ANY:
        case RX_IN_SET:
        case RX_NOT_IN_SET:
        case RX_LITERAL:
        case RX_CLASS: addSingle(node); break;
        case RX_PLUS: addSingle(operandOf(node)); break;
        case RX_STAR:
            addSingle(operandOf(node));
            if (next != nullptr) pending.push_back(next);
            break;
        case RX_ALTERNATIVE:
            if (next != nullptr && kindOf(next) == RX_ALTERNATIVE) pending.push_back(next);
            pending.push_back(operandOf(node));
            break;
        default:
            if (next == nullptr) {
                program->startAnywhere = 1;
            } else {
                pending.push_back(next);
            }
            break;
        }
    }
    program->startByteCount = 0;
    std::memset(program->fewStartBytes, 0, sizeof program->fewStartBytes);
    const int fewMax = static_cast<int>(sizeof program->fewStartBytes);
    for (int b = 0; b < 256; ++b) {
        if (program->startBytes[b] == 0) continue;
        if (program->startByteCount < fewMax) {
            program->fewStartBytes[program->startByteCount] = static_cast<char>(b);
        }
        ++program->startByteCount;
    }
}

// The longest literal on the path every match takes: the top-level chain, entered into groups
// and choices that have a single alternative. A choice of several is passed as a whole.
void setRequiredLiteral(RegexpProgram* program, std::size_t programSize) {
    program->requiredLiteral = nullptr;
    program->requiredLength = 0;
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return;
    std::size_t longest = 0;
    const char* node = operandOf(top);
    for (std::size_t steps = 0; node != nullptr && steps < programSize; ++steps) {
        const unsigned char kind = kindOf(node);
        if (kind == RX_END || kind == RX_LOOP_BACK) break;
        if (kind == RX_LITERAL) {
            const std::size_t length = std::strlen(operandOf(node));
            if (length > longest) {
                program->requiredLiteral = operandOf(node);
                longest = length;
            }
        }
        const char* next = nextNode(node);
        if (kind == RX_ALTERNATIVE && (next == nullptr || kindOf(next) != RX_ALTERNATIVE)) {
            node = operandOf(node);
            continue;
        }
        if (kind == RX_ALTERNATIVE) {
            // Past the whole choice: its last alternative links to where all of them meet.
            while (next != nullptr && kindOf(next) == RX_ALTERNATIVE) next = nextNode(next);
        }
        node = next;
    }
    program->requiredLength = static_cast<std::int32_t>(longest);
}

// The search aids beside the hints.
void setSearchAids(RegexpProgram* program, std::size_t programSize) {
    setStartBytes(program, programSize);
    setRequiredLiteral(program, programSize);
    program->leadingAnyRepeat = 0;
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return;
    const char* first = operandOf(top);
    if ((kindOf(first) == RX_STAR || kindOf(first) == RX_PLUS) &&
        kindOf(operandOf(first)) == RX_ANY) {
        program->leadingAnyRepeat = 1;
    }
}

// ---- Where attempts start ----

// The positions a match can begin at, in order: the start of the text for an anchored program,
// else the positions whose byte can begin a match (every position, the terminating NUL's
// included, when a match may be empty). After a leading ".*" or ".+" only the first counts: a
// match from any later position would also be one from there.
class StartPositions {
public:
    StartPositions(const RegexpProgram* program, const char* text, int length)
        : program_(program), text_(text), length_(length) {
        if (program->startByteCount <= kFewBytes) {
            fewCount_ = program->startByteCount;
            for (int i = 0; i < fewCount_; ++i) fewNext_[i] = -1;
        }
        first_ = program->anchored ? 0 : scan(0);
        only_ = program->anchored || program->leadingAnyRepeat;
    }

    int first() const { return first_; }

    // The first start position at or after `from`, or -1.
    int next(int from) {
        if (only_ || first_ < 0) return from <= first_ ? first_ : -1;
        return scan(from);
    }

    bool isStart(int position) const {
        if (only_) return position == first_;
        return program_->startAnywhere != 0 ||
               (position < length_ && program_->startBytes[byteOf(text_[position])] != 0);
    }

private:
    static const int kFewBytes = static_cast<int>(sizeof(RegexpProgram::fewStartBytes));

    int scan(int from) {
        if (from > length_) return -1;
        if (program_->startAnywhere != 0) return from;
        if (program_->startByteCount <= kFewBytes) return scanFew(from);
        const unsigned char* table = program_->startBytes;
        for (int at = from; at < length_; ++at) {
            if (table[byteOf(text_[at])] != 0) return at;
        }
        return -1;
    }

    // A few bytes: the next occurrence of each one, found by memchr and kept until passed.
    int scanFew(int from) {
        int best = -1;
        for (int i = 0; i < fewCount_; ++i) {
            if (fewNext_[i] < from && fewNext_[i] != length_) {
                const void* found = std::memchr(text_ + from, program_->fewStartBytes[i],
                                                static_cast<std::size_t>(length_ - from));
                fewNext_[i] = found != nullptr
                                  ? static_cast<int>(static_cast<const char*>(found) - text_)
                                  : length_;
            }
            if (fewNext_[i] != length_ && (best < 0 || fewNext_[i] < best)) best = fewNext_[i];
        }
        return best;
    }

    const RegexpProgram* program_;
    const char* text_;
    int length_;
    int first_ = -1;
    bool only_ = false;
    int fewNext_[kFewBytes] = {};  // the next position of each of the few bytes, length_: none
    int fewCount_ = 0;
};

// ---- The backtracking walk ----

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

// How many characters from the input position on the single-character `node` matches.
long regrepeat(const RegexpMatchState* s, const char* node, const char* input) {
    const char* operand = operandOf(node);
    long count = 0;
    switch (kindOf(node)) {
    case RX_ANY: count = static_cast<long>(s->textEnd - input); break;
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

bool matchesSingle(unsigned char kind, const char* operand, char current) {
    if (current == '\0') return false;
    switch (kind) {
    case RX_ANY: return true;
    case RX_IN_SET: return std::strchr(operand, current) != nullptr;
    case RX_NOT_IN_SET: return std::strchr(operand, current) == nullptr;
    case RX_LITERAL: return *operand == current;
    case RX_CLASS: return inClass(*operand, current);
    default: return false;
    }
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
            matched = matchesSingle(kind, operand, *s->input);
            if (matched) ++s->input;
            break;
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

// ---- The breadth-first simulation ----

// Capture sets of the simulation: `width` offsets each (the match's start, then the start and
// end of each recorded group), shared between threads until one of them writes (copy on write).
class CaptureSets {
public:
    explicit CaptureSets(int width) : width_(width) {
        refs_.reserve(kInitialSets);
        free_.reserve(kInitialSets);
        slots_.reserve(kInitialSets * static_cast<std::size_t>(width));
    }

    int width() const { return width_; }

    int make() {
        int id;
        if (!free_.empty()) {
            id = free_.back();
            free_.pop_back();
        } else {
            id = static_cast<int>(refs_.size());
            refs_.push_back(0);
            slots_.resize(slots_.size() + static_cast<std::size_t>(width_));
        }
        refs_[static_cast<std::size_t>(id)] = 1;
        return id;
    }

    void retain(int id) { ++refs_[static_cast<std::size_t>(id)]; }

    void release(int id) {
        if (--refs_[static_cast<std::size_t>(id)] == 0) free_.push_back(id);
    }

    int* slots(int id) { return &slots_[static_cast<std::size_t>(id) * width_]; }

    // Sets one slot of the set `id` holds for its owner; answers the set that holds it now.
    int write(int id, int slot, int value) {
        if (slots(id)[slot] == value) return id;
        if (refs_[static_cast<std::size_t>(id)] > 1) {
            const int copy = make();
            std::memcpy(slots(copy), slots(id), sizeof(int) * static_cast<std::size_t>(width_));
            release(id);
            id = copy;
        }
        slots(id)[slot] = value;
        return id;
    }

private:
    static const std::size_t kInitialSets = 16;

    int width_;
    std::vector<int> slots_;
    std::vector<int> refs_;
    std::vector<int> free_;
};

// A thread of the simulation waits to consume the character at the current position:
// - at a single-character node (`state` is the node);
// - inside a literal (`state` is the offset of the literal's character it needs next);
// - at an RX_PLUS before its first repetition (`state` is the node);
// - in the repetition of an RX_STAR or RX_PLUS (`state` is the offset of its operand).
struct Thread {
    int state;
    int node;  // offset of the node the thread is at
    int caps;  // its capture set
};

// A closure's pending branch: a node to go on from with a capture set, or (loop) the
// repetition of the RX_STAR or RX_PLUS `node` at the current position.
struct ClosureEntry {
    int node;
    int caps;
    bool loop;
};

// Simulates the walk on all of its paths at once, one text position at a time. The threads of
// a position are kept in the order in which the walk would reach them; a path that meets a node
// at a position where an earlier path already was is dropped, since both would go on the same
// way and the walk takes the earlier. So the first path to reach RX_END in that order is the
// walk's match, with the walk's group positions (each thread carries those of its own path).
// Every position visits each node at most once: the work is at most text length times program
// size, and the memory is bounded by the program's size, whatever the text.
class BreadthFirstSearch {
public:
    BreadthFirstSearch(const RegexpProgram* program, std::size_t programSize, const char* text,
                       int length, int pairsUsed, StartPositions* starts)
        : base_(program->program),
          text_(text),
          length_(length),
          starts_(starts),
          captures_(2 * pairsUsed - 1),
          pairsUsed_(pairsUsed),
          marks_(programSize, 0),
          best_(static_cast<std::size_t>(captures_.width()), -1) {
        // Enough for small programs at once, rather than growing from one element.
        const std::size_t threads = std::min<std::size_t>(programSize, 64);
        current_.reserve(threads);
        following_.reserve(threads);
        pending_.reserve(threads);
    }

    // The search from the start position `from` on; 1 or 0 as regexec answers.
    int run(int from, int (*pairs)[2], int pairCount) {
        int position = from;
        bool matched = false;
        for (;;) {
            if (!matched && starts_->isStart(position)) {
                const int caps = captures_.make();
                int* slots = captures_.slots(caps);
                for (int i = 0; i < captures_.width(); ++i) slots[i] = -1;
                slots[0] = position;
                if (closure(ClosureEntry{1, caps, false}, position, &current_)) matched = true;
            }
            if (current_.empty()) {
                if (matched || position >= length_) break;
                const int next = starts_->next(position + 1);
                if (next < 0) break;
                position = next;
                continue;
            }
            if (position >= length_) {
                for (const Thread& t : current_) captures_.release(t.caps);
                current_.clear();
                break;
            }
            following_.clear();
            const char c = text_[position];
            for (std::size_t i = 0; i < current_.size(); ++i) {
                const Thread t = current_[i];
                if (step(t, c, position + 1)) {
                    matched = true;
                    for (std::size_t j = i + 1; j < current_.size(); ++j) {
                        captures_.release(current_[j].caps);
                    }
                    break;
                }
            }
            current_.swap(following_);
            ++position;
        }
        if (matched && pairs != nullptr) {
            for (int i = 0; i < pairCount; ++i) pairs[i][0] = pairs[i][1] = -1;
            pairs[0][0] = best_[0];
            pairs[0][1] = bestEnd_;
            for (int g = 1; g < pairsUsed_; ++g) {
                pairs[g][0] = best_[static_cast<std::size_t>(2 * g - 1)];
                pairs[g][1] = best_[static_cast<std::size_t>(2 * g)];
            }
        }
        return matched ? 1 : 0;
    }

private:
    const char* node(int offset) const { return base_ + offset; }
    int offsetOfNode(const char* n) const { return static_cast<int>(n - base_); }
    std::uint32_t stampOf(int position) const { return static_cast<std::uint32_t>(position) + 1; }

    // Thread t consumes c (the character before `position`); its successors join following_.
    // True when one of them reached RX_END: the threads after t then no longer count.
    bool step(const Thread& t, char c, int position) {
        const char* n = node(t.node);
        const unsigned char kind = kindOf(n);
        if (kind == RX_LITERAL) {
            if (base_[t.state] != c) {
                captures_.release(t.caps);
                return false;
            }
            if (base_[t.state + 1] != '\0') {
                const std::uint32_t stamp = stampOf(position);
                if (marks_[static_cast<std::size_t>(t.state + 1)] == stamp) {
                    captures_.release(t.caps);
                } else {
                    marks_[static_cast<std::size_t>(t.state + 1)] = stamp;
                    following_.push_back(Thread{t.state + 1, t.node, t.caps});
                }
                return false;
            }
            return closure(ClosureEntry{offsetOfNode(nextNode(n)), t.caps, false}, position,
                           &following_);
        }
        if (kind == RX_STAR || kind == RX_PLUS) {
            const char* operand = operandOf(n);
            if (!matchesSingle(kindOf(operand), operandOf(operand), c)) {
                captures_.release(t.caps);
                return false;
            }
            return closure(ClosureEntry{t.node, t.caps, true}, position, &following_);
        }
        if (!matchesSingle(kind, operandOf(n), c)) {
            captures_.release(t.caps);
            return false;
        }
        return closure(ClosureEntry{offsetOfNode(nextNode(n)), t.caps, false}, position,
                       &following_);
    }

    void addThread(std::vector<Thread>* threads, int state, int nodeOffset, int caps) {
        threads->push_back(Thread{state, nodeOffset, caps});
    }

    // Follows the walk from `entry` at `position` without consuming, in the walk's order,
    // adding a thread for every node that waits for a character. True when RX_END is reached:
    // that path is the best match so far and the branches after it are dropped.
    bool closure(ClosureEntry entry, int position, std::vector<Thread>* out) {
        const std::uint32_t stamp = stampOf(position);
        const char here = text_[position];
        pending_.clear();
        pending_.push_back(entry);
        while (!pending_.empty()) {
            ClosureEntry e = pending_.back();
            pending_.pop_back();
            int at = e.node;
            int caps = e.caps;
            bool loop = e.loop;
            for (;;) {
                if (loop) {
                    // Another repetition first, then what follows the repetition.
                    loop = false;
                    const std::size_t mark = static_cast<std::size_t>(at + 3);
                    if (marks_[mark] == stamp) {
                        captures_.release(caps);
                        break;
                    }
                    marks_[mark] = stamp;
                    captures_.retain(caps);
                    addThread(out, at + 3, at, caps);
                    at = offsetOfNode(nextNode(node(at)));
                    continue;
                }
                if (marks_[static_cast<std::size_t>(at)] == stamp) {
                    captures_.release(caps);
                    break;
                }
                marks_[static_cast<std::size_t>(at)] = stamp;
                const char* n = node(at);
                const unsigned char kind = kindOf(n);
                const char* next = nextNode(n);
                if (kind == RX_END) {
                    std::memcpy(best_.data(), captures_.slots(caps), sizeof(int) * best_.size());
                    bestEnd_ = position;
                    captures_.release(caps);
                    for (const ClosureEntry& left : pending_) captures_.release(left.caps);
                    pending_.clear();
                    return true;
                }
                if (next == nullptr) {
                    re_error("corrupted pointers");
                    captures_.release(caps);
                    break;
                }
                bool goOn = true;
                switch (kind) {
                case RX_TEXT_START: goOn = position == 0; break;
                case RX_TEXT_END: goOn = here == '\0'; break;
                case RX_WORD_START:
                    goOn = re_isword(here) && (position == 0 || !re_isword(text_[position - 1]));
                    break;
                case RX_WORD_END: goOn = !re_isword(here); break;
                case RX_ANY:
                case RX_IN_SET:
                case RX_NOT_IN_SET:
                case RX_CLASS:
                case RX_PLUS:
                    addThread(out, at, at, caps);
                    goOn = false;
                    caps = -1;
                    break;
                case RX_LITERAL:
                    addThread(out, at + 3, at, caps);
                    goOn = false;
                    caps = -1;
                    break;
                case RX_STAR: loop = true; continue;
                case RX_ALTERNATIVE:
                    if (kindOf(next) == RX_ALTERNATIVE) {
                        captures_.retain(caps);
                        pending_.push_back(ClosureEntry{offsetOfNode(next), caps, false});
                    }
                    next = operandOf(n);
                    break;
                case RX_EMPTY:
                case RX_LOOP_BACK: break;
                default:
                    if (isOpen(kind) || isClose(kind)) {
                        const int group = groupOf(n);
                        if (group > 0 && group < pairsUsed_) {
                            caps = captures_.write(caps, isOpen(kind) ? 2 * group - 1 : 2 * group,
                                                   position);
                        }
                    } else {
                        re_error("regexp corruption");
                        goOn = false;
                    }
                    break;
                }
                if (!goOn) {
                    if (caps >= 0) captures_.release(caps);
                    break;
                }
                at = offsetOfNode(next);
            }
        }
        return false;
    }

    const char* base_;
    const char* text_;
    int length_;
    StartPositions* starts_;
    CaptureSets captures_;
    int pairsUsed_;
    std::vector<std::uint32_t> marks_;  // per program byte: 1 + the position it was last met at
    std::vector<Thread> current_;
    std::vector<Thread> following_;
    std::vector<ClosureEntry> pending_;
    std::vector<int> best_;  // the capture set of the best match so far
    int bestEnd_ = -1;
};

// The operand of the RX_STAR or RX_PLUS that every match begins with, or null.
const char* leadingRepetition(const RegexpProgram* program) {
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return nullptr;
    const char* first = operandOf(top);
    return kindOf(first) == RX_STAR || kindOf(first) == RX_PLUS ? operandOf(first) : nullptr;
}

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
    const std::size_t programSize = static_cast<std::size_t>(program->programLength);
    if (walk) {
        RegexpMatchState state;
        state.input = text;
        state.textStart = text;
        state.textEnd = text + length;
        state.pairs = pairs;
        state.pairCount = pairs != nullptr ? pairCount : 0;
        state.work = 0;
        state.budget = kWalkBaseWork + static_cast<long long>(length + 1) *
                                           static_cast<long long>(programSize) * kWalkWorkPerByte;
        state.overrun = false;
        const char* leading = leadingRepetition(program);
        for (; from >= 0; from = starts.next(from + 1)) {
            if (re_try_at(&state, program, text + from)) return 1;
            if (state.overrun) break;
            // An attempt from inside the run that a leading repetition just took could only
            // stop where the failed one already tried to go on.
            if (leading != nullptr) {
                from += static_cast<int>(regrepeat(&state, leading, text + from));
            }
        }
        if (from < 0) {
            clearPairs(pairs, pairCount);
            return 0;
        }
    }
    try {
        BreadthFirstSearch simulation(program, programSize, text, textLength,
                                      pairsUsedBy(program, pairCount, pairs), &starts);
        const int matched = simulation.run(from, pairs, pairCount);
        if (matched == 0) clearPairs(pairs, pairCount);
        return matched;
    } catch (const std::bad_alloc&) {
        re_error("out of memory in regexec");
        return kMatchOutOfMemory;
    }
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
    RegexpProgram* program = nullptr;
    try {
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
        program = regexpAllocate(blockSize);
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
        program->programLength = static_cast<std::int32_t>(programSize);
        setSearchAids(program, static_cast<std::size_t>(programSize));
    } catch (const std::bad_alloc&) {
        // The parse's stack of open groups, or the analysis after it, had no memory.
        regexpRelease(program);
        re_error("out of space");
        return kCodeOutOfSpace;
    }
    program->groupCount = compiler.nextGroup;
    *result = program;
    return 0;
}

namespace {

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
