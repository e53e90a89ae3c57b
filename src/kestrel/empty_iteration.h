// The empty-iteration rule: what a thread does when a loop body has matched the empty string.
//
// Every matcher that walks a program in priority order (the Pike VM's closure, the bounded
// backtracker, the DFA's longest-agreement check) marks the instructions it has reached at the
// current offset, and a thread that arrives at a marked instruction dies: a higher-priority
// thread got there first with the same future.  That mark is what bounds the work.  Two
// refinements decide what happens around loops, and both live here so that every matcher
// applies them identically:
//
// 1. Saves are transparent.  A `save` only writes a capture slot; it never decides where a
//    thread goes.  Marks are therefore kept on the program as if its saves were deleted: a
//    save is identified with the first non-save instruction at or after it, is never marked
//    itself, and a thread passing through it applies the write and carries on.  With this,
//    the instructions a thread can reach, their priority order and the places where threads
//    die are the same whether or not the pattern has capture groups, so a group can never
//    change the whole match (before this rule, `(a|(|b))*` on "ab" matched 0-2 while
//    `(?:a|(?:|b))*` matched 0-1).
//
// 2. Leaving a loop after an empty pass.  When a `jump` leads (saves skipped) to an
//    instruction already marked at this offset, the thread follows the chain of marked jumps
//    (saves skipped, at most `max_jump_hops` jumps).  If the chain ends on a marked `split`,
//    that split is the head of a loop whose body has just matched empty: instead of dying,
//    the thread continues at the split's exit (`y`).  Otherwise it goes to its target as usual
//    (and dies there if that is marked).  This keeps the slots of an empty last iteration, as
//    Python's `re` does for (a*)* or (a|)*, at the cost of at most eight hops per jump.
//
// The saves passed on the way to a loop exit still write their slots; `for_each_chain_save`
// lets a matcher apply them in order.
#pragma once

#include <cstdint>

#include "kestrel/program.h"

namespace kestrel {

// The longest chain of marked jumps a jump follows looking for a loop exit.
inline constexpr int max_jump_hops = 8;

// The first instruction at or after pc that is not a save (n, the instruction count, when the
// saves run to the end).  The visited marks of a save live on that instruction.
inline std::uint32_t skip_saves(const instruction* code, std::uint32_t n, std::uint32_t pc) noexcept {
    while (pc < n && code[pc].op == opcode::save) ++pc;
    return pc;
}

// Where a thread that takes a jump to `target` continues, by rule 2: `target` itself, or the
// exit of the loop whose head the chain of marked jumps ends on.  `visited(i)` tells whether
// instruction i (never a save) is marked at the current offset.
template <class Visited>
std::uint32_t jump_destination(const instruction* code, std::uint32_t n, std::uint32_t target,
                               Visited&& visited) {
    std::uint32_t c = skip_saves(code, n, target);
    for (int hop = 0; hop < max_jump_hops && c < n && code[c].op == opcode::jump && visited(c); ++hop)
        c = skip_saves(code, n, static_cast<std::uint32_t>(code[c].x));
    if (c < n && code[c].op == opcode::split && visited(c)) return static_cast<std::uint32_t>(code[c].y);
    return target;
}

// Calls on_save(slot) for each save on the chain that jump_destination walked from `target`
// (in the order a thread passes them), for a thread that leaves a loop.
template <class Visited, class OnSave>
void for_each_chain_save(const instruction* code, std::uint32_t n, std::uint32_t target,
                         Visited&& visited, OnSave&& on_save) {
    auto walk = [&](std::uint32_t pc) {
        for (; pc < n && code[pc].op == opcode::save; ++pc) on_save(code[pc].index);
        return pc;
    };
    std::uint32_t c = walk(target);
    for (int hop = 0; hop < max_jump_hops && c < n && code[c].op == opcode::jump && visited(c); ++hop)
        c = walk(static_cast<std::uint32_t>(code[c].x));
}

}  // namespace kestrel
