// Incremental lexing: the scan cursor and the token stream.
//
// The scan cursor is the eager loop taken apart: it holds the cursor, the mode stack and the
// DFA memos of a run over a whole text and makes one step per `advance`, adding the end_of_input token once
// at the end when asked.  A lexing error leaves it exhausted, so a caller that keeps asking
// simply sees the end.
//
// The token stream lexes text that arrives in chunks and hands out a token only once no text
// still to come can change it.  Each `feed` appends the chunk to a buffer and runs the
// streaming form of the one-token step (runtime.cpp) from the cursor.  That step answers
// "undecided" where more text could matter: at the end of the buffer, when any candidate
// rule's streaming match at a position it tests reports an open end (the match, or its
// absence, depends on bytes not yet fed), when the mode's DFA scan reached the end of the
// buffer still alive, and when an error run reaches the end.  An undecided step is not
// undone: the skip matches it made stand (they were decided), the cursor stays where it
// stopped, and what the matchers learned stays in a pending record: the automaton's scan
// with its state at the end of the buffer, the per-rule candidates already decided, the start
// of an error run.  The next call goes on from there, so the automaton reads each byte of an
// undecided token once however the text is chunked, and the token is handed out by the call
// whose text decides it.  Each call makes fresh DFA memos, since the buffer it lexes is a new
// subject.  So a stream returns exactly the tokens, and raises exactly the errors at the same
// positions, that eager lexing of the whole text gives.
//
// Memory stays bounded: before each call the buffer drops the text before the step not yet
// finished (the skip matches it made are kept, and counted by `buffered`), keeping only the
// lexer's context_bytes before it (what lookbehinds and boundary tests can look back at), at
// least 3 with code-point or UTF-16 columns, because a continuation byte's column is judged
// from the three bytes before it.  For the same reason, with those units an incomplete
// UTF-8 character at the end of the fed text is held back in a pending tail until the next
// chunk: measuring its lead byte needs the bytes after it.  Positions handed out are absolute
// (the buffer's offset in the whole text is added by the step itself), and token lexemes view
// the buffer, valid until the next call.
//
// A refused feed (after the end, after an error, or past the length limit) is refused before
// anything changes, and `check_feed` lets a caller that records the fed text itself ask first.
//
// Limits: the whole text fed is at most the stream's limit (max_text_bytes by default).  A
// per-rule match that stays open (a lookaround or an end assertion that reaches the end of
// the buffer, or a rule the automaton holds only for ASCII, past a non-ASCII byte) is run
// again from the token's start on each call while it stays open: only such a match, over a
// long undecided token, costs more than linear time.
//
// Tests: tests/cpp/test_stream.cpp (including a seeded comparison with eager lexing).
#include "tessel/stream.h"

#include <algorithm>
#include <stdexcept>

#include "tessel/step.h"

namespace tessel {

namespace {

const std::uint8_t* bytes_of(std::string_view s) noexcept {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace

// ---- scan cursor ----

scan_cursor::scan_cursor(std::shared_ptr<const lexer> lx, std::string_view subject, bool eof)
    : lexer_(std::move(lx)), subject_(subject), stack_{mode_entry{}}, eof_(eof), exhausted_(false) {
    if (!lexer_) throw std::invalid_argument("scan_cursor: no lexer");
    check_text_length(subject.size());
    memos_ = dfa_memos(lexer_->mode_count(), static_cast<std::uint32_t>(subject.size()));
}

void scan_cursor::advance() {
    if (exhausted_) return;
    try {
        detail::run_state run{bytes_of(subject_), static_cast<std::uint32_t>(subject_.size()), 0,
                              cursor_, &stack_, &memos_};
        const detail::step_result r = detail::next_token(*lexer_, run, current_);
        cursor_ = run.cursor;
        if (r == detail::step_result::token) return;
    } catch (...) {
        exhausted_ = true;
        throw;
    }
    if (eof_ && !eof_produced_) {
        current_ = token{end_of_input_kind, subject_.substr(subject_.size()), cursor_, 0};
        eof_produced_ = true;
        return;
    }
    exhausted_ = true;
}

bool operator==(const scan_cursor& a, const scan_cursor& b) noexcept {
    if (a.exhausted_ || b.exhausted_) return a.exhausted_ == b.exhausted_;
    return a.cursor_.offset == b.cursor_.offset;
}

// ---- token stream ----

token_stream::token_stream(std::shared_ptr<const lexer> lx, std::uint64_t limit)
    : lexer_(std::move(lx)), limit_(std::min(limit, max_text_bytes)) {
    if (!lexer_) throw std::invalid_argument("token_stream: no lexer");
}

std::size_t token_stream::buffered() const noexcept {
    return buffer_.size() + pending_tail_.size() - step_start_;
}

void token_stream::compact() {
    std::uint32_t keep = lexer_->context_bytes();
    if (lexer_->columns() != column_unit::bytes) keep = std::max<std::uint32_t>(keep, 3);
    if (step_start_ <= keep) return;
    const std::uint32_t drop = step_start_ - keep;
    buffer_.erase(0, drop);
    total_ += drop;
    step_start_ -= drop;
    cursor_.offset -= drop;
    pending_.shift(drop);
}

void token_stream::check_feed(std::size_t size) const {
    if (failed_) throw std::logic_error("stream_feed: the stream ended with an error");
    if (finished_) throw std::logic_error("stream_feed: the stream is finished");
    const std::uint64_t fed = std::uint64_t{total_} + buffer_.size() + pending_tail_.size();
    check_text_length(fed + size, limit_);
}

std::vector<token> token_stream::feed(std::string_view chunk) {
    check_feed(chunk.size());

    compact();
    buffer_ += pending_tail_;
    pending_tail_.clear();
    buffer_.append(chunk);

    if (lexer_->columns() != column_unit::bytes) {
        // Hold back a final character whose lead byte is not followed by all its bytes yet.
        const std::size_t after = buffer_.size() - cursor_.offset;
        for (std::size_t k = 1; k <= std::min<std::size_t>(3, after); ++k) {
            const std::size_t at = buffer_.size() - k;
            const auto b = static_cast<std::uint8_t>(buffer_[at]);
            if ((b & 0xC0) == 0x80) continue;
            const std::size_t expected = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
            if (k < expected) {
                pending_tail_.assign(buffer_, at, std::string::npos);
                buffer_.resize(at);
            }
            break;
        }
    }
    // A token that waits only on its mode's automaton (the per-rule candidates wait until the
    // automaton's answer settles) stays undecided while the automaton's scan stays open: read
    // the new bytes and return, without the setup of a whole call.  This is what a chunk of a
    // long token costs, however small the chunks.
    if (pending_.match && !pending_.error_run && pending_.scan_made &&
        pending_.scan.stopped == kestrel::dfa_scan::stop::reading &&
        pending_.read_on(*lexer_->automaton(pending_.mode), bytes_of(buffer_), static_cast<std::uint32_t>(buffer_.size()))
            .open_end) {
        return {};
    }
    return run(false);
}

std::vector<token> token_stream::finish() {
    if (failed_) throw std::logic_error("stream_finish: the stream ended with an error");
    if (finished_) throw std::logic_error("stream_finish: the stream is finished");
    compact();
    buffer_ += pending_tail_;
    pending_tail_.clear();
    finished_ = true;
    return run(true);
}

std::vector<token> token_stream::run(bool final) {
    std::vector<token> out;
    // Fresh memos for this call: the buffer is a new subject each time.
    dfa_memos memos(lexer_->mode_count(), static_cast<std::uint32_t>(buffer_.size()));
    detail::run_state state{bytes_of(buffer_), static_cast<std::uint32_t>(buffer_.size()), total_,
                            cursor_, &stack_, &memos};
    state.pending = &pending_;
    forward_positions positions(state.subject, state.length, lexer_->columns(), state.cursor.offset);
    try {
        token t;
        for (;;) {
            // Where no step is pending, the tokens the automata decide alone come first, by the
            // eager loop; the first that needs more goes to the general step.
            if (!pending_.match && !pending_.error_run) {
                const std::size_t before = out.size();
                detail::lex_decided_on_automata(*lexer_, state, positions, out, final);
                if (out.size() > before) {
                    step_start_ = out.back().pos.offset - total_ + static_cast<std::uint32_t>(out.back().lexeme.size());
                }
            }
            const detail::step_result r = detail::next_token_streaming(*lexer_, state, t, final);
            if (r != detail::step_result::undecided) step_start_ = state.cursor.offset;
            if (r != detail::step_result::token) break;
            out.push_back(t);
        }
    } catch (const lex_error& e) {
        finished_ = failed_ = true;
        rule_work_ += memos.match_work();
        cursor_ = state.cursor;
        throw lex_error(e.what(), e.where, std::move(out));
    } catch (...) {
        // Anything else (an allocation failure) would lose the tokens decided in this call, so
        // the stream cannot go on either.
        finished_ = failed_ = true;
        rule_work_ += memos.match_work();
        cursor_ = state.cursor;
        throw;
    }
    rule_work_ += memos.match_work();
    cursor_ = state.cursor;
    return out;
}

}  // namespace tessel
