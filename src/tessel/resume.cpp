// Lexing from a saved state.
//
// An editor holds a text, its tokens, and for each token boundary the mode stack there.  After
// an edit it wants the tokens of the new text without lexing all of it: from some boundary
// before the edit, with the mode stack saved there, until the new tokens fall in step with the
// old ones again.  Two things make that exact rather than a guess.
//
// First, each token's look-ahead extent: the furthest offset any matcher read while deciding
// the step that produced it.  A step is a function of the mode stack at its start and of the
// bytes it read (behind its start for lookbehinds and word boundaries, ahead up to its
// extent), so an edit that starts past a token's extent leaves that token, and every mode
// change up to it, as it was.  The runtime collects the extent when asked (run_state::reach):
// the automaton's stop, each per-rule candidate's reach on the Pike VM, the stretch an error
// run crosses, and the end of the text for a step that saw it.  The end counts as an offset of
// its own (the length), so that an insertion at the end re-lexes a token that read up to it.
//
// Second, lexing from the middle: the run starts at the given cursor and stack, over the whole
// text, so that a rule looking back from the cursor sees the same bytes it would in a full
// run.  The result reports the mode stack compactly, only after the tokens whose step changed
// it, which is what an editor keeps as its checkpoints.
//
// The run is bounded: it goes until a token ends at or past `until` (the edit's end plus the
// context any rule looks back, in an editor) and then at most `more` tokens, so that the
// caller can compare boundaries with its old ones between calls and stop as soon as they agree.
//
// Tests: tests/cpp/test_resume.cpp; the editor's document (python/tessel/_document.py) is
// checked against full tokenizing by tests/python/test_document.py.
#include "tessel/resume.h"

#include <stdexcept>
#include <string>

#include "tessel/step.h"

namespace tessel {

namespace {

void check_state(const lexer& lx, std::uint32_t length, const lex_state& from) {
    if (from.cursor.offset > length) {
        throw std::invalid_argument("lex_from: offset " + std::to_string(from.cursor.offset) +
                                    " is past the end of the text (" + std::to_string(length) + " bytes)");
    }
    if (from.cursor.line == 0 || from.cursor.column == 0) {
        throw std::invalid_argument("lex_from: line and column are 1-based");
    }
    if (from.stack.empty()) throw std::invalid_argument("lex_from: the mode stack is empty");
    if (from.stack.size() > max_mode_depth) {
        throw std::invalid_argument("lex_from: the mode stack is deeper than " + std::to_string(max_mode_depth) +
                                    " entries");
    }
    for (const mode_entry& e : from.stack) {
        if (e.mode >= lx.mode_count()) {
            throw std::invalid_argument("lex_from: the mode stack names mode " + std::to_string(e.mode) +
                                        ", but the lexer has " + std::to_string(lx.mode_count()));
        }
    }
}

bool same_modes(const std::vector<mode_entry>& a, const std::vector<mode_entry>& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i].mode != b[i].mode) return false;
    }
    return true;
}

std::vector<std::uint32_t> modes_of(const std::vector<mode_entry>& stack) {
    std::vector<std::uint32_t> m;
    m.reserve(stack.size());
    for (const mode_entry& e : stack) m.push_back(e.mode);
    return m;
}

}  // namespace

resumed_run lex_from(const lexer& lx, std::string_view subject, const lex_state& from, std::uint32_t until,
                     std::uint32_t more) {
    check_text_length(subject.size());
    const auto length = static_cast<std::uint32_t>(subject.size());
    check_state(lx, length, from);

    resumed_run out;
    out.after = from;
    std::vector<mode_entry> before;
    dfa_memos memos(lx.mode_count(), length);
    std::uint32_t reach = 0;
    detail::run_state run{reinterpret_cast<const std::uint8_t*>(subject.data()), length, 0, from.cursor,
                          &out.after.stack, &memos, &reach};
    const std::uint32_t wanted = more == 0 ? 1 : more;
    std::uint32_t counted = 0;
    token t;
    for (;;) {
        before = out.after.stack;
        reach = run.cursor.offset;
        if (detail::next_token(lx, run, t) != detail::step_result::token) {
            out.finished = true;
            break;
        }
        out.tokens.push_back(t);
        out.extents.push_back(reach);
        if (!same_modes(before, out.after.stack)) {
            out.stacks.push_back(stack_change{static_cast<std::uint32_t>(out.tokens.size() - 1),
                                              modes_of(out.after.stack)});
        }
        if (run.cursor.offset >= until && ++counted >= wanted) break;
    }
    out.after.cursor = run.cursor;
    return out;
}

}  // namespace tessel
