// The selection chain: which matcher answers an anchored match.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"

namespace kestrel {

// Answers an anchored match at pos by the first matcher of the chain that can take it (see
// strategy.cpp).  `out` ends up with the program's slot count, -1 where unset.
bool select_and_match(match_context& ctx, std::uint32_t pos, slot_vector& out);

class one_pass_table;

// Row 8's matcher: runs a usable one-pass table at pos; `out` gets the program's slot count.
bool run_one_pass(const one_pass_table& table, match_context& ctx, std::uint32_t pos, slot_vector& out);

// The last rows of the chain alone: the bounded backtracker when the attempt stays within its
// window, else the Pike VM's thread lists.
bool backtrack_or_threads(match_context& ctx, std::uint32_t pos, slot_vector& out);

}  // namespace kestrel
