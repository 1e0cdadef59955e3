// Where a search may start: the search aids that re_comp stores beside the hints, and the
// scan for the next position that can begin a match.
#include "regexp/RegexpProgramLayout.h"

#include <cstring>
#include <vector>

namespace quillmark {
namespace regexp {

namespace {

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

}  // namespace

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

int StartPositions::scan(int from) {
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
int StartPositions::scanFew(int from) {
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

}  // namespace regexp
}  // namespace quillmark
