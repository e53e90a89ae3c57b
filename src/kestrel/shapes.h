// The special-shape matchers that the selection chain (strategy.h) may pick.
#pragma once

#include <cstdint>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"

namespace kestrel {

// The special shapes the analysis may recognise, by their row in the selection chain.
enum class shape_row : std::uint8_t {
    byte_class_run = 1,        // one byte class repeated
    code_point_class_run = 2,  // one code-point class repeated
    possessive_run = 3,        // literal prefix, a possessive run, literal suffix
    literal_string = 4,        // a literal string of 1 to 255 bytes
    fixed_sequence = 5,        // a straight line of byte and byte-set tests
    any_run = 6,               // a run of one class whose non-ASCII part is every code point
    straight_alternation = 7,  // an alternation of straight lines
    run_then_lookahead = 10,   // a class run, then a positive lookahead (before the chain)
};

// Whether the analysis recorded this shape for the program.
bool shape_applies(const program_view& prog, shape_row row) noexcept;

// Runs the shape's matcher at pos; only meaningful where shape_applies.  Returns exactly what
// the Pike VM returns for the same call.
bool run_shape(shape_row row, match_context& ctx, std::uint32_t pos, slot_vector& out);


}  // namespace kestrel
