// The one-token step in its general form, shared by eager lexing, the scan cursor and the
// token stream.  Internal to the lexer library: the public forms are in runtime.h.
#pragma once

#include <cstdint>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/mode_dfa.h"
#include "tessel/runtime.h"
#include "tessel/token.h"

namespace tessel::detail {

// The state of one lexing run over one subject.  For a stream the subject is its buffer,
// which starts `base` bytes into the whole text; the cursor's offset is relative to the
// subject, while everything handed out (token positions, mode entries, error positions) is
// absolute, so nothing needs fixing up when the buffer drops text at its front.
struct run_state {
    const std::uint8_t* subject = nullptr;
    std::uint32_t length = 0;
    std::uint32_t base = 0;
    position cursor;
    std::vector<mode_entry>* stack = nullptr;  // never empty
    dfa_memos* memos = nullptr;                // one per mode, bound to this subject; null: none kept
    // When set, the step raises it to the furthest offset (of the subject) any matcher read
    // to decide it, `length` standing for the end; the per-rule matches then run on the Pike
    // VM, which reports it.  Null: nothing is recorded and nothing costs more.
    std::uint32_t* reach = nullptr;
};

enum class step_result : std::uint8_t { token, end, undecided };

// The eager step: never undecided.
step_result next_token(const lexer& lx, run_state& run, token& out);

// The stream's step.  Unless `final`, it answers undecided wherever text after the subject's
// end could change the answer: at the end of the subject, when a candidate rule's match at
// a position it tests is still open, and when an error run reaches the end.  Every mode
// change is logged in `log` first.  Never produces an end_of_input token.
step_result next_token_streaming(const lexer& lx, run_state& run, token& out, bool final,
                                 std::vector<transition_record>& log);

}  // namespace tessel::detail
