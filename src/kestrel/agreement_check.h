// The longest-agreement check: is a pattern's priority match always its longest match?
// Only such patterns may join a longest-match DFA (dfa.h).  See agreement_check.cpp.
#pragma once

#include <cstdint>

#include "kestrel/program.h"

namespace kestrel {

enum class agreement : std::uint8_t {
    agrees,    // on every subject the priority match is the longest match
    differs,   // some subject has a longer match than the priority match
    gave_up,   // the product automaton passed its state budget
};

// The most product states the check explores before it gives up.
inline constexpr std::uint32_t max_agreement_states = 65535;

// Throws dfa_error for the patterns a DFA build refuses (the same reasons, the same messages).
agreement longest_agreement_check(const program& prog);

// "agrees", "differs", "gave_up".
const char* agreement_name(agreement a) noexcept;

}  // namespace kestrel
