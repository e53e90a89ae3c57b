// The one-token step in its general form, shared by eager lexing, the scan cursor and the
// token stream.  Internal to the lexer library: the public forms are in runtime.h.
#pragma once

#include <cstdint>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/mode_dfa.h"
#include "tessel/position.h"
#include "tessel/runtime.h"
#include "tessel/token.h"

namespace tessel::detail {

// What a stream keeps between feeds of a step it could not finish, so that the next feed
// goes on from where this one stopped instead of lexing the undecided text again.  Offsets
// are the subject's (shift moves them when the stream drops text at its front).
struct pending_step {
    // The longest match in `mode` at `offset` is undecided.
    bool match = false;
    std::uint32_t mode = 0;
    std::uint32_t offset = 0;
    // The automaton's scan from the offset, kept where it stopped (scan_made: there is one).
    bool scan_made = false;
    kestrel::dfa_scan scan;
    // The per-rule candidates, once run (rules_known): the best of those whose answer is
    // final, and those whose answer more text could still change, to be run again.  Over all
    // the mode's rules when rules_all (the automaton escaped), else over its per-rule set.
    bool rules_known = false;
    bool rules_all = false;
    best_match decided;
    std::vector<std::uint32_t> open;
    // An error run reached the end: it began at error_start; the cursor is where it got to.
    bool error_run = false;
    position error_start;
    // The bytes the automata's scans and the error runs of the stream's steps read, over all
    // calls (the stream's work count, with the per-rule matchers' steps, for the tests that
    // prove it linear).
    std::uint64_t bytes_examined = 0;

    // The mode's answer from the kept scan of md's automaton, reading on from where it
    // stopped, and counting the bytes read.
    dfa_answer read_on(const mode_dfa& md, const std::uint8_t* subject, std::uint32_t length) {
        const std::uint32_t from = scan.pos;
        const dfa_answer a = continue_mode_dfa(md, scan, subject, length);
        bytes_examined += scan.pos - from;
        return a;
    }
    void clear_match() noexcept {
        match = scan_made = rules_known = rules_all = false;
        decided = best_match{};
        open.clear();
    }
    void shift(std::uint32_t by) noexcept {
        offset -= by;
        if (scan_made) scan.shift(by);
        error_start.offset -= by;
    }
};

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
    // A stream's record of its undecided step (required by next_token_streaming).
    pending_step* pending = nullptr;
};

enum class step_result : std::uint8_t { token, end, undecided };

// The eager step: never undecided.
step_result next_token(const lexer& lx, run_state& run, token& out);

// The stream's step.  Unless `final`, it answers undecided wherever text after the subject's
// end could change the answer: at the end of the subject, when a candidate rule's match at
// a position it tests is still open, and when an error run reaches the end.  An undecided
// step leaves the cursor and the mode stack where it stopped (after the skip matches it
// made) and what it learned in run.pending, and the next call, over the same text with more
// after it, goes on from there.  Never produces an end_of_input token.
step_result next_token_streaming(const lexer& lx, run_state& run, token& out, bool final);

// The stream's fast loop: appends the tokens the mode automata decide alone from the cursor
// (as eager lexing's loop does), stopping before the first one that needs the general step
// (a per-rule candidate, an error, a refused transition, an open end unless `final`).  The
// cursor must not stand at a pending step's position.
void lex_decided_on_automata(const lexer& lx, run_state& run, forward_positions& positions,
                             std::vector<token>& tokens, bool final);

}  // namespace tessel::detail
