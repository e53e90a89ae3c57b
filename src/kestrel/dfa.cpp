// The DFA: longest match of an ordered list of patterns, one table lookup per byte.
//
// What it is for.  A lexer asks at every token start which of a mode's rules matches longest.
// Running each rule's own matcher costs one program run per candidate; a deterministic
// automaton built ahead of time from all the rules answers the same question in one pass,
// one lookup per byte, whatever the number of rules.  It can only do so for patterns a finite
// automaton expresses (no lookaround, no possessive loop, no zero-width test other than the
// start anchor) and, because it computes the longest match, only for patterns whose own
// priority match is always their longest (agreement_check.cpp decides that).
//
// Construction (subset construction over byte classes):
// 1. Each pattern is checked for refused constructs, lowered to a byte program (every
//    consuming instruction reads one byte) within 512 instructions, and appended to a union
//    program: targets and set indices offset, match instructions tagged with the rule.
// 2. Byte classes: bytes that no byte or byte_set instruction of the union tells apart share
//    a class, so the tables have one column per class instead of 256.
// 3. A state is the closure of a set of instructions: everything reachable without reading a
//    byte (split, jump, save, and the start anchor only in the start state).  States are
//    interned by their closure set; the empty set is state 0, the dead state.  The start
//    state is the closure of every rule's first instruction.  A state accepts the rules whose
//    match instruction it holds; the lowest rule wins ties, which is the lexer's tie rule.
// 4. Transitions are filled state by state, class by class: the move list (successors of the
//    state's consuming instructions that accept the class) is looked up in a cache first, so
//    two states that move to the same instructions share one closure computation.  The build
//    refuses past max_dfa_states states.
// 5. Minimisation by partition refinement (Moore): states start in blocks by accept set and
//    are split by the blocks their transitions reach until no block splits.  The dead state's
//    row is all zeros, so it stays state 0.  The output states are numbered dead first, then
//    those that accept nothing, then the accepting ones, and the table holds each target as
//    its row offset (state times class count): the scan's next row is one load away and an
//    accepting state is any row at or past the first accepting one.
//
// Matching and the memo.  The scan runs from the offset, remembering the last accepting
// state, and stops on the dead state or at the end of the subject.  A lexer calls it at
// every token start of one subject; a text that keeps a rule alive for a long stretch and
// then fails (an unterminated string) would be rescanned from every later start, quadratic
// in total.  The memo breaks that: a scan that ran more than 32 bytes past its last accept
// records each (state, position) it passed there, and a later scan that reaches a recorded
// pair stops at once, since nothing accepting can follow it.  Each pair is recorded once, so
// the total cost stays linear.  The memo records positions in blocks of 4,096 bits per
// state, allocated on first write and found through a small open-addressed table, so its
// memory grows with what was recorded, never with states times the subject's length.  And
// since a scan reads only positions after its start and the lexer's scans never start
// further back than the one before, blocks wholly behind the current start are dropped (and
// their storage reused) every 16 blocks of progress: what the memo holds is bounded by the
// stretch of text that recorded tails span ahead of the cursor, not by the text.
//
// Limits: a caller that goes back to an earlier start (none in the lexer) still gets right
// answers, only fewer early stops.  bench/bench_lex.cpp measures the memo's peak memory.
//
// Escaping rules.  A caller may mark rules whose automaton stands in for them only on ASCII
// text.  Classes are then split at 0x80, and every state holding a consuming instruction of
// such a rule sends each class from 0x80 up to the escape state (state 1, right after the
// dead state, with an accept set of its own so that minimisation keeps it apart).  A scan
// that reaches it stops with `escaped` and records nothing, since it did not learn where its
// rules end; recorded tails therefore never pass an escape, and a later scan that meets one
// would have followed the same path.  Dead and escape rows are the rows at or below one
// bound, so the scan still tests one bound per byte.
//
// The scan is inline (dfa.h) for every call but a first one with a memo and one that must
// record a tail, which take match_general; both give the same answer.  Eager lexing asks
// `longest`, which while the memo is empty scans four bytes between tests (dfa.h says why
// that holds) and leaves out open_end and reach; otherwise it is `match`.
//
// `open_end` says whether bytes appended to the subject could change the answer: false when
// the scan died, at the end of the subject whether the state has a live transition, and on a
// memo hit whether any recorded tail ever stopped alive (conservative).
//
// Tests: tests/cpp/test_dfa.cpp (construction, minimisation, the memo, the messages and the
// agreement check), tests/python/test_dfa.py (through the lexer).
#include "kestrel/dfa.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <map>
#include <numeric>
#include <unordered_map>

namespace kestrel {

namespace {

using list_map = std::unordered_map<std::vector<std::uint32_t>, std::uint32_t, index_list_hash>;

bool is_consuming(opcode op) noexcept { return op == opcode::byte || op == opcode::byte_set; }

}  // namespace

byte_program lower_for_dfa(const program& prog) {
    for (const instruction& in : prog.instructions) {
        if (in.op == opcode::assert && in.arg != static_cast<std::uint8_t>(assert_kind::text_start)) {
            throw dfa_error(dfa_message_assertion);
        }
        if (in.op == opcode::lookaround) throw dfa_error(dfa_message_lookaround);
        if (in.op == opcode::possessive_byte || in.op == opcode::possessive_set ||
            in.op == opcode::possessive_cp) {
            throw dfa_error(dfa_message_possessive);
        }
    }
    byte_program bp = lower_to_bytes(prog, true, dfa_byte_budget);
    if (!bp.ok) throw dfa_error(dfa_message_expansion);
    return bp;
}

void append_to_union(union_program& u, const byte_program& bp) {

    const auto base = static_cast<std::int64_t>(u.instructions.size());
    const auto set_base = static_cast<std::uint32_t>(u.byte_sets.size());
    const auto len = static_cast<std::int64_t>(bp.instructions.size());
    auto target = [&](std::int32_t t) -> std::int64_t {
        // A target at (or past) the end of its own program leads nowhere: a thread there dies,
        // as it does in the Pike VM.  It must not run into the next rule's instructions.
        return t >= 0 && t < len ? base + t : -1;
    };
    u.starts.push_back(static_cast<std::uint32_t>(base));
    for (const instruction& in : bp.instructions) {
        union_instruction out;
        out.op = in.op;
        out.arg = in.arg;
        if (in.op == opcode::byte_set) out.set = set_base + in.index;
        if (in.op == opcode::split) {
            out.x = target(in.x);
            out.y = target(in.y);
        } else if (in.op == opcode::jump) {
            out.x = target(in.x);
        }
        u.instructions.push_back(out);
        u.tags.push_back(in.op == opcode::match ? static_cast<std::int32_t>(u.rule_count) : -1);
    }
    u.byte_sets.insert(u.byte_sets.end(), bp.byte_sets.begin(), bp.byte_sets.end());
    ++u.rule_count;
}

union_classes classes_of(const union_program& u, bool split_ascii) {
    // Every distinct set a consuming instruction tests; a literal byte is the set of itself.
    std::vector<byte_set> sets;
    auto add = [&](const byte_set& s) {
        if (std::find(sets.begin(), sets.end(), s) == sets.end()) sets.push_back(s);
    };
    if (split_ascii) {
        byte_set high;
        high.set_range(0x80, 0xFF);
        add(high);
    }
    for (const union_instruction& in : u.instructions) {
        if (in.op == opcode::byte) {
            byte_set s;
            s.set(in.arg);
            add(s);
        } else if (in.op == opcode::byte_set) {
            add(u.byte_sets[in.set]);
        }
    }
    // Refine the one-class partition by each set in turn.
    std::array<std::uint32_t, 256> part{};
    for (const byte_set& s : sets) {
        std::map<std::pair<std::uint32_t, bool>, std::uint32_t> renumber;
        for (unsigned b = 0; b < 256; ++b) {
            const auto key = std::make_pair(part[b], s.test(static_cast<std::uint8_t>(b)));
            auto it = renumber.emplace(key, static_cast<std::uint32_t>(renumber.size())).first;
            part[b] = it->second;
        }
    }
    // Number the classes by first appearance from byte 0.
    union_classes out;
    std::vector<std::int32_t> seen(256, -1);
    for (unsigned b = 0; b < 256; ++b) {
        if (seen[part[b]] < 0) {
            seen[part[b]] = static_cast<std::int32_t>(out.representatives.size());
            out.representatives.push_back(static_cast<std::uint8_t>(b));
        }
        out.map.classes[b] = static_cast<std::uint8_t>(seen[part[b]]);
    }
    out.map.count = static_cast<std::uint32_t>(out.representatives.size());
    return out;
}

std::vector<std::uint32_t> union_closure(const union_program& u, const std::vector<std::uint32_t>& from,
                                         bool at_start, std::vector<std::uint32_t>& marks,
                                         std::uint32_t& generation) {
    const auto n = static_cast<std::int64_t>(u.instructions.size());
    if (marks.size() != u.instructions.size()) {
        marks.assign(u.instructions.size(), 0);
        generation = 0;
    }
    if (++generation == 0) {
        std::fill(marks.begin(), marks.end(), 0);
        generation = 1;
    }
    std::vector<std::uint32_t> out;
    std::vector<std::int64_t> stack(from.rbegin(), from.rend());
    while (!stack.empty()) {
        const std::int64_t pc = stack.back();
        stack.pop_back();
        if (pc < 0 || pc >= n || marks[static_cast<std::size_t>(pc)] == generation) continue;
        marks[static_cast<std::size_t>(pc)] = generation;
        out.push_back(static_cast<std::uint32_t>(pc));
        const union_instruction& in = u.instructions[static_cast<std::size_t>(pc)];
        switch (in.op) {
        case opcode::split:
            stack.push_back(in.y);
            stack.push_back(in.x);
            break;
        case opcode::jump:
            stack.push_back(in.x);
            break;
        case opcode::save:
            stack.push_back(pc + 1);
            break;
        case opcode::assert:
            if (at_start) stack.push_back(pc + 1);
            break;
        default:
            break;  // byte, byte_set and match end the walk
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- construction ----

dfa::dfa(const std::vector<const program*>& programs, const std::vector<bool>& escapes) {
    union_program u;
    for (const program* p : programs) append_to_union(u, lower_for_dfa(*p));
    rule_count_ = u.rule_count;
    const bool any_escape = std::find(escapes.begin(), escapes.end(), true) != escapes.end();

    const union_classes uc = classes_of(u, any_escape);
    class_map_ = uc.map.classes;
    class_count_ = uc.map.count;
    const std::uint32_t C = class_count_;

    // Which classes each consuming instruction accepts, as a 256-bit mask over class numbers.
    std::vector<byte_set> accepts(u.instructions.size());
    for (std::size_t i = 0; i < u.instructions.size(); ++i) {
        const union_instruction& in = u.instructions[i];
        for (std::uint32_t c = 0; c < C; ++c) {
            const std::uint8_t b = uc.representatives[c];
            if ((in.op == opcode::byte && in.arg == b) ||
                (in.op == opcode::byte_set && u.byte_sets[in.set].test(b))) {
                accepts[i].set(static_cast<std::uint8_t>(c));
            }
        }
    }

    // The consuming instructions of the escaping rules: a state holding one of them sends
    // every byte from 0x80 up to the escape state.
    std::vector<std::uint8_t> escaping(u.instructions.size(), 0);
    if (any_escape) {
        for (std::uint32_t r = 0; r < u.rule_count && r < escapes.size(); ++r) {
            if (!escapes[r]) continue;
            const std::uint32_t end = r + 1 < u.rule_count ? u.starts[r + 1] : static_cast<std::uint32_t>(u.instructions.size());
            for (std::uint32_t pc = u.starts[r]; pc < end; ++pc) escaping[pc] = is_consuming(u.instructions[pc].op);
        }
    }
    // The escape state's closure is a list no real state has: one index past the union.
    const std::vector<std::uint32_t> escape_set{static_cast<std::uint32_t>(u.instructions.size())};

    list_map states;                               // closure set -> state
    std::vector<const std::vector<std::uint32_t>*> state_sets;
    list_map accept_sets;                          // accept set -> id, by first appearance
    std::vector<std::uint32_t> accept_id;          // per state
    std::vector<std::int32_t> lowest_rule;         // per accept-set id
    std::vector<std::uint32_t> marks;
    std::uint32_t generation = 0;

    auto intern = [&](std::vector<std::uint32_t> set) -> std::uint32_t {
        auto found = states.find(set);
        if (found != states.end()) return found->second;
        std::vector<std::uint32_t> rules;
        if (set == escape_set) {
            rules.push_back(UINT32_MAX);  // an accept set of its own, so minimisation keeps it apart
        } else {
            for (std::uint32_t pc : set) {
                if (u.tags[pc] >= 0) rules.push_back(static_cast<std::uint32_t>(u.tags[pc]));
            }
        }
        std::sort(rules.begin(), rules.end());
        rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
        const auto id = static_cast<std::uint32_t>(state_sets.size());
        auto inserted = states.emplace(std::move(set), id).first;
        state_sets.push_back(&inserted->first);
        const std::int32_t lowest = rules.empty() || rules.front() == UINT32_MAX ? -1 : static_cast<std::int32_t>(rules.front());
        auto a = accept_sets.emplace(std::move(rules), static_cast<std::uint32_t>(accept_sets.size()));
        if (a.second) lowest_rule.push_back(lowest);
        accept_id.push_back(a.first->second);
        if (state_sets.size() > max_dfa_states) throw dfa_error(dfa_message_states);
        return id;
    };

    intern({});  // state 0: dead
    const std::uint32_t escape = any_escape ? intern(escape_set) : 0;
    const std::uint32_t start = intern(union_closure(u, u.starts, true, marks, generation));

    std::vector<std::int32_t> table;  // unminimised transitions, row-major
    list_map moves;                   // move list -> target state
    std::vector<std::uint32_t> consuming, move;
    for (std::size_t s = 0; s < state_sets.size(); ++s) {
        table.resize(table.size() + C, 0);
        if (any_escape && s == escape) continue;  // a scan stops there: its row stays dead
        consuming.clear();
        bool escapes_here = false;
        for (std::uint32_t pc : *state_sets[s]) {
            if (is_consuming(u.instructions[pc].op)) consuming.push_back(pc);
            if (escaping[pc] != 0) escapes_here = true;
        }
        for (std::uint32_t c = 0; c < C; ++c) {
            if (escapes_here && uc.representatives[c] >= 0x80) {
                table[s * C + c] = static_cast<std::int32_t>(escape);
                continue;
            }
            move.clear();
            for (std::uint32_t pc : consuming) {
                if (accepts[pc].test(static_cast<std::uint8_t>(c))) move.push_back(pc + 1);
            }
            std::uint32_t target = 0;
            if (!move.empty()) {
                auto hit = moves.find(move);
                if (hit != moves.end()) {
                    target = hit->second;
                } else {
                    target = intern(union_closure(u, move, false, marks, generation));
                    moves.emplace(move, target);
                }
            }
            table[s * C + c] = static_cast<std::int32_t>(target);
        }
    }
    const auto S = static_cast<std::uint32_t>(state_sets.size());
    unminimised_ = S;

    // Minimisation: refine the blocks of equal accept sets by the blocks of the successors.
    std::vector<std::uint32_t> block(accept_id);
    std::uint32_t blocks = static_cast<std::uint32_t>(accept_sets.size());
    std::vector<std::uint32_t> rows(std::size_t{S} * (C + 1));
    std::vector<std::uint32_t> order(S), next_block(S);
    for (;;) {
        for (std::uint32_t s = 0; s < S; ++s) {
            std::uint32_t* row = &rows[std::size_t{s} * (C + 1)];
            row[0] = block[s];
            for (std::uint32_t c = 0; c < C; ++c) row[c + 1] = block[static_cast<std::uint32_t>(table[std::size_t{s} * C + c])];
        }
        auto row_of = [&](std::uint32_t s) { return &rows[std::size_t{s} * (C + 1)]; };
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            const std::uint32_t* ra = row_of(a);
            const std::uint32_t* rb = row_of(b);
            for (std::uint32_t k = 0; k <= C; ++k) {
                if (ra[k] != rb[k]) return ra[k] < rb[k];
            }
            return a < b;
        });
        std::uint32_t count = 0;
        for (std::uint32_t k = 0; k < S; ++k) {
            if (k > 0 && !std::equal(row_of(order[k]), row_of(order[k]) + C + 1, row_of(order[k - 1]))) ++count;
            next_block[order[k]] = count;
        }
        ++count;
        if (count <= blocks) break;
        blocks = count;
        block.swap(next_block);
    }

    // One output state per block, read off its lowest-numbered member.  The output numbers
    // put the dead state first, then the states that accept nothing, then the accepting ones,
    // so that the scan tells an accepting state by one comparison of its id (see match).
    std::vector<std::int64_t> rep(blocks, -1);
    for (std::uint32_t s = 0; s < S; ++s) {
        if (rep[block[s]] < 0) rep[block[s]] = s;
    }
    // The escape state, when there is one, comes right after the dead state, so that both
    // stops of a scan are the rows at or below one bound.
    std::vector<std::uint32_t> number(blocks);
    std::uint32_t next_number = 0;
    number[block[0]] = next_number++;
    if (any_escape) number[block[escape]] = next_number++;
    for (int accepting_pass = 0; accepting_pass < 2; ++accepting_pass) {
        for (std::uint32_t b = 0; b < blocks; ++b) {
            if (b == block[0] || (any_escape && b == block[escape])) continue;
            const bool accepts = lowest_rule[accept_id[static_cast<std::uint32_t>(rep[b])]] >= 0;
            if (accepts == (accepting_pass == 1)) number[b] = next_number++;
        }
        if (accepting_pass == 0) first_accepting_ = next_number;
    }
    has_escape_ = any_escape;
    state_count_ = blocks;
    rows_.assign(std::size_t{blocks} * C, 0);
    accepting_.assign(blocks, -1);
    live_.assign(blocks, 0);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const auto r = static_cast<std::uint32_t>(rep[b]);
        const std::uint32_t n = number[b];
        accepting_[n] = lowest_rule[accept_id[r]];
        for (std::uint32_t c = 0; c < C; ++c) {
            const std::uint32_t t = number[block[static_cast<std::uint32_t>(table[std::size_t{r} * C + c])]];
            rows_[std::size_t{n} * C + c] = t * C;
            if (t != 0) live_[n] = 1;
        }
    }
    start_ = number[block[start]];
    row_reciprocal_ = ((std::uint64_t{1} << 32) + C - 1) / C;
    start_row_ = std::size_t{start_} * C;
    accepting_row_ = std::size_t{first_accepting_} * C;
    stop_row_ = has_escape_ ? C : 0;
}

// ---- the memo ----

dfa_memo::dfa_memo(const dfa_memo& other)
    : length_(other.length_),
      owner_(other.owner_),
      tail_alive_(other.tail_alive_),
      reach_(other.reach_),
      created_(other.created_),
      flags_(other.flags_),
      keys_(other.keys_),
      offsets_(other.offsets_),
      block_count_(other.block_count_),
      allocated_(other.allocated_),
      free_(other.free_),
      low_block_(other.low_block_) {
    for (const auto& chunk : other.chunks_) {
        chunks_.emplace_back(new std::uint64_t[chunk_blocks * block_words]);
        std::copy(chunk.get(), chunk.get() + chunk_blocks * block_words, chunks_.back().get());
    }
}

dfa_memo& dfa_memo::operator=(const dfa_memo& other) {
    if (this != &other) *this = dfa_memo(other);
    return *this;
}

std::size_t dfa_memo::memory_bytes() const noexcept {
    return chunks_.size() * chunk_blocks * block_words * sizeof(std::uint64_t) +
           keys_.capacity() * sizeof(std::uint64_t) +
           offsets_.capacity() * sizeof(std::uint32_t) + flags_.capacity();
}

namespace {

// The key's state (high half) and block (low half) must both reach the low bits the mask
// keeps, so the key is mixed before masking.
std::size_t slot_of(std::uint64_t key, std::size_t mask) noexcept {
    key ^= key >> 31;
    key *= 0x9E3779B97F4A7C15ull;
    key ^= key >> 29;
    return static_cast<std::size_t>(key) & mask;
}

// Puts an entry (key + 1, block) into a table known not to hold the key.
void place(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& offsets, std::uint64_t stored,
           std::uint32_t block) noexcept {
    const std::size_t mask = keys.size() - 1;
    for (std::size_t j = slot_of(stored - 1, mask);; j = (j + 1) & mask) {
        if (keys[j] == 0) {
            keys[j] = stored;
            offsets[j] = block;
            return;
        }
    }
}

}  // namespace

const std::uint64_t* dfa_memo::find(std::uint64_t key) const noexcept {
    if (keys_.empty()) return nullptr;
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
        if (keys_[i] == 0) return nullptr;
        if (keys_[i] == key + 1) return block_at(offsets_[i]);
    }
}

std::uint64_t* dfa_memo::find_or_add(std::uint64_t key) {
    if (keys_.empty() || (block_count_ + 1) * 2 > keys_.size()) {
        // Grow the table to keep it at most half full.
        const std::size_t size = keys_.empty() ? 64 : keys_.size() * 2;
        std::vector<std::uint64_t> keys(size, 0);
        std::vector<std::uint32_t> offsets(size, 0);
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] != 0) place(keys, offsets, keys_[i], offsets_[i]);
        }
        keys_.swap(keys);
        offsets_.swap(offsets);
    }
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
        if (keys_[i] == key + 1) return block_at(offsets_[i]);
        if (keys_[i] == 0) {
            std::uint32_t b;
            if (!free_.empty()) {
                b = free_.back();
                free_.pop_back();
                std::fill(block_at(b), block_at(b) + block_words, 0);
            } else {
                if (allocated_ % chunk_blocks == 0) {
                    chunks_.emplace_back(new std::uint64_t[chunk_blocks * block_words]());
                }
                b = static_cast<std::uint32_t>(allocated_++);
            }
            keys_[i] = key + 1;
            offsets_[i] = b;
            ++block_count_;
            return block_at(b);
        }
    }
}

void dfa_memo::forget_before(std::uint32_t start) {
    const std::uint32_t low = start >> block_shift;
    if (low < low_block_ + prune_step) return;
    low_block_ = low;
    if (block_count_ == 0) return;
    // Rebuild the table with the blocks at or after `low`; the others' storage is reused.
    const std::size_t size = keys_.size();
    std::vector<std::uint64_t> keys(size, 0);
    std::vector<std::uint32_t> offsets(size, 0);
    block_count_ = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (keys_[i] == 0) continue;
        const std::uint64_t key = keys_[i] - 1;
        if (static_cast<std::uint32_t>(key) < low) {
            free_.push_back(offsets_[i]);
            continue;
        }
        place(keys, offsets, keys_[i], offsets_[i]);
        ++block_count_;
    }
    keys_.swap(keys);
    offsets_.swap(offsets);
    last_block_ = nullptr;
}

bool dfa_memo::test(std::uint32_t state, std::uint32_t pos) const noexcept {
    const std::uint64_t key = (std::uint64_t{state} << 32) | (pos >> block_shift);
    const std::uint64_t* block;
    if (last_block_ != nullptr && last_key_ == key) {
        block = last_block_;
    } else {
        block = find(key);
        if (block == nullptr) return false;
        last_key_ = key;
        last_block_ = block;
    }
    const std::uint32_t bit = pos & ((1u << block_shift) - 1);
    return (block[bit >> 6] >> (bit & 63)) & 1u;
}

void dfa_memo::set(std::uint32_t state, std::uint32_t pos) {
    flags_[state] = 1;
    std::uint64_t* block = find_or_add((std::uint64_t{state} << 32) | (pos >> block_shift));
    const std::uint32_t bit = pos & ((1u << block_shift) - 1);
    block[bit >> 6] |= std::uint64_t{1} << (bit & 63);
}

// ---- matching ----

dfa_match_result dfa::match_general(std::uint32_t start, dfa_memo& memo, const std::uint8_t* subject,
                                    std::uint32_t length) const {
    if (memo.length_ != length || start > length) {
        throw std::invalid_argument("kestrel::dfa::match: the memo belongs to another subject, or the offset is past it");
    }
    if (memo.owner_ != this) {
        if (memo.owner_ != nullptr) throw std::invalid_argument("kestrel::dfa::match: the memo belongs to another DFA");
        memo.owner_ = this;
    }
    const bool memo_on = memo.created_;
    if (memo_on && (start >> dfa_memo::block_shift) >= memo.low_block_ + dfa_memo::prune_step) {
        memo.forget_before(start);
    }

    const std::uint8_t* const cls = class_map_.data();
    const std::uint32_t* const table = rows_.data();
    const std::uint32_t accepting_row = first_accepting_ * class_count_;

    // The scan keeps the row of the last accepting state and the offset after it; no accept
    // yet is last_end == start, since only matches of one byte or more are reported.
    enum class stop : std::uint8_t { end, dead, hit, escape } why = stop::end;
    // Rows at or below this one end the scan: the dead row 0 and, when there is one, the
    // escape state's row just after it.
    const std::uint32_t stop_row = has_escape_ ? class_count_ : 0;
    std::uint32_t row = start_ * class_count_;
    std::uint32_t i = start;
    std::uint32_t last_end = start;
    std::uint32_t last_row = row;
    while (i < length) {
        const std::uint32_t next = table[row + cls[subject[i]]];
        if (next <= stop_row) {
            why = next == 0 ? stop::dead : stop::escape;
            break;
        }
        row = next;
        ++i;
        if (row >= accepting_row) {
            last_end = i;
            last_row = row;
        } else if (memo_on) {
            const std::uint32_t state = state_of(row);
            if (memo.flags_[state] != 0 && memo.test(state, i)) {
                why = stop::hit;
                break;
            }
        }
    }

    dfa_match_result r;
    r.scanned = i - start;
    if (why == stop::escape) {
        // Nothing is recorded: the scan did not find out where its rules end.
        r.escaped = true;
        return r;
    }
    // A scan that died read the byte it died on; one that ran out saw the end; a hit relies
    // on what the recording scans read.
    std::uint32_t reach = i;
    if (why == stop::hit && memo.reach_ > reach) reach = memo.reach_;
    if (i - last_end > dfa_memo_min_tail) {
        if (reach > memo.reach_) memo.reach_ = reach;
        // Record the failing tail: every (state, position) after the last accept.
        if (!memo.created_) {
            memo.flags_.assign(state_count_, 0);
            memo.created_ = true;
        }
        std::uint32_t q = last_row;
        for (std::uint32_t k = last_end; k < i; ++k) {
            q = table[q + cls[subject[k]]];
            memo.set(state_of(q), k + 1);
        }
        if (why != stop::dead) memo.tail_alive_ = true;
    }

    r.reach = reach;
    if (why == stop::dead) {
        r.open_end = false;
    } else if (why == stop::end || i == length) {
        r.open_end = live_[state_of(row)] != 0;
    } else {
        r.open_end = memo.tail_alive_;
    }
    if (last_end != start) {
        r.matched = true;
        r.rule = accepting_[state_of(last_row)];
        r.length = last_end - start;
    }
    return r;
}

// ---- resumable scans ----

dfa_scan dfa::begin_scan(std::uint32_t start) const noexcept {
    dfa_scan s;
    s.start = s.pos = s.last_end = start;
    s.row = s.last_row = static_cast<std::uint32_t>(start_row_);
    return s;
}

dfa_match_result dfa::continue_scan(dfa_scan& scan, const std::uint8_t* subject, std::uint32_t length) const {
    if (scan.pos > length) {
        throw std::invalid_argument("kestrel::dfa::continue_scan: the subject is shorter than what the scan read");
    }
    const std::uint8_t* const cls = class_map_.data();
    const std::uint32_t* const table = rows_.data();
    const auto accepting_row = static_cast<std::uint32_t>(accepting_row_);
    const auto stop_row = static_cast<std::uint32_t>(stop_row_);
    if (scan.stopped == dfa_scan::stop::reading) {
        std::uint32_t row = scan.row;
        std::uint32_t i = scan.pos;
        while (i < length) {
            const std::uint32_t next = table[row + cls[subject[i]]];
            if (next <= stop_row) {
                scan.stopped = next == 0 ? dfa_scan::stop::dead : dfa_scan::stop::escaped;
                break;
            }
            row = next;
            ++i;
            if (row >= accepting_row) {
                scan.last_end = i;
                scan.last_row = row;
            }
        }
        scan.row = row;
        scan.pos = i;
    }
    dfa_match_result r;
    r.scanned = scan.pos - scan.start;
    if (scan.stopped == dfa_scan::stop::escaped) {
        r.escaped = true;
        return r;
    }
    // A scan that died read the byte it died on; one still reading has seen the end.
    r.reach = scan.pos;
    r.open_end = scan.stopped == dfa_scan::stop::reading && live_[state_of(scan.row)] != 0;
    if (scan.last_end != scan.start) {
        r.matched = true;
        r.rule = accepting_[state_of(scan.last_row)];
        r.length = scan.last_end - scan.start;
    }
    return r;
}

// ---- dump ----

namespace {

std::string show_byte(unsigned b) {
    static const char* hex = "0123456789abcdef";
    if (b > 0x20 && b < 0x7f && b != '\\' && b != '-') return std::string(1, static_cast<char>(b));
    std::string s = "\\x";
    s += hex[b >> 4];
    s += hex[b & 15];
    return s;
}

}  // namespace

std::string dump_dfa(const dfa& d) {
    std::string out;
    out += "classes " + std::to_string(d.class_count()) + "\n";
    for (std::uint32_t c = 0; c < d.class_count(); ++c) {
        out += "  c" + std::to_string(c) + ":";
        for (unsigned b = 0; b < 256;) {
            if (d.class_map()[b] != c) {
                ++b;
                continue;
            }
            unsigned e = b;
            while (e + 1 < 256 && d.class_map()[e + 1] == c) ++e;
            out += " " + show_byte(b);
            if (e > b) out += "-" + show_byte(e);
            b = e + 1;
        }
        out += "\n";
    }
    out += "states " + std::to_string(d.state_count()) + " (before minimisation " +
           std::to_string(d.states_before_minimisation()) + ")\n";
    out += "start " + std::to_string(d.start_state()) + "\n";
    for (std::uint32_t s = 0; s < d.state_count(); ++s) {
        out += "  s" + std::to_string(s);
        if (s == 0) out += " dead";
        if (d.escape_state() && s == *d.escape_state()) out += " escape";
        if (d.accepting(s) >= 0) out += " accepts rule " + std::to_string(d.accepting(s));
        out += ":";
        for (std::uint32_t c = 0; c < d.class_count(); ++c) {
            if (d.next(s, c) != 0) out += " c" + std::to_string(c) + "->s" + std::to_string(d.next(s, c));
        }
        out += "\n";
    }
    return out;
}

}  // namespace kestrel
