// The compiled program as every stage of the regular-expression engine reads it: the node
// layout, the character classes, where a search may start, and the entry points by which the
// search driver (RegexpSearch.cpp) runs the stages. Internal to the engine; the public
// interface is quillmark/Regexp.h.
//
// Every function here only reads the program, so any number of threads may call them on one
// program at the same time.
#ifndef QUILLMARK_COMMON_REGEXP_REGEXPPROGRAMLAYOUT_H
#define QUILLMARK_COMMON_REGEXP_REGEXPPROGRAMLAYOUT_H

#include "quillmark/Regexp.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace quillmark {
namespace regexp {

const unsigned char kMagic = 0x9C;

// Groups 1 to 255 record their positions; pair 0 is the whole match.
const int kRecordedGroups = 256;

// regexec could not have the memory the search needs; that is no answer about the text.
const int kMatchOutOfMemory = -3;

inline unsigned char byteOf(char c) { return static_cast<unsigned char>(c); }

// ---- Character classes ----

// The classes follow the character taken as a signed char: bytes 0x80 to 0xFF are in none.
// <cctype> is defined only for unsigned char values, which is what it receives.
inline bool isAscii(char c) { return byteOf(c) < 0x80; }

inline bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

inline int re_isalnum(char c) { return isAscii(c) && std::isalnum(byteOf(c)); }
inline int re_isalpha(char c) { return isAscii(c) && std::isalpha(byteOf(c)); }
inline int re_isblank(char c) { return isBlankChar(c); }
inline int re_iscntrl(char c) { return isAscii(c) && std::iscntrl(byteOf(c)); }
inline int re_isdigit(char c) { return isAscii(c) && std::isdigit(byteOf(c)); }
inline int re_isgraph(char c) { return isAscii(c) && std::isgraph(byteOf(c)); }
inline int re_islower(char c) { return isAscii(c) && std::islower(byteOf(c)); }
inline int re_isprint(char c) { return isAscii(c) && std::isprint(byteOf(c)); }
inline int re_ispunct(char c) { return isAscii(c) && std::ispunct(byteOf(c)); }
inline int re_isspace(char c) { return isAscii(c) && std::isspace(byteOf(c)); }
inline int re_isupper(char c) { return isAscii(c) && std::isupper(byteOf(c)); }
inline int re_isxdigit(char c) { return isAscii(c) && std::isxdigit(byteOf(c)); }
inline int re_isword(char c) { return re_isalnum(c) || c == '_'; }

typedef int (*ClassPredicate)(char);

// Indexed like the class letters "mabcdglpnsuxw".
inline const ClassPredicate kClassTable[] = {
    re_isalnum, re_isalpha, re_isblank, re_iscntrl, re_isdigit,  re_isgraph, re_islower,
    re_isprint, re_ispunct, re_isspace, re_isupper, re_isxdigit, re_isword,
};
const int kClassCount = static_cast<int>(sizeof kClassTable / sizeof kClassTable[0]);
const unsigned char kClassNegated = 0x80;
const unsigned char kClassIndexMask = 0x7F;

inline bool inClass(char operand, char c) {
    const int index = byteOf(operand) & kClassIndexMask;
    if (index >= kClassCount) return false;
    const bool member = kClassTable[index](c) != 0;
    return (byteOf(operand) & kClassNegated) != 0 ? !member : member;
}

// ---- Nodes ----

inline unsigned char kindOf(const char* node) { return byteOf(node[0]); }
inline int linkOf(const char* node) { return ((byteOf(node[1]) & 0x7F) << 8) | byteOf(node[2]); }
inline const char* operandOf(const char* node) { return node + 3; }

// The node that `node` links to, or null for a link of 0.
inline const char* nextNode(const char* node) {
    const int link = linkOf(node);
    if (link == 0) return nullptr;
    return kindOf(node) == RX_LOOP_BACK ? node - link : node + link;
}

inline char* nextNode(char* node) {
    return const_cast<char*>(nextNode(static_cast<const char*>(node)));
}

inline bool isOpen(unsigned char kind) { return kind >= RX_OPEN_NUMBERED && kind <= RX_OPEN_LAST; }
inline bool isClose(unsigned char kind) {
    return kind >= RX_CLOSE_NUMBERED && kind <= RX_CLOSE_LAST;
}

// Group numbers of 256 and more do not fit the operand byte; 0 there means "not recorded".
inline int groupOf(const char* node) {
    const unsigned char kind = kindOf(node);
    if (kind == RX_OPEN_NUMBERED || kind == RX_CLOSE_NUMBERED) return byteOf(node[3]);
    return isOpen(kind) ? kind - RX_OPEN_NUMBERED : kind - RX_CLOSE_NUMBERED;
}

// Whether the single-character node of `kind` with `operand` matches `current`; the
// terminating NUL matches none.
inline bool matchesSingle(unsigned char kind, const char* operand, char current) {
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

// ---- Sets of bytes (RegexpStartPositions.cpp) ----

// 256 bits, one per byte value.
struct ByteSet {
    std::uint64_t words[4] = {0, 0, 0, 0};

    bool has(unsigned char b) const { return ((words[b >> 6] >> (b & 63)) & 1) != 0; }
    void add(unsigned char b) { words[b >> 6] |= std::uint64_t(1) << (b & 63); }
    void addAll(const ByteSet& other) {
        for (int i = 0; i < 4; ++i) words[i] |= other.words[i];
    }
    int count() const;
    bool operator<(const ByteSet& other) const;
    bool operator==(const ByteSet& other) const;
};

// The bytes each single-character node takes, for one analysis of one program: a class's bytes
// are worked out on its first use only, since that asks the class predicate of every byte.
class SingleCharacterBytes {
public:
    // The bytes the single-character node (RX_ANY, RX_IN_SET, RX_NOT_IN_SET, RX_LITERAL,
    // RX_CLASS) takes; never the terminating NUL.
    ByteSet of(const char* node);

private:
    ByteSet classes_[2 * kClassCount];  // plain, then negated
    bool known_[2 * kClassCount] = {};
};

// ---- Where a search may start (RegexpStartPositions.cpp) ----

// What a search knows, beyond whether there is a match, about where matches can lie: from the
// program's hints alone, or from an analysis of the program that pays on long texts. Pointers
// point into the program.
struct SearchAids {
    static constexpr int kFewBytes = 4;
    static constexpr int kMostLiterals = 8;

    bool anchored;          // every match begins at the start of the text
    bool startAnywhere;     // a match may begin at any position (it may be empty)
    bool leadingAnyRepeat;  // the pattern begins with ".*" or ".+": a match exists only if one
                            // begins at the first position that can start one
    int startByteCount;     // how many bytes a match can begin with
    char fewStartBytes[kFewBytes];  // those bytes, when there are at most kFewBytes
    ByteSet startBytes;             // without startAnywhere, the bytes a match begins with
    const char* requiredLiteral;    // when not null, the longest literal every match contains
    int requiredLength;             // its length
    int literalCount;               // 0, or how many literals every match contains one of
    const char* literals[kMostLiterals];
    int literalLengths[kMostLiterals];
};

// The aids that the hints and a short look at the program give at once: attempts at the start
// of the text alone when anchored, else at the positions holding firstChar or one of a few
// bytes every match begins with, else everywhere.
void aidsFromHints(const RegexpProgram* program, SearchAids* aids);

// The aids from an analysis of the program: the bytes a match can begin with, the longest
// literal every match contains, literals one of which every match contains, a leading ".*".
// Throws std::bad_alloc.
void analyseProgram(const RegexpProgram* program, SearchAids* aids);

// The positions a match can begin at, in order: the start of the text for an anchored program,
// else the positions whose byte can begin a match (every position, the terminating NUL's
// included, when a match may be empty). After a leading ".*" or ".+" only the first counts: a
// match from any later position would also be one from there. Reads the aids and the text,
// which must outlive it.
class StartPositions {
public:
    StartPositions(const SearchAids* aids, const char* text, int length)
        : aids_(aids), text_(text), length_(length) {
        if (aids->startByteCount <= kFewBytes) {
            fewCount_ = aids->startByteCount;
            for (int i = 0; i < fewCount_; ++i) fewNext_[i] = -1;
        }
        first_ = aids->anchored ? 0 : scan(0);
        only_ = aids->anchored || aids->leadingAnyRepeat;
    }

    int first() const { return first_; }

    // Whether attempts start at the first position only.
    bool single() const { return only_; }

    // Whether the next start position is found by memchr, faster than trying every byte.
    bool quickToScan() const {
        return !only_ && !aids_->startAnywhere && aids_->startByteCount <= kFewBytes;
    }

    // The first start position at or after `from`, or -1.
    int next(int from) {
        if (only_ || first_ < 0) return from <= first_ ? first_ : -1;
        return scan(from);
    }

    bool isStart(int position) const {
        if (only_) return position == first_;
        return aids_->startAnywhere ||
               (position < length_ && aids_->startBytes.has(byteOf(text_[position])));
    }

private:
    static constexpr int kFewBytes = SearchAids::kFewBytes;

    int scan(int from) {
        if (from > length_) return -1;
        return aids_->startAnywhere ? from : scanBytes(from);
    }
    int scanBytes(int from);
    int scanFew(int from);

    const SearchAids* aids_;
    const char* text_;
    int length_;
    int first_ = -1;
    bool only_ = false;
    int fewNext_[kFewBytes] = {};  // the next position of each of the few bytes, length_: none
    int fewCount_ = 0;
};

// ---- The stages (RegexpWalk.cpp, RegexpSimulation.cpp, RegexpAutomaton.cpp) ----

// The work the walk may do, in its units (about a quarter of a nanosecond each): `base` plus
// `perByte` for each text byte and program byte.
struct WalkBudget {
    long long base;
    long long perByte;
};

// The backtracking walk from the start positions of `starts` at or after *from: 1 for a match
// (pairs filled as regexec fills them), 0 for none, -1 when the walk overran its budget or its
// stack of choices, with *from set to the start position it was at: no match begins before it.
// After 0 or -1 the pairs are unspecified.
int walkSearch(const RegexpProgram* program, const char* text, std::size_t length, int pairCount,
               int (*pairs)[2], StartPositions* starts, int* from, WalkBudget budget);

// One attempt of the walk at `start` that takes no byte at or after `limit` (its assertions
// still see the whole text): what walkSearch answers, for the match that a search already knows
// to span from `start` to `limit`.
int walkSpan(const RegexpProgram* program, const char* text, std::size_t length, int start,
             int limit, int pairCount, int (*pairs)[2], WalkBudget budget);

// The breadth-first simulation of the walk, with the walk's answer and pairs: 1 or 0 as regexec
// answers, pairs filled for a match and left to the caller otherwise. Attempts start at the
// positions of `starts` from `from` on, or with `starts` null at `from` alone; no byte at or
// after `limit` is taken. `pairsUsed` is how many pairs it records (pair 0 and the recorded
// groups). Work at most text length times program size, memory bounded by the program. Throws
// std::bad_alloc.
int simulateSearch(const RegexpProgram* program, const char* text, int length, int pairsUsed,
                   StartPositions* starts, int from, int limit, int (*pairs)[2], int pairCount);

enum AutomatonCode { kAutomatonNoMatch, kAutomatonMatch, kAutomatonGaveUp };

struct AutomatonAnswer {
    int code;    // an AutomatonCode
    int start;   // backward, a match: where it begins
    int end;     // forward, a match: where it ends
    int lowest;  // no match begins before this position
    int clears;  // how often the pass cleared its cache
};

// The lazily built deterministic automaton of a program over one text, with the cache of each
// pass bounded by `cacheBytes`. What it needs from the program is built on the first pass. One
// search, one thread; the program and the text must outlive it. The passes throw
// std::bad_alloc.
class RegexpAutomaton {
public:
    RegexpAutomaton(const RegexpProgram* program, const char* text, int length,
                    std::size_t cacheBytes);
    ~RegexpAutomaton();
    RegexpAutomaton(const RegexpAutomaton&) = delete;
    RegexpAutomaton& operator=(const RegexpAutomaton&) = delete;

    // The leftmost match from the start positions of `starts` at or after `from`, where no
    // match begins before `from`: with `wantEnd`, where the walk's match ends; without, where
    // some match ends. kAutomatonGaveUp when the cache was cleared too often, with `lowest`.
    AutomatonAnswer forward(StartPositions* starts, int from, bool wantEnd);

    // Whether an attempt at `start` alone has a match that ends at `end` or before: when the
    // walk's match ends at `end` and begins at `start` or later, it begins there if and only if
    // that is so. kAutomatonMatch or kAutomatonNoMatch (kAutomatonGaveUp as forward).
    AutomatonAnswer matchBeginsAt(int start, int end);

    // Where the walk's match that ends at `end` begins, knowing that it begins at `lowest` or
    // later.
    AutomatonAnswer backward(int end, int lowest);

private:
    struct Parts;

    void prepare();

    const RegexpProgram* program_;
    const char* text_;
    int length_;
    std::size_t cacheBytes_;
    std::unique_ptr<Parts> parts_;
};

}  // namespace regexp
}  // namespace quillmark

#endif  // QUILLMARK_COMMON_REGEXP_REGEXPPROGRAMLAYOUT_H
