// The one-pass matcher (see one_pass.h).
//
// When it is chosen.  The regex's lazy slot builds the table once a regex with capture groups
// has been called often enough to repay the build; the selection chain then uses it instead of
// the Pike VM when it is usable.  Patterns without groups gain nothing from it (the special
// shapes and the backtracker serve them), and patterns that are not one-pass keep the reason.
//
// Build.  A node stands for a point between two bytes: the instruction right after a
// consuming instruction (jumps followed), or instruction 0 for the start.  From each node the
// builder explores the epsilon closure depth first, in priority order (split's x before y),
// carrying the capture slots written and the assertions passed on the way.  A consuming
// instruction sets the node's transition for each class it accepts; a second, different
// transition for the same class means two ways to go on for one byte: not one-pass.  Reaching
// `match` records the node's match; reaching it a second time with other slots or assertions
// is refused as well.  Whether each transition was set before or after the match tells the
// node's kind: a match that all transitions outrank (the run records it and goes on), a match
// that outranks all of them (the run stops there), or a match in between, which one table
// entry per class cannot express, so such a table is built but not enabled.
//
// Exploring an instruction that is already on the current path means an epsilon cycle: a
// loop whose body can match empty.  Those are refused, so a one-pass run never meets an empty
// iteration of a loop and needs no rule for one.  A diamond (two paths that meet again) is
// explored once per distinct (instruction, slots, assertions): a second walk from there would
// set exactly what the first set, so it is skipped, which keeps the build linear in the size
// of the closure rather than in the number of paths through it.
//
// Minimisation.  Many nodes behave alike (every node inside an unrolled repeat, the tails of
// a trie), so the nodes are merged by Moore's partition refinement: first grouped by their
// kind, match and which classes they take with which masks, then split by the groups of their
// targets until nothing splits.  Each pass costs (3 x classes + 4) x nodes steps, and the
// passes together stay within a work budget; a program that would exceed it is refused.
//
// Run.  One lookup per byte: the class of the byte, the entry of the node's row.  Slots
// written on a transition go to a pending array; a match commits them, so a run that goes on
// past a match and then fails still returns the slots of the last match.  No allocation.
//
// Limits: at most 10 capture slots, 65,000 nodes before minimisation and 8 MiB of table after.
//
// Tests: tests/cpp/test_one_pass.cpp (golden tables and refusals, and the table against the
// Pike VM on the match corpus and on random patterns).
#include "kestrel/one_pass.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "kestrel/assertions.h"
#include "kestrel/program_dump.h"

namespace kestrel {

namespace {

// Assertion kinds 0-10 have a bit of their own; any other kind (which never holds) shares the
// top bit.
constexpr std::uint16_t never_bit = 15;

// Calls f with the index of every set bit of mask, lowest first.
template <class F>
void for_each_bit(std::uint16_t mask, F&& f) {
    for (unsigned w = mask; w != 0; w &= w - 1) f(__builtin_ctz(w));
}

std::uint16_t assertion_bit(std::uint8_t kind) {
    return static_cast<std::uint16_t>(1u << (kind <= 10 ? kind : never_bit));
}

constexpr const char* reason_ineligible =
    "the byte-program is itself ineligible (a lookaround, or a word-ness-flipped assertion)";
constexpr const char* reason_slots = "too many capture slots: the general Pike VM keeps these";
constexpr const char* reason_node_cap = "node cap exceeded";
constexpr const char* reason_cycle = "epsilon cycle (a nullable loop): not one-pass";
constexpr const char* reason_conflict = "byte-class conflict: not one-pass";
constexpr const char* reason_second_match = "second distinct match: not one-pass";
constexpr const char* reason_unexpected =
    "unexpected op in byte-program (lookaround/klass_cp should be absent)";
constexpr const char* reason_work = "one-pass minimization exceeded its work budget: not one-pass";
constexpr const char* reason_size = "one-pass table too large after minimization (MB)";

// Groups equal signatures into blocks numbered by first appearance: FNV-1a 64 over the
// signature's 32-bit words, 4,096 chained buckets by the low 12 bits, full comparison on a
// hit.
class block_numbering {
public:
    block_numbering() : buckets_(4096) {}

    std::uint32_t block_of(const std::vector<std::uint32_t>& signature) {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (std::uint32_t w : signature) {
            for (int shift = 0; shift < 32; shift += 8)
                h = (h ^ ((w >> shift) & 0xFFu)) * 0x100000001b3ull;
        }
        std::vector<std::uint32_t>& chain = buckets_[h & 4095u];
        for (std::uint32_t b : chain) {
            if (signatures_[b] == signature) return b;
        }
        const auto b = static_cast<std::uint32_t>(signatures_.size());
        signatures_.push_back(signature);
        chain.push_back(b);
        return b;
    }
    std::uint32_t count() const noexcept { return static_cast<std::uint32_t>(signatures_.size()); }

private:
    std::vector<std::vector<std::uint32_t>> buckets_;
    std::vector<std::vector<std::uint32_t>> signatures_;
};

}  // namespace

// All the state of one build; the table keeps only what the run needs.
class one_pass_builder {
public:
    one_pass_builder(one_pass_table& table, const byte_program& bp)
        : t_(table), bp_(bp), classes_(table.classes_.count) {}

    void build() {
        std::int32_t highest = -1;
        for (const instruction& in : bp_.instructions)
            if (in.op == opcode::save) highest = std::max<std::int32_t>(highest, in.index);
        t_.slot_count_ = static_cast<std::uint32_t>(highest + 1);
        if (t_.slot_count_ > one_pass_table::max_slots) {
            return t_.refuse(reason_slots, static_cast<std::int32_t>(t_.slot_count_));
        }
        node_of_.assign(bp_.instructions.size(), -1);
        on_path_.assign(bp_.instructions.size(), 0);
        class_lists_.resize(bp_.byte_sets.size());
        node_for(0);
        while (!work_.empty() && t_.is_one_pass_) {
            const std::int32_t i = work_.back();
            work_.pop_back();
            explore(i, node_of_[static_cast<std::size_t>(i)]);
            if (t_.is_one_pass_ && nodes_.size() > one_pass_table::node_cap)
                t_.refuse(reason_node_cap, static_cast<std::int32_t>(nodes_.size()));
        }
        if (t_.is_one_pass_) minimise();
        if (t_.is_one_pass_) check_size();
        if (t_.is_one_pass_) emit();
    }

private:
    struct transition {
        std::int32_t target = -1;
        std::uint16_t slots = 0;
        std::uint16_t asserts = 0;
        friend bool operator==(const transition&, const transition&) = default;
    };
    struct node {
        bool has_match = false;
        one_pass_match match;
        bool set_before_match = false;  // a transition outranks the match
        bool set_after_match = false;   // the match outranks a transition
    };
    struct frame {
        std::int32_t i;
        std::uint16_t slots;
        std::uint16_t asserts;
        std::uint8_t stage;  // 0: not entered; 1: split's x done; 2: all done
    };

    std::uint8_t kind(std::size_t n) const {
        const node& nd = nodes_[n];
        if (!nd.has_match) return static_cast<std::uint8_t>(one_pass_kind::no_match);
        if (nd.set_before_match && nd.set_after_match)
            return static_cast<std::uint8_t>(one_pass_kind::match_between);
        if (nd.set_before_match)
            return static_cast<std::uint8_t>(one_pass_kind::match_after_transitions);
        return static_cast<std::uint8_t>(one_pass_kind::match_first);
    }

    transition& at(std::size_t n, std::size_t c) { return transitions_[n * classes_ + c]; }

    std::int32_t node_for(std::int32_t i) {
        std::int32_t& n = node_of_[static_cast<std::size_t>(i)];
        if (n < 0) {
            n = static_cast<std::int32_t>(nodes_.size());
            nodes_.emplace_back();
            transitions_.resize(transitions_.size() + classes_);
            work_.push_back(i);
        }
        return n;
    }

    // Ascending distinct classes of the bytes of byte set s (made on first use).
    const std::vector<std::uint8_t>& class_list(std::uint16_t s) {
        std::vector<std::uint8_t>& list = class_lists_[s];
        if (list.empty()) {
            std::array<bool, 256> seen{};
            for (unsigned b = 0; b < 256; ++b) {
                if (bp_.byte_sets[s].test(static_cast<std::uint8_t>(b)))
                    seen[t_.classes_.classes[b]] = true;
            }
            for (unsigned c = 0; c < 256; ++c)
                if (seen[c]) list.push_back(static_cast<std::uint8_t>(c));
        }
        return list;
    }

    bool in_range(std::int32_t i) const {
        return i >= 0 && static_cast<std::size_t>(i) < bp_.instructions.size();
    }

    // A consuming instruction i reached from node n with these masks.
    void consume(std::int32_t i, const frame& f, std::int32_t n) {
        const std::vector<instruction>& code = bp_.instructions;
        std::int32_t next = i + 1;
        for (std::size_t hops = 0; hops < code.size() && in_range(next) &&
                                   code[static_cast<std::size_t>(next)].op == opcode::jump;
             ++hops) {
            next = code[static_cast<std::size_t>(next)].x;
        }
        if (!in_range(next)) return t_.refuse(reason_unexpected);
        const transition want{node_for(next), f.slots, f.asserts};
        auto set = [&](std::size_t c) {
            transition& tr = at(static_cast<std::size_t>(n), c);
            if (tr.target < 0) {
                tr = want;
                node& nd = nodes_[static_cast<std::size_t>(n)];
                (nd.has_match ? nd.set_after_match : nd.set_before_match) = true;
            } else if (!(tr == want)) {
                t_.refuse(reason_conflict, n, static_cast<std::int32_t>(c), i);
            }
        };
        const instruction& in = code[static_cast<std::size_t>(i)];
        if (in.op == opcode::byte) return set(t_.classes_.classes[in.arg]);
        if (in.index >= bp_.byte_sets.size()) return t_.refuse(reason_unexpected);
        for (std::uint8_t c : class_list(in.index)) {
            set(c);
            if (!t_.is_one_pass_) return;
        }
    }

    void reach_match(const frame& f, std::int32_t n) {
        node& nd = nodes_[static_cast<std::size_t>(n)];
        if (!nd.has_match) {
            nd.has_match = true;
            nd.match = {f.slots, f.asserts, 0};
        } else if (nd.match.slot_mask != f.slots || nd.match.assert_mask != f.asserts) {
            t_.refuse(reason_second_match, n);
        }
    }

    // Depth-first walk of the epsilon closure of instruction `from` for node n, with an
    // explicit stack (a closure may be as deep as the program is long).
    void explore(std::int32_t from, std::int32_t n) {
        explored_.clear();
        std::vector<frame>& stack = stack_;
        stack.clear();
        stack.push_back({from, 0, 0, 0});
        auto key = [](const frame& f) {
            return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(f.i)) << 32) |
                   (static_cast<std::uint64_t>(f.slots) << 16) | f.asserts;
        };
        auto finish = [&] {
            const frame f = stack.back();
            stack.pop_back();
            on_path_[static_cast<std::size_t>(f.i)] = 0;
            explored_.insert(key(f));
        };
        auto enter = [&](std::int32_t i, std::uint16_t slots, std::uint16_t asserts) {
            if (!in_range(i)) return t_.refuse(reason_unexpected);
            stack.push_back({i, slots, asserts, 0});
        };
        while (!stack.empty() && t_.is_one_pass_) {
            frame& top = stack.back();
            const frame f = top;
            const instruction& in = bp_.instructions[static_cast<std::size_t>(f.i)];
            if (f.stage == 2) {
                finish();
                continue;
            }
            if (f.stage == 1) {
                top.stage = 2;
                enter(in.y, f.slots, f.asserts);
                continue;
            }
            if (explored_.count(key(f)) != 0) {
                stack.pop_back();
                continue;
            }
            if (on_path_[static_cast<std::size_t>(f.i)])
                return t_.refuse(reason_cycle, -1, -1, f.i);
            on_path_[static_cast<std::size_t>(f.i)] = 1;
            switch (in.op) {
                case opcode::byte:
                case opcode::byte_set:
                    consume(f.i, f, n);
                    finish();
                    break;
                case opcode::match:
                    reach_match(f, n);
                    finish();
                    break;
                case opcode::split:
                    top.stage = 1;
                    enter(in.x, f.slots, f.asserts);
                    break;
                case opcode::jump:
                    top.stage = 2;
                    enter(in.x, f.slots, f.asserts);
                    break;
                case opcode::save:
                    top.stage = 2;
                    enter(f.i + 1, static_cast<std::uint16_t>(f.slots | (1u << in.index)),
                          f.asserts);
                    break;
                case opcode::assert:
                    top.stage = 2;
                    enter(f.i + 1, f.slots,
                          static_cast<std::uint16_t>(f.asserts | assertion_bit(in.arg)));
                    break;
                default:
                    return t_.refuse(reason_unexpected);
            }
        }
    }

    // Moore's partition refinement; leaves block_ (node -> block) and block_count_.
    void minimise() {
        const std::size_t count = nodes_.size();
        const std::uint64_t pass_work = (3ull * classes_ + 4) * count;
        block_.assign(count, 0);
        {
            block_numbering numbering;
            std::vector<std::uint32_t> sig;
            for (std::size_t n = 0; n < count; ++n) {
                sig.assign({kind(n), nodes_[n].match.slot_mask, nodes_[n].match.assert_mask});
                for (std::size_t c = 0; c < classes_; ++c) {
                    const transition& tr = at(n, c);
                    if (tr.target < 0) continue;
                    sig.insert(sig.end(), {static_cast<std::uint32_t>(c), tr.slots, tr.asserts});
                }
                block_[n] = numbering.block_of(sig);
            }
            block_count_ = numbering.count();
        }
        std::uint64_t done = 0;
        for (;;) {
            if (done + pass_work > one_pass_table::work_budget) {
                return t_.refuse(reason_work, static_cast<std::int32_t>(count));
            }
            done += pass_work;
            block_numbering numbering;
            std::vector<std::uint32_t> next(count);
            std::vector<std::uint32_t> sig;
            for (std::size_t n = 0; n < count; ++n) {
                sig.assign({block_[n]});
                for (std::size_t c = 0; c < classes_; ++c) {
                    const transition& tr = at(n, c);
                    if (tr.target >= 0)
                        sig.push_back(block_[static_cast<std::size_t>(tr.target)] + 1);
                }
                next[n] = numbering.block_of(sig);
            }
            const bool stable = numbering.count() == block_count_;
            block_.swap(next);
            block_count_ = numbering.count();
            if (stable) return;
        }
    }

    void check_size() {
        const std::uint64_t size =
            static_cast<std::uint64_t>(block_count_) * classes_ * one_pass_table::transition_bytes;
        if (size > one_pass_table::max_table_bytes)
            t_.refuse(reason_size, static_cast<std::int32_t>(size / 1048576));
    }

    void emit() {
        // The first node of each block stands for it (blocks are numbered by first
        // appearance, so node 0 stays node 0).
        std::vector<std::int32_t> representative(block_count_, -1);
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            std::int32_t& r = representative[block_[n]];
            if (r < 0) r = static_cast<std::int32_t>(n);
        }
        std::vector<std::uint8_t> kinds(block_count_);
        for (std::uint32_t b = 0; b < block_count_; ++b)
            kinds[b] = kind(static_cast<std::size_t>(representative[b]));
        t_.table_.assign(static_cast<std::size_t>(block_count_) * classes_, one_pass_entry{});
        t_.matches_.assign(block_count_, one_pass_match{});
        for (std::uint32_t b = 0; b < block_count_; ++b) {
            const auto n = static_cast<std::size_t>(representative[b]);
            if (kinds[b] == static_cast<std::uint8_t>(one_pass_kind::match_between))
                t_.enabled_ = false;
            t_.matches_[b] = nodes_[n].match;
            t_.matches_[b].kind = kinds[b];
            for (std::size_t c = 0; c < classes_; ++c) {
                const transition& tr = at(n, c);
                if (tr.target < 0) continue;
                const std::uint32_t to = block_[static_cast<std::size_t>(tr.target)];
                one_pass_entry& e = t_.table_[b * classes_ + c];
                e.next_row = static_cast<std::int32_t>(to * classes_);
                e.next_word = to | (static_cast<std::uint32_t>(kinds[to]) << 24);
                e.slot_mask = tr.slots;
                e.assert_mask = tr.asserts;
            }
        }
        t_.node_count_ = block_count_;
        t_.start_word_ = static_cast<std::uint32_t>(kinds[0]) << 24;
    }

    one_pass_table& t_;
    const byte_program& bp_;
    const std::size_t classes_;
    std::vector<node> nodes_;
    std::vector<transition> transitions_;  // node x class
    std::vector<std::int32_t> node_of_;    // per instruction
    std::vector<std::int32_t> work_;       // instructions whose node is still to explore
    std::vector<std::uint8_t> on_path_;
    std::vector<std::vector<std::uint8_t>> class_lists_;
    std::vector<frame> stack_;
    std::unordered_set<std::uint64_t> explored_;
    std::vector<std::uint32_t> block_;
    std::uint32_t block_count_ = 0;
};

void one_pass_table::refuse(const char* why, std::int32_t d1, std::int32_t d2, std::int32_t d3) {
    is_one_pass_ = false;
    reason_ = why;
    details_[0] = d1;
    details_[1] = d2;
    details_[2] = d3;
    table_.clear();
    matches_.clear();
    node_count_ = 0;
}

void one_pass_table::build(const byte_program& bp, const byte_class_map& classes) {
    *this = one_pass_table{};
    classes_ = classes;
    ascii_words_ = !bp.unicode;
    if (!bp.ok || classes.count == 0) return refuse(reason_ineligible);
    one_pass_builder(*this, bp).build();
}

bool one_pass_table::holds(std::uint16_t mask, std::uint32_t pos, const std::uint8_t* subject,
                           std::uint32_t length) const noexcept {
    while (mask != 0) {
        const int kind = __builtin_ctz(mask);
        mask = static_cast<std::uint16_t>(mask & (mask - 1));
        if (kind > 10) return false;
        if (!assertion_holds(static_cast<std::uint8_t>(kind), pos, ascii_words_, subject, length))
            return false;
    }
    return true;
}

std::int64_t one_pass_table::run(std::uint32_t start, slot_vector& out,
                                 const std::uint8_t* subject, std::uint32_t length) const {
    out.assign(slot_count_, -1);
    if (!usable() || start > length) return -1;
    // Indexed by slot; a mask bit above the slot count is never set.
    std::int32_t pending[16];
    std::int32_t committed[16];
    std::fill(std::begin(pending), std::end(pending), -1);
    std::fill(std::begin(committed), std::end(committed), -1);
    std::uint16_t written = 0;
    std::int64_t result = -1;
    std::uint32_t word = start_word_;
    std::int32_t row = 0;
    for (std::uint32_t pos = start;; ++pos) {
        const auto kind = static_cast<one_pass_kind>(word >> 24);
        if (kind != one_pass_kind::no_match) {
            const one_pass_match& m = matches_[word & 0xFFFFFFu];
            if (holds(m.assert_mask, pos, subject, length)) {
                for_each_bit(written, [&](int s) { committed[s] = pending[s]; });
                written = m.slot_mask;
                const auto at = static_cast<std::int32_t>(pos);
                for_each_bit(written, [&](int s) { committed[s] = at; });
                result = pos;
                if (kind == one_pass_kind::match_first) break;
            }
        }
        if (pos == length) break;
        const one_pass_entry& e =
            table_[static_cast<std::size_t>(row) + classes_.classes[subject[pos]]];
        if (e.next_row < 0) break;
        if (e.assert_mask != 0 && !holds(e.assert_mask, pos, subject, length)) break;
        for_each_bit(e.slot_mask, [&](int s) { pending[s] = static_cast<std::int32_t>(pos); });
        written = static_cast<std::uint16_t>(written | e.slot_mask);
        row = e.next_row;
        word = e.next_word;
    }
    if (result >= 0) {
        for (std::uint32_t s = 0; s < slot_count_; ++s) out[s] = committed[s];
    }
    return result;
}

namespace {

// "0,2" for the bits of a mask, "-" for none.
std::string mask_text(std::uint16_t mask) {
    if (mask == 0) return "-";
    std::string out;
    for (int b = 0; b < 16; ++b) {
        if (!(mask & (1u << b))) continue;
        if (!out.empty()) out += ',';
        out += std::to_string(b);
    }
    return out;
}

std::string masks_text(std::uint16_t slots, std::uint16_t asserts) {
    std::string out = " slots " + mask_text(slots);
    if (asserts != 0) out += " asserts " + mask_text(asserts);
    return out;
}

}  // namespace

std::string dump_one_pass(const one_pass_table& t) {
    if (!t.is_one_pass()) {
        return "one-pass refused: " + t.reason() + " (details " + std::to_string(t.detail(1)) +
               " " + std::to_string(t.detail(2)) + " " + std::to_string(t.detail(3)) + ")\n";
    }
    std::string out = "one-pass table: " + std::to_string(t.node_count()) + " nodes, " +
                      std::to_string(t.class_count()) + " classes, " +
                      std::to_string(t.slot_count()) + " slots, " +
                      (t.enabled() ? "enabled" : "not enabled (a match between transitions)") +
                      (t.ascii_words() ? ", ascii words" : "") + "\n";
    out += dump_byte_classes(t.class_map());
    for (std::uint32_t n = 0; n < t.node_count(); ++n) {
        out += "node " + std::to_string(n);
        const one_pass_match& m = t.match_of(n);
        const unsigned node_kind = m.kind;
        out += " kind " + std::to_string(node_kind);
        if (node_kind != 0) out += " match" + masks_text(m.slot_mask, m.assert_mask);
        out += "\n";
        for (std::uint32_t c = 0; c < t.class_count(); ++c) {
            const one_pass_entry& e = t.entry(n, c);
            if (e.next_row < 0) continue;
            out += "  class " + std::to_string(c) + " -> node " +
                   std::to_string(e.next_word & 0xFFFFFFu) +
                   masks_text(e.slot_mask, e.assert_mask) + "\n";
        }
    }
    return out;
}

one_pass_table build_one_pass(const program& prog) {
    const bool has_assert =
        std::any_of(prog.instructions.begin(), prog.instructions.end(),
                    [](const instruction& in) { return in.op == opcode::assert; });
    const byte_program bp = lower_to_bytes(prog, has_assert, lazy_lowering_budget);
    one_pass_table table;
    table.build(bp, compute_byte_classes(bp));
    return table;
}

}  // namespace kestrel
