// Where a search may start: what the program's hints tell at once, what an analysis of the
// program adds for long texts, and the scan for the next position that can begin a match.
#include "RegexpProgramLayout.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillmark {
namespace regexp {

int ByteSet::count() const {
    int bits = 0;
    for (const std::uint64_t word : words) bits += __builtin_popcountll(word);
    return bits;
}

bool ByteSet::operator<(const ByteSet& other) const {
    return std::lexicographical_compare(words, words + 4, other.words, other.words + 4);
}

bool ByteSet::operator==(const ByteSet& other) const {
    return std::equal(words, words + 4, other.words);
}

ByteSet SingleCharacterBytes::of(const char* node) {
    ByteSet set;
    const char* operand = operandOf(node);
    switch (kindOf(node)) {
    case RX_LITERAL: set.add(byteOf(*operand)); break;
    case RX_IN_SET:
        for (; *operand != '\0'; ++operand) set.add(byteOf(*operand));
        break;
    case RX_NOT_IN_SET:
    case RX_ANY:
        for (unsigned b = 1; b < 256; ++b) set.add(static_cast<unsigned char>(b));
        if (kindOf(node) == RX_ANY) break;
        for (; *operand != '\0'; ++operand) {
            set.words[byteOf(*operand) >> 6] &= ~(std::uint64_t(1) << (byteOf(*operand) & 63));
        }
        break;
    case RX_CLASS: {
        const int index = byteOf(*operand) & kClassIndexMask;
        if (index >= kClassCount) break;
        const int slot = (byteOf(*operand) & kClassNegated) != 0 ? kClassCount + index : index;
        if (!known_[slot]) {
            // Bytes from 0x80 on are in no class, so in every negated one.
            for (unsigned b = 1; b < 0x80; ++b) {
                if (inClass(*operand, static_cast<char>(b))) {
                    classes_[slot].add(static_cast<unsigned char>(b));
                }
            }
            if (slot >= kClassCount) {
                classes_[slot].words[2] = classes_[slot].words[3] = ~std::uint64_t(0);
            }
            known_[slot] = true;
        }
        set = classes_[slot];
        break;
    }
    default: break;
    }
    return set;
}

namespace {

void clearAids(SearchAids* aids) {
    aids->anchored = false;
    aids->startAnywhere = false;
    aids->leadingAnyRepeat = false;
    aids->startByteCount = 0;
    std::memset(aids->fewStartBytes, 0, sizeof aids->fewStartBytes);
    aids->startBytes = ByteSet();
    aids->requiredLiteral = nullptr;
    aids->requiredLength = 0;
    aids->literalCount = 0;
}

// Counts the start bytes and lists the first few.
void countStartBytes(SearchAids* aids) {
    aids->startByteCount = aids->startBytes.count();
    int listed = 0;
    for (int word = 0; word < 4 && listed < SearchAids::kFewBytes; ++word) {
        for (std::uint64_t bits = aids->startBytes.words[word];
             bits != 0 && listed < SearchAids::kFewBytes; bits &= bits - 1) {
            aids->fewStartBytes[listed++] = static_cast<char>(64 * word + __builtin_ctzll(bits));
        }
    }
}

// The bytes that can begin a match, from every node the walk can reach from the start without
// consuming a character. Assertions are passed as if they held, so the set may be wider than
// needed, never narrower; reaching RX_END means an empty match is possible: any position.
void findStartBytes(const RegexpProgram* program, SearchAids* aids) {
    const std::size_t programSize = static_cast<std::size_t>(program->programLength);
    const char* base = program->program;
    std::vector<bool> seen(programSize, false);
    std::vector<const char*> pending(1, base + 1);
    SingleCharacterBytes bytes;
    auto addSingle = [aids, &bytes](const char* node) { aids->startBytes.addAll(bytes.of(node)); };
    while (!pending.empty() && !aids->startAnywhere) {
        const char* node = pending.back();
        pending.pop_back();
        const std::size_t offset = static_cast<std::size_t>(node - base);
        if (offset >= programSize || seen[offset]) continue;
        seen[offset] = true;
        const unsigned char kind = kindOf(node);
        const char* next = nextNode(node);
        switch (kind) {
        case RX_END: aids->startAnywhere = true; break;
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
                aids->startAnywhere = true;
            } else {
                pending.push_back(next);
            }
            break;
        }
    }
    countStartBytes(aids);
}

// Where the choice that begins with the RX_ALTERNATIVE `node` ends: its last alternative links
// to the node where all of them meet.
const char* joinOf(const char* node) {
    const char* next = nextNode(node);
    while (next != nullptr && kindOf(next) == RX_ALTERNATIVE) next = nextNode(next);
    return next;
}

// The longest literal on the path every match takes: the top-level chain, entered into groups
// and choices that have a single alternative. A choice of several is passed as a whole.
void findRequiredLiteral(const RegexpProgram* program, SearchAids* aids) {
    const std::size_t programSize = static_cast<std::size_t>(program->programLength);
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
                aids->requiredLiteral = operandOf(node);
                longest = length;
            }
        }
        const char* next = nextNode(node);
        if (kind == RX_ALTERNATIVE && (next == nullptr || kindOf(next) != RX_ALTERNATIVE)) {
            node = operandOf(node);
            continue;
        }
        node = kind == RX_ALTERNATIVE ? joinOf(node) : next;
    }
    aids->requiredLength = static_cast<int>(longest);
}

// Literals, one of which every match of some stretch of the program contains.
struct LiteralChoice {
    int count = 0;  // 0: none known
    const char* texts[SearchAids::kMostLiterals] = {};
    int lengths[SearchAids::kMostLiterals] = {};

    int shortest() const {
        int shortest = lengths[0];
        for (int i = 1; i < count; ++i) shortest = lengths[i] < shortest ? lengths[i] : shortest;
        return shortest;
    }

    // Whether this one rules out more texts than `other`, as far as can be told: a longer
    // shortest literal, then fewer of them.
    bool betterThan(const LiteralChoice& other) const {
        if (count == 0) return false;
        if (other.count == 0) return true;
        if (shortest() != other.shortest()) return shortest() > other.shortest();
        return count < other.count;
    }
};

// Choices nest no deeper than this in the analysis; deeper ones count as having no literals.
const int kDeepestChoice = 32;

LiteralChoice chainLiterals(const char* node, const char* end, int depth);

// The literals of a choice of several alternatives: those of each alternative, or none when
// one alternative has none.
LiteralChoice choiceLiterals(const char* choice, const char* join, int depth) {
    LiteralChoice all;
    if (depth >= kDeepestChoice) return all;
    for (const char* alternative = choice;
         alternative != nullptr && alternative != join && kindOf(alternative) == RX_ALTERNATIVE;
         alternative = nextNode(alternative)) {
        const LiteralChoice one = chainLiterals(operandOf(alternative), join, depth + 1);
        if (one.count == 0 || all.count + one.count > SearchAids::kMostLiterals) {
            return LiteralChoice();
        }
        for (int i = 0; i < one.count; ++i) {
            all.texts[all.count] = one.texts[i];
            all.lengths[all.count] = one.lengths[i];
            ++all.count;
        }
    }
    return all;
}

// The best literals of the chain of nodes from `node` up to `end`: each node on it is passed by
// every match of the chain, a choice of several as a whole.
LiteralChoice chainLiterals(const char* node, const char* end, int depth) {
    LiteralChoice best;
    while (node != nullptr && node != end) {
        const unsigned char kind = kindOf(node);
        if (kind == RX_END || kind == RX_LOOP_BACK) break;
        const char* next = nextNode(node);
        LiteralChoice here;
        if (kind == RX_LITERAL || (kind == RX_PLUS && kindOf(operandOf(node)) == RX_LITERAL)) {
            const char* literal = kind == RX_LITERAL ? operandOf(node) : operandOf(operandOf(node));
            here.count = 1;
            here.texts[0] = literal;
            here.lengths[0] = kind == RX_LITERAL ? static_cast<int>(std::strlen(literal)) : 1;
        } else if (kind == RX_ALTERNATIVE) {
            if (next == nullptr || kindOf(next) != RX_ALTERNATIVE) {
                node = operandOf(node);
                continue;
            }
            next = joinOf(node);
            here = choiceLiterals(node, next, depth);
        }
        if (here.betterThan(best)) best = here;
        node = next;
    }
    return best;
}

// Looking for a literal of one byte costs memchr's time, of two bytes some eight times that,
// of three or more about three times; a choice that would cost more than these units to rule
// a text out costs about what the automaton does and is not worth it.
const int kMostLiteralUnits = 12;

int literalUnits(int length) { return length == 1 ? 1 : length == 2 ? 8 : 3; }

// Literals one of which every match contains, when there are several to choose from and they
// are quick to look for; a single one is the required literal's business.
void findLiteralChoice(const RegexpProgram* program, SearchAids* aids) {
    const LiteralChoice found = chainLiterals(program->program + 1, nullptr, 0);
    if (found.count < 2) return;
    int units = 0;
    for (int i = 0; i < found.count; ++i) units += literalUnits(found.lengths[i]);
    if (units > kMostLiteralUnits) return;
    aids->literalCount = found.count;
    for (int i = 0; i < found.count; ++i) {
        aids->literals[i] = found.texts[i];
        aids->literalLengths[i] = found.lengths[i];
    }
}

// Adds `b` to the few start bytes; false when there would be too many.
bool addFewByte(SearchAids* aids, char b) {
    if (aids->startBytes.has(byteOf(b))) return true;
    if (aids->startByteCount == SearchAids::kFewBytes) return false;
    aids->startBytes.add(byteOf(b));
    aids->fewStartBytes[aids->startByteCount++] = b;
    return true;
}

// The bytes of a single-character node when they are few; false otherwise.
bool addFewBytesOf(SearchAids* aids, const char* node) {
    const char* operand = operandOf(node);
    switch (kindOf(node)) {
    case RX_LITERAL: return addFewByte(aids, *operand);
    case RX_IN_SET:
        for (; *operand != '\0'; ++operand) {
            if (!addFewByte(aids, *operand)) return false;
        }
        return true;
    default: return false;
    }
}

// The few bytes every match begins with, from a short look at the nodes the walk reaches first:
// literals and small sets, through choices, groups and assertions (passed as if they held).
// False when a match may be empty, may begin with a byte of a larger class, or the look would
// take long; the aids are then to be cleared.
bool findFewStartBytes(const RegexpProgram* program, SearchAids* aids) {
    const int kMostPending = 16;
    const int kMostVisits = 32;
    const char* pending[kMostPending];
    int count = 0;
    pending[count++] = program->program + 1;
    for (int visits = 0; count > 0; ++visits) {
        if (visits == kMostVisits) return false;
        const char* node = pending[--count];
        const char* next = nextNode(node);
        const unsigned char kind = kindOf(node);
        bool goOn = false;
        switch (kind) {
        case RX_LITERAL:
        case RX_IN_SET:
            if (!addFewBytesOf(aids, node)) return false;
            break;
        case RX_PLUS:
        case RX_STAR:
            if (!addFewBytesOf(aids, operandOf(node))) return false;
            goOn = kind == RX_STAR;
            break;
        case RX_ALTERNATIVE:
            if (next != nullptr && kindOf(next) == RX_ALTERNATIVE) pending[count++] = next;
            next = operandOf(node);
            goOn = true;
            break;
        case RX_END:
        case RX_ANY:
        case RX_NOT_IN_SET:
        case RX_CLASS: return false;
        default: goOn = true; break;
        }
        if (!goOn) continue;
        if (next == nullptr || count == kMostPending) return false;
        pending[count++] = next;
    }
    return aids->startByteCount > 0;
}

}  // namespace

void aidsFromHints(const RegexpProgram* program, SearchAids* aids) {
    clearAids(aids);
    aids->anchored = program->anchored != 0;
    if (aids->anchored) return;
    if (program->firstChar != '\0') {
        addFewByte(aids, program->firstChar);
    } else if (!findFewStartBytes(program, aids)) {
        clearAids(aids);
        aids->startAnywhere = true;
    }
}

void analyseProgram(const RegexpProgram* program, SearchAids* aids) {
    clearAids(aids);
    aids->anchored = program->anchored != 0;
    findStartBytes(program, aids);
    findRequiredLiteral(program, aids);
    findLiteralChoice(program, aids);
    const char* top = program->program + 1;
    const char* afterTop = nextNode(top);
    if (afterTop == nullptr || kindOf(afterTop) != RX_END) return;
    const char* first = operandOf(top);
    if ((kindOf(first) == RX_STAR || kindOf(first) == RX_PLUS) &&
        kindOf(operandOf(first)) == RX_ANY) {
        aids->leadingAnyRepeat = true;
    }
}

int StartPositions::scanBytes(int from) {
    if (aids_->startByteCount <= kFewBytes) return scanFew(from);
    for (int at = from; at < length_; ++at) {
        if (aids_->startBytes.has(byteOf(text_[at]))) return at;
    }
    return -1;
}

// A few bytes: the next occurrence of each one, found by memchr and kept until passed.
int StartPositions::scanFew(int from) {
    int best = -1;
    for (int i = 0; i < fewCount_; ++i) {
        if (fewNext_[i] < from && fewNext_[i] != length_) {
            const void* found = std::memchr(text_ + from, aids_->fewStartBytes[i],
                                            static_cast<std::size_t>(length_ - from));
            fewNext_[i] = found != nullptr
                              ? static_cast<int>(static_cast<const char*>(found) - text_)
                              : length_;
        }
        if (fewNext_[i] != length_ && (best < 0 || fewNext_[i] < best)) best = fewNext_[i];
    }
    return best;
}

}  // namespace regexp
}  // namespace quillmark
