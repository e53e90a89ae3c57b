// The bounded backtracker: the Pike VM's answer for short subjects of small programs.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"

namespace kestrel {

// Bits of the visited map: one per (instruction, offset) pair.
inline constexpr std::uint32_t backtrack_max_bits = 8192;
// Subjects from the start offset must be shorter than this.
inline constexpr std::uint32_t backtrack_max_subject = 8192;
// Jobs kept without touching the heap.
inline constexpr std::size_t backtrack_inline_jobs = 256;

// Whether the backtracker may run this program from `start`: the compiler allowed it (no
// lookarounds, few slots) and (remaining bytes + 1) x instructions fits the visited map.
bool backtrack_applies(const match_context& ctx, std::uint32_t start) noexcept;

// Anchored first match, exactly as the Pike VM's thread lists give it.
bool backtrack_match(match_context& ctx, std::uint32_t start, slot_vector& out);

}  // namespace kestrel
