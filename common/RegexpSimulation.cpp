// The breadth-first simulation of the regular-expression engine: the walk followed on all of
// its paths at once, one text position at a time, with the walk's answer and group positions,
// in work at most text length times program size and memory bounded by the program.
#include "RegexpProgramLayout.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quillmark {
namespace regexp {

namespace {

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
                       int limit, int pairsUsed, StartPositions* starts)
        : base_(program->program),
          text_(text),
          limit_(limit),
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
            if (!matched && (starts_ != nullptr ? starts_->isStart(position) : position == from)) {
                const int caps = captures_.make();
                int* slots = captures_.slots(caps);
                for (int i = 0; i < captures_.width(); ++i) slots[i] = -1;
                slots[0] = position;
                if (closure(ClosureEntry{1, caps, false}, position, &current_)) matched = true;
            }
            if (current_.empty()) {
                if (matched || position >= limit_ || starts_ == nullptr) break;
                const int next = starts_->next(position + 1);
                if (next < 0) break;
                position = next;
                continue;
            }
            if (position >= limit_) {
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

    // Follows the walk from `entry` at `position` without consuming, in the walk's order,
    // adding a thread for every node that waits for a character. True when RX_END is reached:
    // that path is the best match so far and the branches after it are dropped.
    bool closure(ClosureEntry entry, int position, std::vector<Thread>* out) {
        pending_.clear();
        pending_.push_back(entry);
        while (!pending_.empty()) {
            const ClosureEntry next = pending_.back();
            pending_.pop_back();
            if (followBranch(next, position, out)) {
                for (const ClosureEntry& left : pending_) captures_.release(left.caps);
                pending_.clear();
                return true;
            }
        }
        return false;
    }

    // One reference to a capture set, released when the holder goes unless handed on.
    class HeldCaptures {
    public:
        HeldCaptures(CaptureSets* sets, int id) : sets_(sets), id_(id) {}
        ~HeldCaptures() {
            if (id_ >= 0) sets_->release(id_);
        }
        HeldCaptures(const HeldCaptures&) = delete;
        HeldCaptures& operator=(const HeldCaptures&) = delete;

        int id() const { return id_; }
        // A further reference for another owner.
        int share() {
            sets_->retain(id_);
            return id_;
        }
        // This reference, for another owner; the holder keeps none.
        int handOver() {
            const int id = id_;
            id_ = -1;
            return id;
        }
        void write(int slot, int value) { id_ = sets_->write(id_, slot, value); }

    private:
        CaptureSets* sets_;
        int id_;
    };

    // Follows one branch of a closure along the links until it waits for a character, fails,
    // meets a node already met at this position or reaches RX_END (true). Branches of a choice
    // after the first one go on pending_.
    bool followBranch(const ClosureEntry& entry, int position, std::vector<Thread>* out) {
        const std::uint32_t stamp = stampOf(position);
        HeldCaptures caps(&captures_, entry.caps);
        int at = entry.node;
        if (entry.loop) {
            if (!repeatAgain(at, stamp, &caps, out)) return false;
            at = offsetOfNode(nextNode(node(at)));
        }
        for (;;) {
            if (marks_[static_cast<std::size_t>(at)] == stamp) return false;
            marks_[static_cast<std::size_t>(at)] = stamp;
            const char* n = node(at);
            const unsigned char kind = kindOf(n);
            const char* next = nextNode(n);
            if (kind == RX_END) {
                std::memcpy(best_.data(), captures_.slots(caps.id()), sizeof(int) * best_.size());
                bestEnd_ = position;
                return true;
            }
            if (next == nullptr) {
                re_error("corrupted pointers");
                return false;
            }
            switch (kind) {
            case RX_TEXT_START:
            case RX_TEXT_END:
            case RX_WORD_START:
            case RX_WORD_END:
                if (!assertionHolds(kind, position)) return false;
                break;
            case RX_ANY:
            case RX_IN_SET:
            case RX_NOT_IN_SET:
            case RX_CLASS:
            case RX_PLUS: out->push_back(Thread{at, at, caps.handOver()}); return false;
            case RX_LITERAL: out->push_back(Thread{at + 3, at, caps.handOver()}); return false;
            case RX_STAR:
                if (!repeatAgain(at, stamp, &caps, out)) return false;
                break;
            case RX_ALTERNATIVE:
                if (kindOf(next) == RX_ALTERNATIVE) {
                    pending_.push_back(ClosureEntry{offsetOfNode(next), caps.share(), false});
                }
                next = operandOf(n);
                break;
            case RX_EMPTY:
            case RX_LOOP_BACK: break;
            default:
                if (!isOpen(kind) && !isClose(kind)) {
                    re_error("regexp corruption");
                    return false;
                }
                recordGroup(n, position, &caps);
                break;
            }
            at = offsetOfNode(next);
        }
    }

    // Another repetition of the RX_STAR or RX_PLUS at `at` first (a thread waiting in its
    // operand), then what follows it; false when that repetition was met at this position.
    bool repeatAgain(int at, std::uint32_t stamp, HeldCaptures* caps, std::vector<Thread>* out) {
        const std::size_t mark = static_cast<std::size_t>(at + 3);
        if (marks_[mark] == stamp) return false;
        marks_[mark] = stamp;
        out->push_back(Thread{at + 3, at, caps->share()});
        return true;
    }

    bool assertionHolds(unsigned char kind, int position) const {
        const char here = text_[position];
        switch (kind) {
        case RX_TEXT_START: return position == 0;
        case RX_TEXT_END: return here == '\0';
        case RX_WORD_START:
            return re_isword(here) && (position == 0 || !re_isword(text_[position - 1]));
        default: return !re_isword(here);
        }
    }

    void recordGroup(const char* n, int position, HeldCaptures* caps) {
        const int group = groupOf(n);
        if (group <= 0 || group >= pairsUsed_) return;
        caps->write(isOpen(kindOf(n)) ? 2 * group - 1 : 2 * group, position);
    }

    const char* base_;
    const char* text_;
    int limit_;               // no byte at or after it is taken
    StartPositions* starts_;  // null: attempts at the first position alone
    CaptureSets captures_;
    int pairsUsed_;
    std::vector<std::uint32_t> marks_;  // per program byte: 1 + the position it was last met at
    std::vector<Thread> current_;
    std::vector<Thread> following_;
    std::vector<ClosureEntry> pending_;
    std::vector<int> best_;  // the capture set of the best match so far
    int bestEnd_ = -1;
};

}  // namespace

int simulateSearch(const RegexpProgram* program, const char* text, int length, int pairsUsed,
                   StartPositions* starts, int from, int limit, int (*pairs)[2], int pairCount) {
    BreadthFirstSearch simulation(program, static_cast<std::size_t>(program->programLength), text,
                                  std::min(limit, length), pairsUsed, starts);
    return simulation.run(from, pairs, pairCount);
}

}  // namespace regexp
}  // namespace quillmark
