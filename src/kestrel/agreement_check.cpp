// The longest-agreement check.
//
// Why it exists.  A lexer rule contributes the match its own pattern prefers: the priority
// (leftmost-first) match that the regex's matchers return, so the rule a|ab contributes a on
// the text ab.  A longest-match DFA would make it contribute ab instead.  A rule may therefore
// join a DFA only when, on every subject, its priority match is also its longest match; this
// check decides that, once per rule, when the lexer is compiled.
//
// How.  It explores, breadth first over the pattern's byte classes (one representative byte
// each), a product of two automata run side by side on the same bytes:
// - the priority side is the Pike VM's thread list: the consuming instructions alive, in
//   priority order, after a walk that marks each instruction once, follows split x before y,
//   and stops at the first match reached (every lower-priority thread is dropped there,
//   exactly as the VM drops the threads behind a match).  The walk applies the same
//   empty-iteration rule as the VM (empty_iteration.h): saves are transparent to the marks,
//   and a jump onto a loop head already reached at this offset leaves the loop;
// - the full side is the plain closure of every thread, dropped or not: what the DFA sees.
// If after some byte the priority side reaches no match while the full side holds a match
// instruction, some thread that priority order gave up matches here, so there is a subject
// whose longest match is longer than its priority match: the answer is `differs`.  When every
// product state has been explored without that, the two always agree.  Past
// max_agreement_states product states the check gives up, and the rule stays off the DFA.
//
// The pattern is lowered and checked exactly as a DFA build would (lower_for_dfa), so it
// raises the same dfa_error for the same patterns.  The start anchor passes in the first walk
// only, as in the DFA's start state.
//
// Tests: tests/cpp/test_dfa.cpp (a|ab against ab|a, lazy and greedy loops, empty loop bodies,
// groups that must not change the answer).
#include "kestrel/agreement_check.h"

#include <unordered_map>
#include <vector>

#include "kestrel/dfa.h"
#include "kestrel/empty_iteration.h"

namespace kestrel {

namespace {

struct priority_walk {
    const instruction* code;
    std::uint32_t n;
    const std::vector<byte_set>* sets;
    std::vector<std::uint32_t> marks;
    std::uint32_t generation = 0;
    std::vector<std::uint32_t> stack;

    // Threads reached from `seeds` (in priority order); true when a match was reached, which
    // drops every thread not yet collected.
    bool run(const std::vector<std::uint32_t>& seeds, bool at_start, std::vector<std::uint32_t>& threads) {
        if (++generation == 0) {
            std::fill(marks.begin(), marks.end(), 0);
            generation = 1;
        }
        auto visited = [&](std::uint32_t i) { return marks[i] == generation; };
        threads.clear();
        for (std::uint32_t seed : seeds) {
            stack.clear();
            stack.push_back(seed);
            while (!stack.empty()) {
                std::uint32_t pc = stack.back();
                stack.pop_back();
                pc = skip_saves(code, n, pc);
                if (pc >= n || visited(pc)) continue;
                marks[pc] = generation;
                const instruction& in = code[pc];
                switch (in.op) {
                case opcode::split:
                    stack.push_back(static_cast<std::uint32_t>(in.y));
                    stack.push_back(static_cast<std::uint32_t>(in.x));
                    break;
                case opcode::jump:
                    stack.push_back(jump_destination(code, n, static_cast<std::uint32_t>(in.x), visited));
                    break;
                case opcode::assert:
                    if (at_start && in.arg == static_cast<std::uint8_t>(assert_kind::text_start)) {
                        stack.push_back(pc + 1);
                    }
                    break;
                case opcode::byte:
                case opcode::byte_set:
                    threads.push_back(pc);
                    break;
                case opcode::match:
                    return true;
                default:
                    break;
                }
            }
        }
        return false;
    }

    bool accepts(std::uint32_t pc, std::uint8_t b) const noexcept {
        const instruction& in = code[pc];
        return in.op == opcode::byte ? in.arg == b : (*sets)[in.index].test(b);
    }
};

}  // namespace

const char* agreement_name(agreement a) noexcept {
    switch (a) {
    case agreement::agrees: return "agrees";
    case agreement::differs: return "differs";
    default: return "gave_up";
    }
}

agreement longest_agreement_check(const program& prog) {
    const byte_program bp = lower_for_dfa(prog);
    union_program u;
    append_to_union(u, bp);
    const union_classes uc = classes_of(u);

    priority_walk walk{bp.instructions.data(), static_cast<std::uint32_t>(bp.instructions.size()),
                       &bp.byte_sets, {}, 0, {}};
    walk.marks.assign(bp.instructions.size(), 0);
    std::vector<std::uint32_t> closure_marks;
    std::uint32_t closure_generation = 0;

    // A product state, flattened for hashing: has_matched, the thread count, the threads in
    // priority order, then the full set.
    std::unordered_map<std::vector<std::uint32_t>, std::uint32_t, index_list_hash> seen;
    std::vector<std::vector<std::uint32_t>> queue;
    auto key_of = [](bool matched, const std::vector<std::uint32_t>& threads,
                     const std::vector<std::uint32_t>& full) {
        std::vector<std::uint32_t> key;
        key.reserve(2 + threads.size() + full.size());
        key.push_back(matched ? 1 : 0);
        key.push_back(static_cast<std::uint32_t>(threads.size()));
        key.insert(key.end(), threads.begin(), threads.end());
        key.insert(key.end(), full.begin(), full.end());
        return key;
    };

    std::vector<std::uint32_t> threads;
    const bool start_matched = walk.run(u.starts, true, threads);
    std::vector<std::uint32_t> full = union_closure(u, u.starts, true, closure_marks, closure_generation);
    queue.push_back(key_of(start_matched, threads, full));
    seen.emplace(queue.back(), 0);

    std::vector<std::uint32_t> seeds, moved, next_threads;
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const bool matched = queue[q][0] != 0;
        const std::uint32_t count = queue[q][1];
        const std::vector<std::uint32_t> cur_threads(queue[q].begin() + 2, queue[q].begin() + 2 + count);
        const std::vector<std::uint32_t> cur_full(queue[q].begin() + 2 + count, queue[q].end());
        for (std::uint8_t b : uc.representatives) {
            moved.clear();
            for (std::uint32_t pc : cur_full) {
                const opcode op = u.instructions[pc].op;
                if ((op == opcode::byte || op == opcode::byte_set) && walk.accepts(pc, b)) moved.push_back(pc + 1);
            }
            if (moved.empty()) continue;
            const std::vector<std::uint32_t> next_full =
                union_closure(u, moved, false, closure_marks, closure_generation);
            if (next_full.empty()) continue;
            seeds.clear();
            for (std::uint32_t pc : cur_threads) {
                if (walk.accepts(pc, b)) seeds.push_back(pc + 1);
            }
            const bool reached = walk.run(seeds, false, next_threads);
            if (!reached) {
                for (std::uint32_t pc : next_full) {
                    if (u.tags[pc] >= 0) return agreement::differs;
                }
            }
            std::vector<std::uint32_t> key = key_of(matched || reached, next_threads, next_full);
            if (seen.find(key) != seen.end()) continue;
            if (seen.size() > max_agreement_states) return agreement::gave_up;
            seen.emplace(key, static_cast<std::uint32_t>(queue.size()));
            queue.push_back(std::move(key));
        }
    }
    return agreement::agrees;
}

}  // namespace kestrel
