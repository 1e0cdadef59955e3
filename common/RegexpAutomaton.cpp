// The lazily built deterministic automaton of the regular-expression engine: where the leftmost
// match of a search begins and ends, in a few nanoseconds per text byte.
//
// The program is read once into a graph of states: a state that consumes one byte of a set, a
// split that goes on to its successors in the walk's order, an assertion, the accept. A state
// of the automaton is a list of graph states, waiting to be followed through their splits and
// assertions at the next position, in the order in which the walk would reach them, with the
// little context the assertions need about the byte behind (whether there is one, whether it
// is a word character). Its transitions, one per class of bytes that the program does not tell
// apart, are computed on first use and cached.
//
// The forward pass follows the breadth-first simulation without its group positions: a new
// attempt joins behind the others at every position until a match is seen, and a path that
// reaches the accept drops every path behind it. So the last position where a path reached the
// accept, once no path is left, is where the walk's match ends; and the last position before
// the first match where no path was left bounds where it begins. Most often the match begins
// right there, which a forward probe of that one attempt shows. Otherwise the backward pass
// runs the reversed graph from the match's end towards that bound, on every path at once: the
// leftmost position where a reversed path reaches the start of the program is where the match
// begins, since no match begins before the walk's.
//
// A state that nearly every byte leads back to (the loop of a ".*" waiting for a rare letter) is
// marked with the few bytes that lead out, and the forward pass jumps to the next of them by
// memchr, or eight bytes at a time, for as long as such jumps pass enough bytes to pay.
//
// The cache is bounded. When a new state does not fit, the cache is cleared and the pass goes on
// from the state it is in; when it is cleared again before it has advanced ten bytes for each
// state it held, the automaton gives the search up to the simulation, telling it where to start.
#include "RegexpProgramLayout.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace quillmark {
namespace regexp {

namespace {

// ---- The program as a graph ----

enum StateKind : unsigned char { kUnused, kConsume, kSplit, kAssert, kAccept };

struct GraphState {
    StateKind kind = kUnused;
    unsigned char assertion = 0;  // kAssert: the node kind it tests
    int predicate = -1;           // kConsume: the bytes it takes, an index into predicates
    int target = -1;              // kConsume: the state after the byte
    int firstEdge = 0;            // kSplit, kAssert: successors in order, in edges
    int edgeCount = 0;
};

struct Graph {
    std::vector<GraphState> states;
    std::vector<int> edges;
    int start = -1;   // where an attempt begins
    int accept = -1;  // the accept, in the forward graph
    bool assertsTextStart = false;
    bool assertsTextEnd = false;
    bool assertsWordStart = false;
    bool assertsWordEnd = false;
};

// Reads the program into a graph whose state ids are program offsets: a node's own offset for
// the node (for a literal, its first character), the offset of each further character of a
// literal, and for an RX_STAR or RX_PLUS at offset r the repetition (r + 3, where its operand
// lies) and the choice after each repetition (r + 1). Only what the start reaches is read.
class GraphBuilder {
public:
    GraphBuilder(const RegexpProgram* program, Graph* graph, std::vector<ByteSet>* predicates)
        : base_(program->program),
          size_(program->programLength),
          graph_(graph),
          predicates_(predicates) {}

    void build() {
        // Room for all at once: each state has at most two successors, and the program holds
        // at most one node for every three bytes.
        graph_->states.assign(static_cast<std::size_t>(size_), GraphState());
        graph_->edges.clear();
        graph_->edges.reserve(2 * static_cast<std::size_t>(size_));
        pending_.reserve(static_cast<std::size_t>(size_) / 3 + 2);
        predicates_->reserve(static_cast<std::size_t>(size_) / 3 + 2);
        std::fill(std::begin(singletons_), std::end(singletons_), -1);
        graph_->start = 1;
        pending_.push_back(1);
        while (!pending_.empty()) {
            const int at = pending_.back();
            pending_.pop_back();
            if (state(at).kind == kUnused) describe(at);
        }
    }

private:
    GraphState& state(int id) { return graph_->states[static_cast<std::size_t>(id)]; }

    // The node a link of `at` leads to, or -1 (none, or outside the program).
    int nextOf(int at) const {
        const char* next = nextNode(base_ + at);
        if (next == nullptr) return -1;
        const std::ptrdiff_t offset = next - base_;
        return offset > 0 && offset < size_ ? static_cast<int>(offset) : -1;
    }

    // A node to describe in its turn; -1 stays a dead end.
    int node(int id) {
        if (id >= 0) pending_.push_back(id);
        return id;
    }

    void split(int id, StateKind kind, int first, int second) {
        GraphState& s = state(id);
        s.kind = kind;
        s.firstEdge = static_cast<int>(graph_->edges.size());
        for (const int successor : {first, second}) {
            if (successor < 0) continue;
            graph_->edges.push_back(successor);
            ++s.edgeCount;
        }
    }

    void consume(int id, int predicate, int target) {
        GraphState& s = state(id);
        s.kind = kConsume;
        s.predicate = predicate;
        s.target = target;
    }

    int predicateOf(const ByteSet& set) {
        const auto found = known_.find(set);
        if (found != known_.end()) return found->second;
        const int index = static_cast<int>(predicates_->size());
        predicates_->push_back(set);
        known_.emplace(set, index);
        return index;
    }

    // A literal's characters, one byte each: found by the byte rather than the whole set.
    int bytePredicate(unsigned char b) {
        int& index = singletons_[b];
        if (index < 0) {
            ByteSet set;
            set.add(b);
            index = predicateOf(set);
        }
        return index;
    }

    // The bytes the single-character node at `at` takes.
    int singlePredicate(int at) { return predicateOf(bytes_.of(base_ + at)); }

    // A literal: one consuming state per character, each leading to the next, the last one to
    // what follows the literal.
    void literal(int at, int next) {
        const char* chars = operandOf(base_ + at);
        const int room = size_ - at - 3;
        int length = 0;
        while (length < room && chars[length] != '\0') ++length;
        for (int k = 0; k < length; ++k) {
            const int id = k == 0 ? at : at + 3 + k;
            const int target = k + 1 < length ? at + 4 + k : next;
            consume(id, bytePredicate(byteOf(chars[k])), target);
        }
        if (length == 0) split(at, kSplit, -1, -1);
    }

    // An RX_STAR or RX_PLUS at `at`: its repetition takes one byte of the operand and leads to
    // the choice of another repetition first and what follows second.
    void repetition(int at, int next) {
        const int predicate = singlePredicate(at + 3);
        const int repeat = at + 3;
        const int again = at + 1;
        consume(repeat, predicate, again);
        split(again, kSplit, repeat, next);
        if (kindOf(base_ + at) == RX_STAR) {
            split(at, kSplit, repeat, next);
        } else {
            consume(at, predicate, again);
        }
    }

    void describe(int at) {
        const unsigned char kind = kindOf(base_ + at);
        if (kind == RX_END) {
            state(at).kind = kAccept;
            graph_->accept = at;
            return;
        }
        const int next = node(nextOf(at));
        switch (kind) {
        case RX_TEXT_START:
        case RX_TEXT_END:
        case RX_WORD_START:
        case RX_WORD_END:
            split(at, kAssert, next, -1);
            state(at).assertion = kind;
            graph_->assertsTextStart |= kind == RX_TEXT_START;
            graph_->assertsTextEnd |= kind == RX_TEXT_END;
            graph_->assertsWordStart |= kind == RX_WORD_START;
            graph_->assertsWordEnd |= kind == RX_WORD_END;
            break;
        case RX_ANY:
        case RX_IN_SET:
        case RX_NOT_IN_SET:
        case RX_CLASS: consume(at, singlePredicate(at), next); break;
        case RX_LITERAL: literal(at, next); break;
        case RX_STAR:
        case RX_PLUS: repetition(at, next); break;
        case RX_ALTERNATIVE: {
            // A choice with one alternative left goes into it alone, as the walk does.
            const bool more = next >= 0 && kindOf(base_ + next) == RX_ALTERNATIVE;
            split(at, kSplit, node(at + 3 < size_ ? at + 3 : -1), more ? next : -1);
            break;
        }
        case RX_EMPTY:
        case RX_LOOP_BACK: split(at, kSplit, next, -1); break;
        default:
            // Group boundaries; anything else cannot be in a compiled program and ends the path.
            split(at, kSplit, isOpen(kind) || isClose(kind) ? next : -1, -1);
            break;
        }
    }

    const char* base_;
    int size_;
    Graph* graph_;
    std::vector<ByteSet>* predicates_;
    SingleCharacterBytes bytes_;
    std::map<ByteSet, int> known_;
    int singletons_[256];  // the predicate of each byte alone, or -1
    std::vector<int> pending_;
};

// The forward graph read backwards: from a state, the states that lead to it. Consuming state
// w of the forward graph becomes two: w itself, which goes on to what leads to w, and w +
// size, which takes w's bytes and leads to w; the forward accept is where a reversed path
// begins, and the forward start is its accept.
void reverseGraph(const Graph& forward, Graph* reversed) {
    const int size = static_cast<int>(forward.states.size());
    reversed->states.assign(static_cast<std::size_t>(2 * size), GraphState());
    std::vector<int> counts(static_cast<std::size_t>(2 * size) + 1, 0);
    std::vector<std::pair<int, int>> arcs;  // (from, to) in the reversed graph
    arcs.reserve(forward.edges.size() + static_cast<std::size_t>(size));
    for (int id = 0; id < size; ++id) {
        const GraphState& s = forward.states[static_cast<std::size_t>(id)];
        GraphState& r = reversed->states[static_cast<std::size_t>(id)];
        switch (s.kind) {
        case kUnused: continue;
        case kConsume: {
            GraphState& taker = reversed->states[static_cast<std::size_t>(id + size)];
            taker.kind = kConsume;
            taker.predicate = s.predicate;
            taker.target = id;
            r.kind = kSplit;
            if (s.target >= 0) arcs.emplace_back(s.target, id + size);
            break;
        }
        case kSplit:
        case kAssert:
            r.kind = s.kind;
            r.assertion = s.assertion;
            for (int e = 0; e < s.edgeCount; ++e) {
                arcs.emplace_back(forward.edges[static_cast<std::size_t>(s.firstEdge + e)], id);
            }
            break;
        case kAccept: r.kind = kSplit; break;
        }
    }
    for (const auto& arc : arcs) ++counts[static_cast<std::size_t>(arc.first) + 1];
    for (std::size_t i = 1; i < counts.size(); ++i) counts[i] += counts[i - 1];
    reversed->edges.assign(arcs.size(), 0);
    std::vector<int> filled(counts.begin(), counts.end() - 1);
    for (const auto& arc : arcs) {
        reversed->edges[static_cast<std::size_t>(filled[static_cast<std::size_t>(arc.first)]++)] =
            arc.second;
    }
    for (int id = 0; id < 2 * size; ++id) {
        GraphState& r = reversed->states[static_cast<std::size_t>(id)];
        if (r.kind != kSplit && r.kind != kAssert) continue;
        r.firstEdge = counts[static_cast<std::size_t>(id)];
        r.edgeCount = counts[static_cast<std::size_t>(id) + 1] - r.firstEdge;
    }
    if (forward.start >= 0) {
        GraphState& accept = reversed->states[static_cast<std::size_t>(forward.start)];
        accept.kind = kAccept;
        accept.edgeCount = 0;
    }
    reversed->start = forward.accept;
    reversed->assertsTextStart = forward.assertsTextStart;
    reversed->assertsTextEnd = forward.assertsTextEnd;
    reversed->assertsWordStart = forward.assertsWordStart;
    reversed->assertsWordEnd = forward.assertsWordEnd;
}

// ---- Byte classes ----

// The bytes that no consuming state and no assertion tells apart share a class; class 0 holds
// the terminating NUL alone and stands for "no byte" on either side of the text.
struct ByteClasses {
    unsigned char of[256];
    int count = 1;
    unsigned char representative[256];
    bool word[256];

    void build(const std::vector<ByteSet>& predicates, bool wordMatters) {
        // The NUL alone in class 0, the other bytes in class 1, to be split further.
        std::memset(of, 1, sizeof of);
        of[0] = 0;
        count = 2;
        size[0] = 1;
        size[1] = 255;
        if (wordMatters) {
            // Bytes from 0x80 on are in no class.
            ByteSet words;
            for (unsigned b = 1; b < 0x80; ++b) {
                if (re_isword(static_cast<char>(b))) words.add(static_cast<unsigned char>(b));
            }
            refine(words);
        }
        for (const ByteSet& set : predicates) refine(set);
        for (int b = 255; b >= 0; --b) representative[of[b]] = static_cast<unsigned char>(b);
        for (int c = 0; c < count; ++c) word[c] = re_isword(static_cast<char>(representative[c]));
    }

private:
    // Splits every class into its bytes inside `set` and those outside. A class splits alike by
    // the set and by its complement, so the smaller of the two is gone through.
    void refine(const ByteSet& set) {
        ByteSet members = set;
        if (set.count() > 128) {
            for (std::uint64_t& word : members.words) word = ~word;
        }
        int within[256];  // per class: how many of its bytes are members
        int split[256];   // per class: the class its members move to, or -1
        int touched[256];
        int touchedCount = 0;
        for (int c = 0; c < count; ++c) within[c] = 0;
        forEachByte(members, [&](unsigned b) {
            const int c = of[b];
            if (within[c]++ == 0) touched[touchedCount++] = c;
        });
        for (int i = 0; i < touchedCount; ++i) {
            const int c = touched[i];
            split[c] = -1;
            if (within[c] == size[c]) continue;
            split[c] = count;
            size[c] -= within[c];
            size[count++] = within[c];
        }
        forEachByte(members, [&](unsigned b) {
            if (split[of[b]] >= 0) of[b] = static_cast<unsigned char>(split[of[b]]);
        });
    }

    template <typename Visit>
    static void forEachByte(const ByteSet& set, Visit visit) {
        for (int word = 0; word < 4; ++word) {
            for (std::uint64_t bits = set.words[word]; bits != 0; bits &= bits - 1) {
                visit(static_cast<unsigned>(64 * word + __builtin_ctzll(bits)));
            }
        }
    }

    int size[256];  // bytes in each class
};

// ---- States of the automaton and their cache ----

const std::uint32_t kBehindIsEdge = 1;  // no byte behind: the text's start (forward) or end
const std::uint32_t kBehindIsWord = 2;  // the byte behind is a word character
const std::uint32_t kStartsOpen = 4;    // a new attempt joins at every position (forward)
const std::uint32_t kMatchBefore = 8;   // a path reached the accept at the position before

// A transition is the next state's address, or 1 while it is not computed; the low bit set on
// an address marks a transition after which the scan must look at the state it reached.
const std::uintptr_t kUnknown = 1;
const std::uintptr_t kLookAtState = 1;

// escapeCount of a state that no scan skips through.
const std::uint8_t kNotAccelerated = 0xFF;

// One state: this header, its transitions (one per byte class), then its graph states.
struct DfaState {
    std::uint32_t hash;
    std::uint32_t flags;
    std::uint32_t count;     // graph states
    std::uint16_t computed;  // transitions computed so far
    std::uint8_t checked;    // 1 once looked at for escapes
    // When every byte but these (and the NUL) leads back to this state, and nothing about that
    // needs looking at: how many (0 to 3), and which; else kNotAccelerated. A forward scan
    // then jumps to the next of them.
    std::uint8_t escapeCount;
    std::uint8_t escapes[4];
    std::uint32_t jumps;    // jumps made through the state
    std::uint32_t skipped;  // bytes those jumps passed
    std::uint32_t reserved;

    std::uintptr_t* transitions() { return reinterpret_cast<std::uintptr_t*>(this + 1); }
};
static_assert(sizeof(DfaState) % sizeof(std::uintptr_t) == 0, "transitions stay aligned");

// The states of one automaton within a budget of bytes: the states themselves and the table
// that finds them. Nothing is given back before the cache goes.
class StateCache {
public:
    StateCache(std::size_t budget, int classCount)
        : budget_(budget), classCount_(classCount), table_(kInitialSlots, nullptr) {}

    std::size_t states() const { return states_; }

    // Generation of the cache: a state from an earlier one is gone.
    unsigned generation() const { return generation_; }

    int* entriesOf(DfaState* s) const {
        return reinterpret_cast<int*>(s->transitions() + classCount_);
    }

    DfaState* find(std::uint32_t hash, std::uint32_t flags, const int* entries, int count) {
        for (std::size_t i = hash & (table_.size() - 1);; i = (i + 1) & (table_.size() - 1)) {
            DfaState* s = table_[i];
            if (s == nullptr) return nullptr;
            if (s->hash == hash && s->flags == flags && s->count == static_cast<unsigned>(count) &&
                std::equal(entries, entries + count, entriesOf(s))) {
                return s;
            }
        }
    }

    // A new state, or null when it does not fit the budget. Throws std::bad_alloc.
    DfaState* insert(std::uint32_t hash, std::uint32_t flags, const int* entries, int count) {
        const std::size_t bytes = sizeof(DfaState) +
                                  sizeof(std::uintptr_t) * static_cast<std::size_t>(classCount_) +
                                  roundUp(sizeof(int) * static_cast<std::size_t>(count));
        const bool grow = 2 * (states_ + 1) > table_.size();
        const std::size_t tableBytes = sizeof(DfaState*) * table_.size() * (grow ? 2 : 1);
        if (used_ + bytes + tableBytes > budget_) return nullptr;
        if (grow) rehash(2 * table_.size());
        DfaState* s = reinterpret_cast<DfaState*>(allocate(bytes));
        s->hash = hash;
        s->flags = flags;
        s->count = static_cast<std::uint32_t>(count);
        s->computed = 0;
        s->checked = 0;
        s->escapeCount = kNotAccelerated;
        s->jumps = 0;
        s->skipped = 0;
        s->reserved = 0;
        std::uintptr_t* transitions = s->transitions();
        for (int c = 0; c < classCount_; ++c) transitions[c] = kUnknown;
        std::copy(entries, entries + count, entriesOf(s));
        std::size_t i = hash & (table_.size() - 1);
        while (table_[i] != nullptr) i = (i + 1) & (table_.size() - 1);
        table_[i] = s;
        ++states_;
        used_ += bytes;
        return s;
    }

    void clear() {
        std::fill(table_.begin(), table_.end(), nullptr);
        states_ = 0;
        used_ = 0;
        block_ = 0;
        blockUsed_ = 0;
        ++generation_;
    }

private:
    static constexpr std::size_t kInitialSlots = 8;
    static constexpr std::size_t kFirstBlockBytes = 2 * 1024;
    static constexpr std::size_t kBlockBytes = 64 * 1024;

    static std::size_t roundUp(std::size_t bytes) { return (bytes + 7) & ~std::size_t(7); }

    void rehash(std::size_t slots) {
        std::vector<DfaState*> table(slots, nullptr);
        for (DfaState* s : table_) {
            if (s == nullptr) continue;
            std::size_t i = s->hash & (slots - 1);
            while (table[i] != nullptr) i = (i + 1) & (slots - 1);
            table[i] = s;
        }
        table_.swap(table);
    }

    // From blocks kept across clears, each twice the size of the one before up to
    // kBlockBytes, so that a pass that needs few states allocates little; a state larger than a
    // block has its own.
    char* allocate(std::size_t bytes) {
        for (;;) {
            if (block_ == blocks_.size()) {
                const std::size_t size = std::max(nextBlockBytes_, bytes);
                blocks_.emplace_back(new char[size], size);
                nextBlockBytes_ = std::min(2 * nextBlockBytes_, kBlockBytes);
            }
            Block& block = blocks_[block_];
            if (block.size - blockUsed_ >= bytes) {
                char* at = block.memory.get() + blockUsed_;
                blockUsed_ += bytes;
                return at;
            }
            ++block_;
            blockUsed_ = 0;
        }
    }

    struct Block {
        Block(char* at, std::size_t bytes) : memory(at), size(bytes) {}
        std::unique_ptr<char[]> memory;
        std::size_t size;
    };

    std::size_t budget_;
    int classCount_;
    std::vector<DfaState*> table_;
    std::vector<Block> blocks_;
    std::size_t nextBlockBytes_ = kFirstBlockBytes;
    std::size_t block_ = 0;      // the block being filled
    std::size_t blockUsed_ = 0;  // bytes of it in use
    std::size_t used_ = 0;       // bytes of states
    std::size_t states_ = 0;
    unsigned generation_ = 0;
};

// ---- The automaton ----

// What the passes of one search use one after another: the cache of states and the lists a
// transition is worked out in, so that a pass after the first allocates little.
struct PassMemory {
    PassMemory(std::size_t cacheBytes, int classCount) : cache(cacheBytes, classCount) {}

    StateCache cache;
    std::vector<std::uint32_t> marks;  // per graph state: the stamp it was last met with
    std::uint32_t stamp = 0;
    std::vector<int> stack;
    std::vector<int> threads;
    std::vector<int> entries;
};

// One direction of the automaton over one graph. `forward` follows the walk's order and drops
// the paths behind one that reaches the accept; backwards every path counts. Its states go to
// the cache of `memory`, emptied for it.
class LazyAutomaton {
public:
    LazyAutomaton(const Graph& graph, const std::vector<ByteSet>& predicates,
                  const ByteClasses& classes, bool forward, PassMemory* memory)
        : graph_(graph),
          predicates_(predicates),
          classes_(classes),
          forward_(forward),
          cache_(memory->cache),
          marks_(memory->marks),
          stamp_(memory->stamp),
          stack_(memory->stack),
          threads_(memory->threads),
          entries_(memory->entries) {
        cache_.clear();
        if (marks_.size() < graph.states.size()) marks_.resize(graph.states.size(), 0);
        // Enough for small programs at once, rather than growing from one element.
        const std::size_t room = std::min<std::size_t>(graph.states.size(), 64);
        stack_.reserve(room);
        threads_.reserve(room);
        entries_.reserve(room);
        // Only the context that an assertion of the graph reads is kept in a state, so that
        // states differing in nothing else are one.
        if (forward) {
            keptFlags_ = (graph.assertsTextStart ? kBehindIsEdge : 0) |
                         (graph.assertsWordStart ? kBehindIsWord : 0);
        } else {
            keptFlags_ = (graph.assertsTextEnd ? kBehindIsEdge : 0) |
                         (graph.assertsWordStart || graph.assertsWordEnd ? kBehindIsWord : 0);
        }
    }

    // Where scans look at states: after attempts stop joining (`singleStart`), and on entering
    // a state without paths while new attempts join (`skipAhead`: the scan then jumps to the
    // next start position).
    void setStarts(bool singleStart, bool skipAhead) {
        singleStart_ = singleStart;
        skipAhead_ = skipAhead;
    }

    const ByteClasses& classes() const { return classes_; }

    // How often the cache was cleared.
    int clears() const { return clears_; }

    // The state at a position whose byte behind is `behind` (-1: none) holding `entry` (-1:
    // none) and, with `startsOpen`, the attempts to come. Null when the automaton gave up.
    DfaState* first(int behind, int entry, bool startsOpen, int position) {
        entries_.clear();
        if (entry >= 0) entries_.push_back(entry);
        std::uint32_t flags = behindFlags(behind) | (startsOpen ? kStartsOpen : 0);
        return stateFor(flags & (keptFlags_ | kStartsOpen), position);
    }

    // The transition of `s` on byte class `c` at `position` (where the scan stands), computed
    // on first use: the next state's address, with kLookAtState set where the scan must look
    // at it; 0 when the automaton gave up.
    std::uintptr_t transition(DfaState* s, int c, int position) {
        const std::uintptr_t known = s->transitions()[c];
        if (known != kUnknown) return known;
        const unsigned generation = cache_.generation();
        const std::uintptr_t tagged = compute(s, c, position, true);
        // A cleared cache took `s` with it. A state whose transitions are half known is in use
        // enough to be worth looking at for escapes.
        if (tagged != 0 && cache_.generation() == generation && accelerate_ && s->checked == 0 &&
            2 * s->computed >= classes_.count) {
            findEscapes(s, position);
        }
        return tagged;
    }

    // Scans of this automaton jump through states whose bytes nearly all lead back to them.
    void setAccelerated(bool accelerate) { accelerate_ = accelerate; }

    // Jumps through `s` are no longer made: its escapes come too often for them to pay.
    void decelerate(DfaState* s) {
        const std::uintptr_t self = reinterpret_cast<std::uintptr_t>(s);
        for (int c = 1; c < classes_.count; ++c) {
            const std::uint8_t b = classes_.representative[c];
            if (std::find(s->escapes, s->escapes + s->escapeCount, b) !=
                s->escapes + s->escapeCount) {
                continue;
            }
            if (s->transitions()[c] == (self | kLookAtState)) s->transitions()[c] = self;
        }
        s->escapeCount = kNotAccelerated;
    }

    static bool holdsPaths(const DfaState* s) { return s->count != 0; }
    static bool waitsForStart(const DfaState* s) {
        return s->count == 0 && (s->flags & kStartsOpen) != 0;
    }
    static bool isDead(const DfaState* s) { return s->count == 0 && (s->flags & kStartsOpen) == 0; }

private:
    std::uint32_t behindFlags(int byte) const {
        if (byte < 0) return kBehindIsEdge;
        return re_isword(static_cast<char>(byte)) ? kBehindIsWord : 0;
    }

    // Whether a scan must look at `to` after taking a byte of class `c` from a state that
    // waited for an attempt to start (`fromWaiting`).
    bool mustLook(bool fromWaiting, int c, const DfaState* to) const {
        if (c == 0 || (to->flags & kMatchBefore) != 0 || isDead(to)) return true;
        if (!forward_) return false;
        return (fromWaiting && !waitsForStart(to)) || (waitsForStart(to) && skipAhead_);
    }

    // Works out and stores the transition of `s` on class `c`, allowed to clear a full cache
    // (which takes `s` with it) when `mayClear`. The tagged address, or 0 when there is no
    // room (after giving up, with `mayClear`).
    std::uintptr_t compute(DfaState* s, int c, int position, bool mayClear) {
        const unsigned generation = cache_.generation();
        const bool fromWaiting = waitsForStart(s);
        const std::uint32_t flags = advance(s, c);
        DfaState* next = stateFor(flags, position, mayClear);
        if (next == nullptr) return 0;
        const std::uintptr_t tagged = reinterpret_cast<std::uintptr_t>(next) |
                                      (mustLook(fromWaiting, c, next) ? kLookAtState : 0);
        if (cache_.generation() == generation) {
            s->transitions()[c] = tagged;
            ++s->computed;
        }
        return tagged;
    }

    // Whether at most three bytes (the NUL aside) lead out of `s`, all others back to it with
    // nothing to look at; if so, marks it so that scans jump to the next of them. Works out
    // the transitions still unknown, but gives up rather than clear the cache.
    void findEscapes(DfaState* s, int position) {
        s->checked = 1;
        const std::uintptr_t self = reinterpret_cast<std::uintptr_t>(s);
        std::uint8_t escapes[4];
        int count = 0;
        for (int c = 1; c < classes_.count; ++c) {
            std::uintptr_t t = s->transitions()[c];
            if (t == kUnknown) t = compute(s, c, position, false);
            if (t == 0) return;
            if (t == self) continue;
            for (unsigned b = 1; b < 256; ++b) {
                if (classes_.of[b] != c) continue;
                if (count == 3) return;
                escapes[count++] = static_cast<std::uint8_t>(b);
            }
        }
        s->escapeCount = static_cast<std::uint8_t>(count);
        std::copy(escapes, escapes + count, s->escapes);
        // So that a scan staying in `s` looks at it, and jumps.
        for (int c = 1; c < classes_.count; ++c) {
            if (s->transitions()[c] == self) s->transitions()[c] |= kLookAtState;
        }
    }

    // The entries of the state after `s` takes a byte of class `c`, into entries_; answers the
    // new state's flags.
    std::uint32_t advance(DfaState* s, int c) {
        const bool matched = expand(s, c);
        entries_.clear();
        const std::uint32_t stamp = nextStamp();
        const unsigned representative = classes_.representative[c];
        for (const int waiting : threads_) {
            const GraphState& w = graph_.states[static_cast<std::size_t>(waiting)];
            if (w.target < 0 ||
                !predicates_[static_cast<std::size_t>(w.predicate)].has(representative)) {
                continue;
            }
            std::uint32_t& mark = marks_[static_cast<std::size_t>(w.target)];
            if (mark == stamp) continue;
            mark = stamp;
            entries_.push_back(w.target);
        }
        // Backwards the order of the paths does not count: one order makes one state of many.
        if (!forward_) std::sort(entries_.begin(), entries_.end());
        std::uint32_t flags = c == 0 ? kBehindIsEdge : classes_.word[c] ? kBehindIsWord : 0;
        flags &= keptFlags_;
        if (forward_ && (s->flags & kStartsOpen) != 0 && !matched && !singleStart_) {
            flags |= kStartsOpen;
        }
        if (matched) flags |= kMatchBefore;
        return flags;
    }

    // Follows the entries of `s`, then a new attempt while they join, through splits and
    // assertions at the position before a byte of class `c`, collecting in threads_ the
    // consuming states met, each once, in the order reached. True when the accept was met.
    bool expand(DfaState* s, int c) {
        threads_.clear();
        const std::uint32_t stamp = nextStamp();
        const Context context = contextOf(s->flags, c);
        const int* entries = cache_.entriesOf(s);
        bool matched = false;
        for (std::uint32_t i = 0; i < s->count; ++i) {
            if (follow(entries[i], stamp, context)) {
                matched = true;
                if (forward_) return true;
            }
        }
        if ((s->flags & kStartsOpen) != 0 && follow(graph_.start, stamp, context)) matched = true;
        return matched;
    }

    // What the assertions see at a position: whether there is a byte before it and after it
    // in the text, and whether those are word characters.
    struct Context {
        bool edgeBefore, wordBefore, edgeAfter, wordAfter;
    };

    Context contextOf(std::uint32_t flags, int c) const {
        const bool edgeBehind = (flags & kBehindIsEdge) != 0;
        const bool wordBehind = (flags & kBehindIsWord) != 0;
        const bool edgeAhead = c == 0;
        const bool wordAhead = classes_.word[c];
        if (forward_) return Context{edgeBehind, wordBehind, edgeAhead, wordAhead};
        return Context{edgeAhead, wordAhead, edgeBehind, wordBehind};
    }

    static bool holds(unsigned char assertion, const Context& at) {
        switch (assertion) {
        case RX_TEXT_START: return at.edgeBefore;
        case RX_TEXT_END: return at.edgeAfter;
        case RX_WORD_START: return at.wordAfter && !at.wordBefore;
        default: return !at.wordAfter;
        }
    }

    // Depth first from `entry`, successors in order; true when the accept is met (forward,
    // nothing after it is followed).
    bool follow(int entry, std::uint32_t stamp, const Context& context) {
        bool matched = false;
        stack_.clear();
        stack_.push_back(entry);
        while (!stack_.empty()) {
            const int id = stack_.back();
            stack_.pop_back();
            std::uint32_t& mark = marks_[static_cast<std::size_t>(id)];
            if (mark == stamp) continue;
            mark = stamp;
            const GraphState& s = graph_.states[static_cast<std::size_t>(id)];
            switch (s.kind) {
            case kConsume: threads_.push_back(id); break;
            case kAccept:
                matched = true;
                if (forward_) return true;
                break;
            case kAssert:
                if (!holds(s.assertion, context)) break;
                // fall through
            case kSplit:
                for (int e = s.edgeCount - 1; e >= 0; --e) {
                    stack_.push_back(graph_.edges[static_cast<std::size_t>(s.firstEdge + e)]);
                }
                break;
            case kUnused: break;
            }
        }
        return matched;
    }

    // The state of entries_ with `flags`, made when new; null when the automaton gave up.
    DfaState* stateFor(std::uint32_t flags, int position, bool mayClear = true) {
        const int count = static_cast<int>(entries_.size());
        const std::uint32_t hash = hashOf(flags);
        if (DfaState* known = cache_.find(hash, flags, entries_.data(), count)) return known;
        DfaState* made = cache_.insert(hash, flags, entries_.data(), count);
        if (made != nullptr || !mayClear) return made;
        // Full: clear and go on, unless the last clearing bought too little.
        const long advanced = position > lastClear_ ? position - lastClear_ : lastClear_ - position;
        if (clears_ > 0 && advanced < 10 * static_cast<long>(cache_.states())) return nullptr;
        cache_.clear();
        ++clears_;
        lastClear_ = position;
        return cache_.insert(hash, flags, entries_.data(), count);
    }

    // A stamp no mark holds yet.
    std::uint32_t nextStamp() {
        if (++stamp_ == 0) {
            std::fill(marks_.begin(), marks_.end(), 0);
            stamp_ = 1;
        }
        return stamp_;
    }

    std::uint32_t hashOf(std::uint32_t flags) const {
        std::uint32_t hash = 2166136261u ^ flags;
        for (const int entry : entries_)
            hash = (hash ^ static_cast<std::uint32_t>(entry)) * 16777619u;
        return hash;
    }

    const Graph& graph_;
    const std::vector<ByteSet>& predicates_;
    const ByteClasses& classes_;
    const bool forward_;
    StateCache& cache_;
    std::uint32_t keptFlags_ = 0;
    bool singleStart_ = false;
    bool skipAhead_ = false;
    bool accelerate_ = false;
    std::vector<std::uint32_t>& marks_;
    std::uint32_t& stamp_;
    std::vector<int>& stack_;
    std::vector<int>& threads_;
    std::vector<int>& entries_;
    int clears_ = 0;
    long lastClear_ = 0;  // where the scan stood at the last clearing
};

}  // namespace

// ---- The search ----

struct RegexpAutomaton::Parts {
    Graph forward;
    Graph reversed;
    std::vector<ByteSet> predicates;
    ByteClasses classes;
    std::unique_ptr<PassMemory> memory;
};

RegexpAutomaton::RegexpAutomaton(const RegexpProgram* program, const char* text, int length,
                                 std::size_t cacheBytes)
    : program_(program), text_(text), length_(length), cacheBytes_(cacheBytes) {}

RegexpAutomaton::~RegexpAutomaton() = default;

void RegexpAutomaton::prepare() {
    if (parts_) return;
    parts_.reset(new Parts);
    GraphBuilder(program_, &parts_->forward, &parts_->predicates).build();
    const Graph& g = parts_->forward;
    parts_->classes.build(parts_->predicates, g.assertsWordStart || g.assertsWordEnd);
    parts_->memory.reset(new PassMemory(cacheBytes_, parts_->classes.count));
}

namespace {

// The first position from `p` on whose byte leads out of the accelerated state `s`, or the
// text's end.
int nextEscape(const DfaState* s, const unsigned char* text, int p, int length) {
    const std::uint8_t* escapes = s->escapes;
    if (s->escapeCount == 0) return length;
    if (s->escapeCount == 1) {
        const void* found = std::memchr(text + p, escapes[0], static_cast<std::size_t>(length - p));
        return found != nullptr ? static_cast<int>(static_cast<const unsigned char*>(found) - text)
                                : length;
    }
    // Two or three bytes: eight at a time, each word tested for a byte equal to one of them.
    const std::uint64_t ones = 0x0101010101010101ULL;
    const std::uint64_t highs = 0x8080808080808080ULL;
    const std::uint8_t last = escapes[s->escapeCount - 1];
    const std::uint64_t first = ones * escapes[0], second = ones * escapes[1], third = ones * last;
    auto holdsZeroByte = [&](std::uint64_t word) { return ((word - ones) & ~word & highs) != 0; };
    for (; p + 8 <= length; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + p, sizeof word);
        if (holdsZeroByte(word ^ first) || holdsZeroByte(word ^ second) ||
            holdsZeroByte(word ^ third)) {
            break;
        }
    }
    while (p < length && text[p] != escapes[0] && text[p] != escapes[1] && text[p] != last) ++p;
    return p;
}

// Jumps through an accelerated state that must on average pass at least this many bytes, over
// this many jumps, to stay accelerated.
const std::uint32_t kJumpsJudged = 64;
const std::uint32_t kLeastBytesPerJump = 16;

// The forward pass over `text` of `length` bytes (see RegexpAutomaton::forward).
AutomatonAnswer scanForward(LazyAutomaton* automaton, const unsigned char* text, int length,
                            StartPositions* starts, int from, bool wantEnd) {
    AutomatonAnswer answer{kAutomatonGaveUp, -1, -1, from, 0};
    const unsigned char* const classOf = automaton->classes().of;
    auto startAt = [&](int position) {
        return automaton->first(position > 0 ? text[position - 1] : -1, -1, true, position);
    };
    int p = from;
    DfaState* s = startAt(p);
    if (s == nullptr) return answer;
    int matchEnd = -1;
    for (;;) {
        std::uintptr_t t = s->transitions()[classOf[text[p]]];
        if ((t & kLookAtState) == 0) {
            s = reinterpret_cast<DfaState*>(t);
            ++p;
            continue;
        }
        const int c = classOf[text[p]];
        // Read before the transition is made: a cache cleared on the way takes `s` with it.
        const bool waited = LazyAutomaton::waitsForStart(s);
        if (t == kUnknown) {
            t = automaton->transition(s, c, p);
            if (t == 0) return answer;
        }
        DfaState* next = reinterpret_cast<DfaState*>(t & ~kLookAtState);
        if ((next->flags & kMatchBefore) != 0) {
            matchEnd = p;
            if (!wantEnd) break;
        }
        if (c == 0 || LazyAutomaton::isDead(next)) break;
        // Every attempt before p has failed: the match, if any, begins at p or later.
        if (waited && !LazyAutomaton::waitsForStart(next) && matchEnd < 0) answer.lowest = p;
        s = next;
        ++p;
        if (s->escapeCount != kNotAccelerated) {
            const int escape = nextEscape(s, text, p, length);
            if (s->jumps < kJumpsJudged) {
                s->skipped += static_cast<std::uint32_t>(std::min(escape - p, 1 << 20));
                if (++s->jumps == kJumpsJudged && s->skipped < kJumpsJudged * kLeastBytesPerJump) {
                    automaton->decelerate(s);
                }
            }
            p = escape;
        }
        if (LazyAutomaton::waitsForStart(s) && starts->quickToScan()) {
            const int ahead = starts->next(p);
            if (ahead < 0) break;
            if (ahead > p) {
                p = ahead;
                s = startAt(p);
                if (s == nullptr) return answer;
            }
        }
    }
    answer.code = matchEnd >= 0 ? kAutomatonMatch : kAutomatonNoMatch;
    answer.end = matchEnd;
    return answer;
}

// Whether an attempt at `start` alone has a match that ends at `limit` or before (see
// RegexpAutomaton::matchBeginsAt).
AutomatonAnswer probeForward(LazyAutomaton* automaton, const unsigned char* text, int start,
                             int limit) {
    AutomatonAnswer answer{kAutomatonGaveUp, start, -1, start, 0};
    const unsigned char* const classOf = automaton->classes().of;
    DfaState* s = automaton->first(start > 0 ? text[start - 1] : -1, -1, true, start);
    if (s == nullptr) return answer;
    answer.code = kAutomatonNoMatch;
    for (int p = start;; ++p) {
        const int c = classOf[text[p]];
        std::uintptr_t t = s->transitions()[c];
        if ((t & kLookAtState) != 0) {
            if (t == kUnknown) {
                t = automaton->transition(s, c, p);
                if (t == 0) {
                    answer.code = kAutomatonGaveUp;
                    return answer;
                }
            }
            DfaState* next = reinterpret_cast<DfaState*>(t & ~kLookAtState);
            if ((next->flags & kMatchBefore) != 0) {
                answer.code = kAutomatonMatch;
                answer.end = p;
                return answer;
            }
            if (c == 0 || LazyAutomaton::isDead(next)) return answer;
        }
        if (p >= limit) return answer;
        s = reinterpret_cast<DfaState*>(t & ~kLookAtState);
    }
}

// The backward pass over `text` of `length` bytes (see RegexpAutomaton::backward).
AutomatonAnswer scanBackward(LazyAutomaton* automaton, int entry, const unsigned char* text,
                             int length, int end, int lowest) {
    AutomatonAnswer answer{kAutomatonGaveUp, -1, end, lowest, 0};
    const unsigned char* const classOf = automaton->classes().of;
    int q = end;
    DfaState* s = automaton->first(end < length ? text[end] : -1, entry, false, q);
    if (s == nullptr) return answer;
    int start = -1;
    for (;;) {
        const int c = q > 0 ? classOf[text[q - 1]] : 0;
        std::uintptr_t t = s->transitions()[c];
        if ((t & kLookAtState) != 0) {
            if (t == kUnknown) {
                t = automaton->transition(s, c, q);
                if (t == 0) return answer;
            }
            DfaState* next = reinterpret_cast<DfaState*>(t & ~kLookAtState);
            if ((next->flags & kMatchBefore) != 0) start = q;
            if (c == 0 || !LazyAutomaton::holdsPaths(next)) break;
        }
        if (q <= lowest) break;
        s = reinterpret_cast<DfaState*>(t & ~kLookAtState);
        --q;
    }
    if (start < 0) return answer;
    answer.code = kAutomatonMatch;
    answer.start = start;
    return answer;
}

}  // namespace

AutomatonAnswer RegexpAutomaton::forward(StartPositions* starts, int from, bool wantEnd) {
    prepare();
    const Parts& parts = *parts_;
    LazyAutomaton automaton(parts.forward, parts.predicates, parts.classes, true,
                            parts.memory.get());
    automaton.setStarts(starts->single(), starts->quickToScan());
    automaton.setAccelerated(true);
    AutomatonAnswer answer = scanForward(&automaton, reinterpret_cast<const unsigned char*>(text_),
                                         length_, starts, from, wantEnd);
    answer.clears = automaton.clears();
    return answer;
}

AutomatonAnswer RegexpAutomaton::matchBeginsAt(int start, int end) {
    prepare();
    const Parts& parts = *parts_;
    LazyAutomaton automaton(parts.forward, parts.predicates, parts.classes, true,
                            parts.memory.get());
    automaton.setStarts(true, false);
    AutomatonAnswer answer =
        probeForward(&automaton, reinterpret_cast<const unsigned char*>(text_), start, end);
    answer.clears = automaton.clears();
    return answer;
}

AutomatonAnswer RegexpAutomaton::backward(int end, int lowest) {
    prepare();
    Parts& parts = *parts_;
    if (parts.reversed.states.empty()) reverseGraph(parts.forward, &parts.reversed);
    if (parts.reversed.start < 0) return AutomatonAnswer{kAutomatonGaveUp, -1, end, lowest, 0};
    LazyAutomaton automaton(parts.reversed, parts.predicates, parts.classes, false,
                            parts.memory.get());
    AutomatonAnswer answer =
        scanBackward(&automaton, parts.reversed.start,
                     reinterpret_cast<const unsigned char*>(text_), length_, end, lowest);
    answer.clears = automaton.clears();
    return answer;
}

}  // namespace regexp
}  // namespace quillmark
