// The Pike VM: the general matcher and the reference every other matcher must agree with.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/small_vector.h"

namespace kestrel {

// Capture slots of a match: slot 2g is where group g starts, 2g+1 where it ends, -1 unset.
using slot_vector = small_vector<std::int32_t, 32>;

// Anchored first match at `start`: the match the pattern's priority order picks (the
// alternative written first, the greedy choice of a repetition).  Tries the bounded
// backtracker first where the subject and program are small enough.  `out` ends up holding
// the program's slot count, -1 where unset.
bool pike_vm_match(match_context& ctx, std::uint32_t start, slot_vector& out);

// The same match without the backtracker and the first-byte filter, also telling whether
// text appended to the subject could change the result (`open_end`).
bool pike_vm_match_streaming(match_context& ctx, std::uint32_t start, slot_vector& out,
                             bool& open_end);

// The thread-list matcher alone (never the backtracker), for tests that compare the two.
bool pike_vm_match_threads(match_context& ctx, std::uint32_t start, slot_vector& out);

}  // namespace kestrel
