// The Pike VM: the general matcher and the reference every other matcher must agree with.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/small_vector.h"

namespace kestrel {


// The same match without the backtracker and the first-byte filter, also telling whether
// text appended to the subject could change the result (`open_end`).
bool pike_vm_match_streaming(match_context& ctx, std::uint32_t start, slot_vector& out,
                             bool& open_end);

// Anchored first match at `start` on the thread lists: the match the pattern's priority
// order picks (the alternative written first, the greedy choice of a repetition).  `out`
// ends up holding the program's slot count, -1 where unset.  The selection chain
// (strategy.h) decides when a cheaper matcher answers instead.
bool pike_vm_match_threads(match_context& ctx, std::uint32_t start, slot_vector& out);

// The same match on the thread lists, also giving the furthest offset read to decide it
// (`reach`, the subject's length standing for its end; see pike_vm.cpp).
bool pike_vm_match_reach(match_context& ctx, std::uint32_t start, slot_vector& out, std::uint32_t& reach);

}  // namespace kestrel
