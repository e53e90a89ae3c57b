// Lowering a code-point program to a byte program, and the byte classes of a byte program.
//
// The byte automata (one-pass table, DFA) step exactly one byte per transition, so the
// lowering removes the one instruction that consumes more than a byte, `klass_cp`, and turns
// it into an automaton over UTF-8 byte ranges.  It runs in three steps:
//
//   prescan   refuse what no byte automaton can run: lookarounds, possessive loops, and
//             asserts unless the caller allows them (never a word-ness-flipped one);
//   size      walk the program once and give every code-point instruction its index in the
//             byte program, so that jumps can be remapped before anything is emitted;
//   emit      walk again in the same order and write the instructions.
//
// Class expansion.  A class is cut into UTF-8 sequences (utf8_ranges.h): byte-range chains
// of one encoding length each, surrogates left out, so invalid UTF-8 never matches, exactly
// as the decoding matchers refuse it.  The sequences are merged into a small automaton of
// range nodes, recursively: the first ranges of all sequences are cut at every boundary into
// disjoint intervals, each interval gets one edge, and the edge leads either to "done" or to
// the node built from what remains of the sequences that cover it.  Equal nodes are shared
// (hash-consed by their edges), which is what keeps a class like \w small: the many
// sequences that end in [80-BF][80-BF] share their tails.  Each node becomes a chain of
// split / byte_set / jump, one link per edge, so a class with N nodes of E edges costs
// sum(3E - 1) instructions, checked against the caller's budget.  The expansion is made once
// per class index; the block is emitted at every use.  Byte sets for ranges are shared
// through a small open-addressing table keyed by (lo, hi).
//
// Literal tries.  A lexer's keyword rule is often an alternation of many plain literals; as a
// split chain over all branches it costs one thread per branch at the first byte.  From 64
// branches on, the alternation becomes a byte trie.  The trie must keep the branches'
// priority order exactly, which matters when one branch is a prefix of another: each node
// remembers from which edge on a later branch may merge (its "search start", moved past the
// end mark of every branch that ends there), so a later branch never jumps ahead of an
// earlier one that ends on the way.
//
// Byte classes.  compute_byte_classes partitions the 256 byte values by what the byte
// program can observe of them: membership in each byte set, equality with each literal byte,
// and, when asserts are present, whether the byte is a line end, a word byte or a non-ASCII
// byte.  The partition is computed by refinement, one distinguishing set at a time.
//
// Tests: tests/cpp/test_byte_program.cpp (golden dumps, edge cases, and a byte-program
// interpreter checked against the Pike VM on random patterns).
#include "kestrel/byte_program.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>

#include "kestrel/unicode.h"
#include "kestrel/utf8_ranges.h"

namespace kestrel {

namespace {

// An alternation of at least this many literal branches becomes a trie.
constexpr std::size_t literal_trie_min_branches = 64;
// Byte-set indices are 16 bits wide.
constexpr std::size_t max_byte_sets = 65536;

constexpr std::uint64_t fnv_offset = 0xcbf29ce484222325ull;
constexpr std::uint64_t fnv_prime = 0x100000001b3ull;

// ---- range automaton of one class ----------------------------------------------------------

constexpr std::int32_t done_target = -1;

struct range_edge {
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
    std::int32_t target = done_target;  // a node of the same class, or done_target
    friend bool operator==(const range_edge&, const range_edge&) = default;
};

struct range_node {
    std::vector<range_edge> edges;
};

struct class_block {
    std::vector<range_node> nodes;     // in order of addition (children before parents)
    std::int32_t root = -1;            // -1: the class holds no character
    std::vector<std::int32_t> layout;  // root first, then the others in order of addition
    std::vector<std::uint32_t> offset;  // per node: its first instruction within the block
    std::uint32_t size = 1;            // instructions of the block
};

class range_automaton_builder {
public:
    explicit range_automaton_builder(class_block& out) : out_(out) {}

    // Builds the node for a list of sequences that all have at least depth + 1 ranges, from
    // their range at `depth` on; returns its index.
    std::int32_t build(const std::vector<const utf8_sequence*>& seqs, std::size_t depth) {
        std::vector<unsigned> bounds;
        bounds.reserve(seqs.size() * 2);
        for (const utf8_sequence* s : seqs) {
            bounds.push_back(s->ranges[depth].lo);
            bounds.push_back(s->ranges[depth].hi + 1u);
        }
        std::sort(bounds.begin(), bounds.end());
        bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

        range_node node;
        std::vector<const utf8_sequence*> rest;
        for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
            const unsigned lo = bounds[k];
            const unsigned hi = bounds[k + 1] - 1;
            rest.clear();
            bool covered = false;
            for (const utf8_sequence* s : seqs) {
                const byte_range& r = s->ranges[depth];
                if (r.lo > lo || r.hi < hi) continue;
                covered = true;
                if (s->length > depth + 1) rest.push_back(s);
            }
            if (!covered) continue;
            range_edge e;
            e.lo = static_cast<std::uint8_t>(lo);
            e.hi = static_cast<std::uint8_t>(hi);
            e.target = rest.empty() ? done_target : build(rest, depth + 1);
            node.edges.push_back(e);
        }
        return add(std::move(node));
    }

private:
    static std::uint64_t hash(const range_node& node) {
        std::uint64_t h = fnv_offset;
        auto mix = [&h](std::uint8_t b) { h = (h ^ b) * fnv_prime; };
        for (const range_edge& e : node.edges) {
            mix(e.lo);
            mix(e.hi);
            const auto t = static_cast<std::uint32_t>(e.target);
            for (int shift = 0; shift < 32; shift += 8) mix(static_cast<std::uint8_t>(t >> shift));
        }
        return h;
    }

    // The index of an equal node already built, or of this one, added now.
    std::int32_t add(range_node&& node) {
        std::vector<std::int32_t>& chain = buckets_[hash(node) % buckets_.size()];
        for (std::int32_t id : chain) {
            if (out_.nodes[static_cast<std::size_t>(id)].edges == node.edges) return id;
        }
        const auto id = static_cast<std::int32_t>(out_.nodes.size());
        out_.nodes.push_back(std::move(node));
        chain.push_back(id);
        return id;
    }

    class_block& out_;
    std::array<std::vector<std::int32_t>, 1024> buckets_;
};

class_block expand_class(const program& prog, std::uint16_t klass) {
    class_block block;
    const code_point_class& k = prog.classes[klass];
    std::vector<utf8_sequence> seqs;
    append_class_sequences(
        k.ascii, range_view(prog.range_pool.data() + k.first_range, k.range_count), seqs);
    if (seqs.empty()) return block;
    std::vector<const utf8_sequence*> all;
    all.reserve(seqs.size());
    for (const utf8_sequence& s : seqs) all.push_back(&s);
    auto builder = std::make_unique<range_automaton_builder>(block);
    block.root = builder->build(all, 0);

    block.layout.push_back(block.root);
    for (std::size_t id = 0; id < block.nodes.size(); ++id) {
        if (static_cast<std::int32_t>(id) != block.root)
            block.layout.push_back(static_cast<std::int32_t>(id));
    }
    block.offset.assign(block.nodes.size(), 0);
    std::uint32_t at = 0;
    for (std::int32_t id : block.layout) {
        block.offset[static_cast<std::size_t>(id)] = at;
        const std::size_t edges = block.nodes[static_cast<std::size_t>(id)].edges.size();
        at += 3 * static_cast<std::uint32_t>(edges) - 1;
    }
    block.size = at;
    return block;
}

// ---- byte sets made for ranges -------------------------------------------------------------

// Maps a byte range to the one byte set made for it in this lowering: open addressing keyed
// by lo * 256 + hi, Fibonacci hashing (top 16 bits of key * 2^64 / phi), linear probing,
// doubled when half full.
class range_set_table {
public:
    range_set_table() : slots_(1024) {}

    // The set's index, or nullopt when the byte program would hold too many sets.
    std::optional<std::uint16_t> find_or_add(std::uint8_t lo, std::uint8_t hi,
                                             std::vector<byte_set>& sets) {
        const std::uint32_t key = lo * 256u + hi;
        std::size_t at = home(key);
        while (slots_[at].used) {
            if (slots_[at].key == key) return slots_[at].set;
            at = (at + 1) & (slots_.size() - 1);
        }
        if (sets.size() >= max_byte_sets) return std::nullopt;
        byte_set s;
        s.set_range(lo, hi);
        const auto index = static_cast<std::uint16_t>(sets.size());
        sets.push_back(s);
        slots_[at] = {true, key, index};
        if (++count_ * 2 >= slots_.size()) grow();
        return index;
    }

private:
    struct slot {
        bool used = false;
        std::uint32_t key = 0;
        std::uint16_t set = 0;
    };

    std::size_t home(std::uint32_t key) const noexcept {
        const std::uint64_t h = static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h >> 48) & (slots_.size() - 1);
    }

    void grow() {
        std::vector<slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const slot& s : old) {
            if (!s.used) continue;
            std::size_t at = home(s.key);
            while (slots_[at].used) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = s;
        }
    }

    std::vector<slot> slots_;
    std::size_t count_ = 0;
};

// ---- literal alternations and their trie ---------------------------------------------------

struct literal_alternation {
    std::int32_t end = -1;  // the common end E
    std::vector<std::pair<std::int32_t, std::int32_t>> branches;  // [first, last) byte runs
};

// Recognises the split chain the compiler makes for an alternation of plain literals,
// starting at the split at s; nothing for any other shape.  `chain` receives the splits the
// walk went through.  `mismatch` says the walk failed because a branch jumped to another end
// than the earlier ones (an inner alternation as the last branch), so a walk from a later
// split of the chain may still succeed; any other failure holds for every later split too.
std::optional<literal_alternation> find_literal_alternation(const std::vector<instruction>& code,
                                                            std::int32_t s,
                                                            std::vector<std::int32_t>& chain,
                                                            bool& mismatch) {
    const auto n = static_cast<std::int32_t>(code.size());
    literal_alternation alt;
    chain.clear();
    mismatch = false;
    std::int32_t at = s;
    for (;;) {
        const instruction& sp = code[static_cast<std::size_t>(at)];
        if (sp.op != opcode::split || sp.x != at + 1) return std::nullopt;
        chain.push_back(at);
        std::int32_t p = at + 1;
        while (p < n && code[static_cast<std::size_t>(p)].op == opcode::byte) ++p;
        if (p >= n || code[static_cast<std::size_t>(p)].op != opcode::jump) return std::nullopt;
        const std::int32_t e = code[static_cast<std::size_t>(p)].x;
        if (e <= p || e > n || sp.y != p + 1) return std::nullopt;
        if (alt.end >= 0 && e != alt.end) {
            mismatch = true;
            return std::nullopt;
        }
        alt.end = e;
        alt.branches.emplace_back(at + 1, p);
        const std::int32_t q = p + 1;
        if (q < n && code[static_cast<std::size_t>(q)].op == opcode::split &&
            code[static_cast<std::size_t>(q)].x == q + 1) {
            at = q;
            continue;
        }
        // The last branch: bytes up to exactly E.
        std::int32_t r = q;
        while (r < alt.end && code[static_cast<std::size_t>(r)].op == opcode::byte) ++r;
        if (r != alt.end) return std::nullopt;
        alt.branches.emplace_back(q, r);
        return alt;
    }
}

class literal_trie {
public:
    literal_trie(const std::vector<instruction>& code, const literal_alternation& alt) {
        nodes_.emplace_back();
        for (const auto& [first, last] : alt.branches) {
            std::size_t at = 0;
            for (std::int32_t i = first; i < last; ++i) {
                const std::uint8_t b = code[static_cast<std::size_t>(i)].arg;
                node& nd = nodes_[at];
                std::size_t next = 0;
                bool found = false;
                for (std::size_t k = nd.search_start; k < nd.edges.size(); ++k) {
                    if (nd.edges[k].byte == b) {
                        next = nd.edges[k].child;
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    next = nodes_.size();
                    nodes_[at].edges.push_back({static_cast<std::int16_t>(b), next});
                    nodes_.emplace_back();
                }
                at = next;
            }
            node& end = nodes_[at];
            if (end.edges.empty() || end.edges.back().byte != end_mark)
                end.edges.push_back({end_mark, 0});
            end.search_start = end.edges.size();
        }
        lay_out();
    }

    std::uint32_t size() const noexcept { return size_; }

    // Appends the trie at out.size(); accepting paths jump to `exit`.
    void emit(std::vector<instruction>& out, std::int32_t exit) const {
        const auto base = static_cast<std::int32_t>(out.size());
        for (std::size_t id : order_) {
            const node& nd = nodes_[id];
            for (std::size_t k = 0; k < nd.edges.size(); ++k) {
                const edge& e = nd.edges[k];
                const bool last = k + 1 == nd.edges.size();
                const auto here = static_cast<std::int32_t>(out.size());
                if (!last) {
                    out.push_back(instruction{opcode::split, 0, 0, here + 1,
                                              here + (e.byte == end_mark ? 2 : 3)});
                }
                if (e.byte == end_mark) {
                    out.push_back(instruction{opcode::jump, 0, 0, exit});
                    continue;
                }
                out.push_back(instruction{opcode::byte, static_cast<std::uint8_t>(e.byte)});
                if (!last) {
                    const std::int32_t child = base + static_cast<std::int32_t>(position_[e.child]);
                    out.push_back(instruction{opcode::jump, 0, 0, child});
                }
            }
        }
    }

private:
    static constexpr std::int16_t end_mark = -1;
    struct edge {
        std::int16_t byte = end_mark;  // end_mark: a branch ends here
        std::size_t child = 0;
    };
    struct node {
        std::vector<edge> edges;
        std::size_t search_start = 0;
    };

    static std::uint32_t node_size(const node& nd) {
        const std::size_t e = nd.edges.size();
        std::size_t ends = 0;
        for (const edge& ed : nd.edges) ends += ed.byte == end_mark;
        std::size_t size = (e - 1) + 2 * (e - ends) + ends;
        if (nd.edges.back().byte != end_mark) --size;  // the child follows directly
        return static_cast<std::uint32_t>(size);
    }

    // Depth first with an explicit stack; the child of a node's last edge is pushed last and
    // so laid out right after its parent, which lets that edge fall through without a jump.
    void lay_out() {
        position_.assign(nodes_.size(), 0);
        std::vector<std::size_t> stack{0};
        while (!stack.empty()) {
            const std::size_t id = stack.back();
            stack.pop_back();
            position_[id] = size_;
            order_.push_back(id);
            size_ += node_size(nodes_[id]);
            for (const edge& e : nodes_[id].edges)
                if (e.byte != end_mark) stack.push_back(e.child);
        }
    }

    std::vector<node> nodes_;
    std::vector<std::size_t> order_;     // nodes in layout order
    std::vector<std::uint32_t> position_;  // per node: first instruction within the trie
    std::uint32_t size_ = 0;
};

// ---- the lowering --------------------------------------------------------------------------

class lowering {
public:
    lowering(const program& prog, bool allow_assertions, std::uint32_t max_instructions)
        : prog_(prog), allow_assertions_(allow_assertions), max_(max_instructions) {}

    byte_program run() {
        out_.unicode = prog_.unicode;
        out_.ok = prescan() && size_pass() && emit_pass();
        if (!out_.ok) {
            out_.instructions.clear();
            out_.byte_sets.clear();
        }
        return std::move(out_);
    }

private:
    bool prescan() {
        if (prog_.instructions.empty()) return false;
        for (const instruction& in : prog_.instructions) {
            switch (in.op) {
                case opcode::lookaround:
                case opcode::possessive_byte:
                case opcode::possessive_set:
                case opcode::possessive_cp:
                    return false;
                case opcode::assert:
                    if (!allow_assertions_ || in.index != 0) return false;
                    out_.has_assertions = true;
                    break;
                case opcode::klass_cp:
                    if (in.index >= prog_.classes.size()) return false;
                    break;
                default:
                    break;
            }
        }
        out_.byte_sets = prog_.byte_sets;
        return true;
    }

    const class_block& expansion(std::uint16_t klass) {
        if (blocks_.empty()) blocks_.resize(prog_.classes.size());
        std::unique_ptr<class_block>& b = blocks_[klass];
        if (!b) b = std::make_unique<class_block>(expand_class(prog_, klass));
        return *b;
    }

    bool size_pass() {
        const std::vector<instruction>& code = prog_.instructions;
        const std::size_t n = code.size();
        map_.assign(n + 1, 0);
        not_a_trie_.assign(n, false);
        std::uint64_t count = 0;
        std::size_t i = 0;
        while (i < n) {
            const instruction& in = code[i];
            if (in.op == opcode::klass_cp) {
                map_[i] = static_cast<std::int32_t>(count);
                count += expansion(in.index).size;
                const std::size_t after = std::min(n, i + code_point_step_slots);
                for (std::size_t k = i + 1; k < after; ++k)
                    map_[k] = static_cast<std::int32_t>(count);
                if (count > max_) return false;
                i = after;
                continue;
            }
            if (in.op == opcode::split && !not_a_trie_[i]) {
                bool mismatch = false;
                auto alt = find_literal_alternation(code, static_cast<std::int32_t>(i), chain_,
                                                    mismatch);
                // The later splits of a chain that is no trie are no trie either (they start
                // shorter alternations of the same shape); remembering them keeps this pass
                // linear on a long chain.
                if (!mismatch && !(alt && alt->branches.size() >= literal_trie_min_branches)) {
                    for (std::int32_t k : chain_) not_a_trie_[static_cast<std::size_t>(k)] = true;
                }
                if (alt && alt->branches.size() >= literal_trie_min_branches) {
                    for (std::size_t k = i; k < static_cast<std::size_t>(alt->end); ++k)
                        map_[k] = static_cast<std::int32_t>(count);
                    tries_.push_back({i, alt->end, std::make_unique<literal_trie>(code, *alt)});
                    count += tries_.back().trie->size();
                    i = static_cast<std::size_t>(alt->end);
                    continue;
                }
            }
            map_[i] = static_cast<std::int32_t>(count++);
            ++i;
        }
        map_[n] = static_cast<std::int32_t>(count);
        return true;
    }

    std::int32_t remap(std::int32_t target) const {
        if (target < 0 || static_cast<std::size_t>(target) >= map_.size()) return target;
        return map_[static_cast<std::size_t>(target)];
    }

    bool emit_block(const class_block& b, std::int32_t continuation) {
        std::vector<instruction>& out = out_.instructions;
        if (b.root < 0) {
            if (out_.byte_sets.size() >= max_byte_sets) return false;
            const auto empty = static_cast<std::uint16_t>(out_.byte_sets.size());
            out.push_back(instruction{opcode::byte_set, 0, empty});
            out_.byte_sets.emplace_back();
            return true;
        }
        const auto base = static_cast<std::int32_t>(out.size());
        for (std::int32_t id : b.layout) {
            const range_node& nd = b.nodes[static_cast<std::size_t>(id)];
            for (std::size_t k = 0; k < nd.edges.size(); ++k) {
                const range_edge& e = nd.edges[k];
                const auto here = static_cast<std::int32_t>(out.size());
                if (k + 1 < nd.edges.size())
                    out.push_back(instruction{opcode::split, 0, 0, here + 1, here + 3});
                const auto set = range_sets_.find_or_add(e.lo, e.hi, out_.byte_sets);
                if (!set) return false;
                out.push_back(instruction{opcode::byte_set, 0, *set});
                const std::int32_t to =
                    e.target == done_target
                        ? continuation
                        : base + static_cast<std::int32_t>(
                                     b.offset[static_cast<std::size_t>(e.target)]);
                out.push_back(instruction{opcode::jump, 0, 0, to});
            }
        }
        return true;
    }

    bool emit_pass() {
        const std::vector<instruction>& code = prog_.instructions;
        const std::size_t n = code.size();
        out_.instructions.reserve(static_cast<std::size_t>(map_[n]));
        std::size_t next_trie = 0;
        std::size_t i = 0;
        while (i < n) {
            const instruction& in = code[i];
            if (in.op == opcode::klass_cp) {
                const std::size_t after = std::min(n, i + code_point_step_slots);
                if (!emit_block(expansion(in.index), map_[after])) return false;
                i = after;
                continue;
            }
            if (next_trie < tries_.size() && tries_[next_trie].start == i) {
                const pending_trie& t = tries_[next_trie++];
                t.trie->emit(out_.instructions, map_[static_cast<std::size_t>(t.end)]);
                i = static_cast<std::size_t>(t.end);
                continue;
            }
            instruction copy = in;
            copy.x = remap(in.x);
            copy.y = remap(in.y);
            out_.instructions.push_back(copy);
            ++i;
        }
        return true;
    }

    struct pending_trie {
        std::size_t start;
        std::int32_t end;
        std::unique_ptr<literal_trie> trie;
    };

    const program& prog_;
    const bool allow_assertions_;
    const std::uint32_t max_;
    byte_program out_;
    std::vector<std::int32_t> map_;  // code-point instruction -> byte-program index
    std::vector<std::unique_ptr<class_block>> blocks_;  // per class index, made on first use
    std::vector<pending_trie> tries_;  // in program order
    std::vector<bool> not_a_trie_;     // splits known not to start a trie
    std::vector<std::int32_t> chain_;
    range_set_table range_sets_;
};

}  // namespace

byte_program lower_to_bytes(const program& prog, bool allow_assertions,
                            std::uint32_t max_instructions) {
    return lowering(prog, allow_assertions, max_instructions).run();
}

byte_class_map compute_byte_classes(const byte_program& bp) {
    byte_class_map map;
    if (!bp.ok) return map;

    std::vector<byte_set> sets;
    byte_set literals;
    bool any_assert = false;
    bool cr_lines = false;
    for (const instruction& in : bp.instructions) {
        if (in.op == opcode::byte_set && in.index < bp.byte_sets.size()) {
            sets.push_back(bp.byte_sets[in.index]);
        } else if (in.op == opcode::byte) {
            literals.set(in.arg);
        } else if (in.op == opcode::assert) {
            any_assert = true;
            const auto kind = static_cast<assert_kind>(in.arg);
            cr_lines = cr_lines || kind == assert_kind::line_start_cr ||
                       kind == assert_kind::line_end_cr;
        }
    }
    if (any_assert) {
        byte_set lines;
        lines.set('\n');
        if (cr_lines) lines.set('\r');
        sets.push_back(lines);
        sets.push_back(ascii_word_bytes());
        byte_set high;
        high.set_range(0x80, 0xFF);
        sets.push_back(high);
    }
    for (unsigned b = 0; b < 256; ++b) {
        if (!literals.test(static_cast<std::uint8_t>(b))) continue;
        byte_set one;
        one.set(static_cast<std::uint8_t>(b));
        sets.push_back(one);
    }
    std::sort(sets.begin(), sets.end(),
              [](const byte_set& a, const byte_set& b) { return a.words < b.words; });
    sets.erase(std::unique(sets.begin(), sets.end()), sets.end());

    // Refinement: bytes stay together while every set seen so far holds both or neither.
    std::array<std::uint16_t, 256> cls{};
    for (const byte_set& s : sets) {
        std::array<std::int16_t, 512> renumber;
        renumber.fill(-1);
        std::int16_t next = 0;
        for (unsigned b = 0; b < 256; ++b) {
            const std::size_t key = cls[b] * 2u + (s.test(static_cast<std::uint8_t>(b)) ? 1u : 0u);
            if (renumber[key] < 0) renumber[key] = next++;
            cls[b] = static_cast<std::uint16_t>(renumber[key]);
        }
    }
    // Renumbering in first appearance at every step keeps the order of first appearance.
    std::uint32_t count = 0;
    for (unsigned b = 0; b < 256; ++b) {
        map.classes[b] = static_cast<std::uint8_t>(cls[b]);
        count = std::max<std::uint32_t>(count, cls[b] + 1u);
    }
    map.count = count;
    return map;
}

}  // namespace kestrel
