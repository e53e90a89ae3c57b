// The bounded backtracker: the Pike VM's answer for short subjects of small programs.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"

namespace kestrel {

// Bits of the visited map: one per (instruction, offset) pair.
inline constexpr std::uint32_t backtrack_max_bits = 8192;
// Jobs kept without touching the heap.
inline constexpr std::size_t backtrack_inline_jobs = 256;

// The offsets past `start` that the visited map can cover for a program of n instructions:
// offsets start .. start + window, so (window + 1) x n bits.  0 when the program is too large
// for even two offsets.
constexpr std::uint32_t backtrack_window(std::size_t n) noexcept {
    return n == 0 || n > backtrack_max_bits / 2 ? 0 : static_cast<std::uint32_t>(backtrack_max_bits / n - 1);
}

// Whether the backtracker may try this program from `start`: the compiler allowed it (no
// lookarounds, few slots) and the visited map covers at least one byte past the start.
bool backtrack_applies(const match_context& ctx, std::uint32_t start) noexcept;

// Whether the visited map covers the whole rest of the subject, so that the backtracker
// always answers (never leaves its window).
bool backtrack_covers_subject(const match_context& ctx, std::uint32_t start) noexcept;

enum class backtrack_outcome : std::uint8_t {
    no_match,
    matched,
    left_window,  // the search needed an offset past the window: no answer, run the Pike VM
};

// Anchored first match, exactly as the Pike VM's thread lists give it, as long as the search
// stays within the window; `out` is meaningful only for `matched`.
backtrack_outcome backtrack_match(match_context& ctx, std::uint32_t start, slot_vector& out);

}  // namespace kestrel
