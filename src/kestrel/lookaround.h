// Lookaround evaluation: whether lookaround row r holds at offset p of the subject.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"

namespace kestrel {

// The negation of the row is applied last, to every path.
bool lookaround_holds(match_context& ctx, std::uint32_t row, std::uint32_t p);

// Whether the row's body holds an assertion that looks past its own end (any kind but the
// start-of-text and start-of-line ones): a streaming match must then see 4 more bytes.
bool lookaround_has_tail_assertion(match_context& ctx, const lookaround_entry& entry);

}  // namespace kestrel
