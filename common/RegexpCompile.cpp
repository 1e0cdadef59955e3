// The compiler of the regular-expression engine: re_comp and the functions that release and
// describe its programs.
//
// The compiler runs the same parse twice. The sizing pass emits every node into a three-byte
// scratch node and only counts bytes; the writing pass emits into a block of exactly that size.
// Every write of the writing pass is still checked against the end of the block, and the pass must
// end exactly there, so a disagreement between the passes becomes an internal error instead of a
// write past the allocation. A short pattern is first written in one pass into a buffer on the
// stack and copied into its block, which saves the sizing pass when the program fits; the parse
// is the same, so it finds the same first error. The parse keeps open groups in place or on the
// heap, not on the thread's stack.
#include "RegexpProgramLayout.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace quillmark {

using namespace regexp;

namespace {

// Links hold 15 bits; a program of at most this many bytes keeps every link below 32767.
const long kMaxProgramSize = 32766;
const int kMaxGroups = 32766;

const int kCodeInvalidArgument = -1;
const int kCodeTooBig = -2;
const int kCodeOutOfSpace = -3;
const int kCodeParentheses = -4;
const int kCodeRange = -5;
const int kCodeBrackets = -6;
const int kCodeRepeat = -7;
const int kCodeTrailingBackslash = -8;
const int kCodeInternal = -99;

// Parse flags of atoms, pieces, alternatives and groups.
const int RX_HAS_WIDTH = 1;     // always consumes at least one character
const int RX_SIMPLE = 2;        // a single node that matches exactly one character
const int RX_REPEAT_FIRST = 4;  // begins with a '*' or '+' repetition

// Outside sets these characters end a literal run.
const char kMeta[] = "^$.[()|?+*\\";

const char kClassLetters[] = "mabcdglpnsuxw";

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

// The only allocation of the module.
RegexpProgram* regexpAllocate(std::size_t size) {
    return static_cast<RegexpProgram*>(std::malloc(size));
}
void regexpRelease(RegexpProgram* program) { std::free(program); }

// ---- Compiler ----

// A writing pass into a buffer on the stack, for a pattern whose program may be small, ends with
// this code (and no line) when the buffer is full.
const int kCodeTrialFull = -1000;

// A program up to this size is written into a buffer on the stack in one pass, then copied into
// its block: the sizing pass is needed only for larger ones.
const std::size_t kTrialProgramSize = 1024;

struct RegexpCompiler {
    const char* parse;  // parse position in the pattern
    int nextGroup;      // number of the next group, from 1
    char* emit;         // next byte to write; null in the sizing pass
    char* limit;        // end of the program block in the writing pass
    char scratch[3];    // stands in for every node of the sizing pass
    long size;          // bytes counted by the sizing pass
    int code;           // the error code once an error has been reported
    bool trial;         // writing into the buffer on the stack, which may be too small
};

void startPass(RegexpCompiler* c, const char* pattern, char* program, char* limit,
               bool trial = false) {
    c->parse = pattern;
    c->nextGroup = 1;
    c->emit = program;
    c->limit = limit;
    std::memset(c->scratch, 0, sizeof c->scratch);
    c->size = 0;
    c->code = 0;
    c->trial = trial;
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
        if (c->trial) {
            if (c->code == 0) c->code = kCodeTrialFull;
        } else {
            fail(c, kCodeInternal, "internal error: program size");
        }
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
// keeps these in a FrameStack rather than recursing, so deep nesting costs memory in proportion
// to the pattern, never the thread's stack, and the sizing pass always reaches the pattern's
// first syntax error.
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

// The expressions open in a parse: the first few in place, so that a pattern with little
// nesting costs no allocation, deeper ones on the heap. Throws std::bad_alloc.
class FrameStack {
public:
    bool empty() const { return size_ == 0; }
    ExpressionFrame& back() { return size_ <= kInPlace ? inPlace_[size_ - 1] : deeper_.back(); }

    void push_back(const ExpressionFrame& frame) {
        if (size_ < kInPlace) {
            inPlace_[size_] = frame;
        } else {
            deeper_.push_back(frame);
        }
        ++size_;
    }

    void pop_back() {
        if (size_ > kInPlace) deeper_.pop_back();
        --size_;
    }

private:
    static constexpr std::size_t kInPlace = 8;

    ExpressionFrame inPlace_[kInPlace];
    std::vector<ExpressionFrame> deeper_;
    std::size_t size_ = 0;
};

// Starts an alternative: an RX_ALTERNATIVE whose operand is the chain of its pieces.
bool beginBranch(RegexpCompiler* c, ExpressionFrame* f) {
    f->branchFlags = 0;
    f->chain = nullptr;
    f->branch = emitNode(c, RX_ALTERNATIVE);
    return f->branch != nullptr;
}

// Starts the top level (group false) or one group after its '(', with its first alternative.
bool beginExpression(RegexpCompiler* c, FrameStack* frames, bool group) {
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
            // The last alternative's chain ends where its latest piece's does: no walk from its
            // first piece.
            if (node == f->branch && f->chain != nullptr) {
                re_link_tail(c, f->chain, close);
            } else {
                linkOperandTail(c, node, close);
            }
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
    FrameStack frames;
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
        char* first = re_parse(c, &frames.back());
        if (first == nullptr) return false;
        const bool group = frames.back().group;
        const int doneFlags = frames.back().flags;
        frames.pop_back();
        if (!group) {
            *flags = doneFlags;
            return true;
        }
        int pieceFlags = 0;
        char* piece =
            finishPiece(c, first, doneFlags & (RX_HAS_WIDTH | RX_REPEAT_FIRST), &pieceFlags);
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

}  // namespace

void re_error(const char* message) {
    std::fprintf(stderr, "REGEXP ERROR: %s\n", message != nullptr ? message : "");
}

namespace {

// The block for a program of `programSize` bytes; null, with the line, when it cannot be had.
RegexpProgram* allocateProgram(long programSize) {
    const std::size_t blockSize =
        std::max(sizeof(RegexpProgram),
                 offsetof(RegexpProgram, program) + static_cast<std::size_t>(programSize));
    RegexpProgram* program = regexpAllocate(blockSize);
    if (program == nullptr) re_error("out of space");
    return program;
}

// The two passes: sizing, then writing into a block of that size. The program, or null with
// *code set.
RegexpProgram* compileInTwoPasses(RegexpCompiler* compiler, const char* pattern, int* flags,
                                  int* code) {
    startPass(compiler, pattern, nullptr, nullptr);
    if (!compilePass(compiler, flags)) {
        *code = compiler->code;
        return nullptr;
    }
    if (compiler->size > kMaxProgramSize) {
        re_error("regexp too big");
        *code = kCodeTooBig;
        return nullptr;
    }
    const long programSize = compiler->size;
    std::unique_ptr<RegexpProgram, void (*)(RegexpProgram*)> program(allocateProgram(programSize),
                                                                     regexpRelease);
    if (!program) {
        *code = kCodeOutOfSpace;
        return nullptr;
    }
    char* bytes = program->program;
    startPass(compiler, pattern, bytes, bytes + programSize);
    const bool written = compilePass(compiler, flags);
    if (written && compiler->emit != bytes + programSize) {
        fail(compiler, kCodeInternal, "internal error: program size");
    }
    if (!written || compiler->code != 0) {
        *code = compiler->code != 0 ? compiler->code : kCodeInternal;
        return nullptr;
    }
    program->programLength = static_cast<std::int32_t>(programSize);
    return program.release();
}

// One writing pass into a buffer on the stack: the program, copied into its block; null with
// *code set, kCodeTrialFull when the program does not fit the buffer.
RegexpProgram* compileInOnePass(RegexpCompiler* compiler, const char* pattern, int* flags,
                                int* code) {
    char buffer[kTrialProgramSize];
    startPass(compiler, pattern, buffer, buffer + sizeof buffer, true);
    if (!compilePass(compiler, flags) || compiler->code != 0) {
        *code = compiler->code != 0 ? compiler->code : kCodeInternal;
        return nullptr;
    }
    const long programSize = static_cast<long>(compiler->emit - buffer);
    RegexpProgram* program = allocateProgram(programSize);
    if (program == nullptr) {
        *code = kCodeOutOfSpace;
        return nullptr;
    }
    std::memcpy(program->program, buffer, static_cast<std::size_t>(programSize));
    program->programLength = static_cast<std::int32_t>(programSize);
    return program;
}

}  // namespace

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
    int code = 0;
    RegexpProgram* program = nullptr;
    try {
        // The same parse in either way finds the same first error; a pattern of this length
        // or less has a program that fits the buffer more often than not.
        if (std::strlen(pattern) < kTrialProgramSize / 4) {
            program = compileInOnePass(&compiler, pattern, &flags, &code);
        }
        if (program == nullptr && (code == 0 || code == kCodeTrialFull)) {
            program = compileInTwoPasses(&compiler, pattern, &flags, &code);
        }
        if (program == nullptr) return code;
        setMatchHints(program, flags);
    } catch (const std::bad_alloc&) {
        // The parse's stack of open groups had no memory.
        regexpRelease(program);
        re_error("out of space");
        return kCodeOutOfSpace;
    }
    program->groupCount = compiler.nextGroup;
    *result = program;
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
