// The selection chain: which matcher answers an anchored match.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"

namespace kestrel {

// Answers an anchored match at pos by the first matcher of the chain that can take it (see
// strategy.cpp).  `out` ends up with the program's slot count, -1 where unset.
bool select_and_match(match_context& ctx, std::uint32_t pos, slot_vector& out);

// The last rows of the chain alone: the bounded backtracker when the attempt stays within its
// window, else the Pike VM's thread lists.
bool backtrack_or_threads(match_context& ctx, std::uint32_t pos, slot_vector& out);

}  // namespace kestrel
