// Lexing from a saved state, with each token's look-ahead extent: what an editor needs to
// re-lex only the part of a text that an edit can change.  See resume.cpp.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/runtime.h"
#include "tessel/token.h"

namespace tessel {

// Where lexing stands between two steps: the cursor and the mode stack.
struct lex_state {
    position cursor;
    std::vector<mode_entry> stack = std::vector<mode_entry>(1);  // never empty; the root entry
};

// The mode stack (modes only, bottom first) after token `after` of a run, recorded where it
// differs from the stack before that token's step.
struct stack_change {
    std::uint32_t after = 0;
    std::vector<std::uint32_t> modes;
};

struct resumed_run {
    std::vector<token> tokens;
    // Per token, the furthest offset the matchers read to decide its step (the skip matches
    // before it, every candidate, the probes of an error run), the text's length standing for
    // "saw the end".
    std::vector<std::uint32_t> extents;
    std::vector<stack_change> stacks;
    lex_state after;        // the state after the last step taken
    bool finished = false;  // the run reached the end of the text (no token is left)
};

// Lexes `subject` from `from` (the whole text stays visible: lookbehinds and word boundaries
// see what precedes the cursor) until `more` tokens (at least one) have ended at or past
// `until`, or to the end of the text.  Throws std::invalid_argument for a state
// that cannot belong to the text (offset past its end, line or column 0, an empty stack, an
// unknown mode, a stack deeper than max_mode_depth) and lex_error as tokenizing does.
resumed_run lex_from(const lexer& lx, std::string_view subject, const lex_state& from, std::uint32_t until,
                     std::uint32_t more);

}  // namespace tessel
