// Incremental lexing: the scan cursor (one token at a time over a whole text) and the token
// stream (text arriving in chunks; a token is handed out only once no text still to come can
// change it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/mode_dfa.h"
#include "tessel/runtime.h"
#include "tessel/step.h"

namespace tessel {

class scan_cursor {
public:
    // The end state: exhausted.
    scan_cursor() = default;
    // Over a whole text (the caller keeps the bytes alive).  Does not advance.
    scan_cursor(std::shared_ptr<const lexer> lx, std::string_view subject, bool eof);

    // Moves to the next token, or to the exhausted state.  Throws lex_error.
    void advance();
    const token& current() const noexcept { return current_; }
    bool exhausted() const noexcept { return exhausted_; }

    // Equal when both are exhausted, or neither is and their cursors stand at the same offset.
    friend bool operator==(const scan_cursor& a, const scan_cursor& b) noexcept;

private:
    std::shared_ptr<const lexer> lexer_;
    std::string_view subject_;
    position cursor_;
    std::vector<mode_entry> stack_;
    dfa_memos memos_;  // one per mode, kept across the scan
    token current_;
    bool eof_ = false;
    bool eof_produced_ = false;
    bool exhausted_ = true;
};

class token_stream {
public:
    // limit: the longest whole text the stream accepts (max_text_bytes; tests pass less).
    explicit token_stream(std::shared_ptr<const lexer> lx, std::uint64_t limit = max_text_bytes);

    // The tokens this chunk decided (offsets in the whole text; lexemes view the stream's
    // buffer and are valid until the next call).  Throws lex_error, whose `tokens` are those
    // this call decided before the error (viewing the buffer likewise); the stream is then
    // finished, as after any other failure while lexing.  A refused feed (see check_feed)
    // changes nothing.
    std::vector<token> feed(std::string_view chunk);
    // Throws what feed would throw before it lexes a chunk of `size` bytes: std::logic_error
    // "stream_feed: the stream is finished" or "stream_feed: the stream ended with an error",
    // and std::invalid_argument "text too long: tessel lexes at most <limit> bytes" when the
    // whole text would pass the limit (the stream stays usable).  A caller that keeps its own
    // record of the text fed asks this first, so that a refused chunk is recorded nowhere.
    void check_feed(std::size_t size) const;
    // The remaining tokens.  Throws lex_error (as feed), std::logic_error
    // "stream_finish: the stream is finished" or "stream_finish: the stream ended with an
    // error".
    std::vector<token> finish();
    // The bytes from the first token not yet returned to the end of what was fed.
    std::size_t buffered() const noexcept;
    bool finished() const noexcept { return finished_; }
    // Finished by a failure while lexing (a lex_error or an allocation failure).
    bool failed() const noexcept { return failed_; }
    // The matching work of every call so far: the bytes the automata and the error runs read
    // and the steps of the per-rule matchers, for the tests that prove a stream's total cost
    // linear in its text.
    std::uint64_t match_work() const noexcept { return pending_.bytes_examined + rule_work_; }

private:
    // Drops the lexed text before the cursor that no rule can look back at any more.
    void compact();
    // Runs steps over the buffer until the end or an undecided step.
    std::vector<token> run(bool final);

    std::shared_ptr<const lexer> lexer_;
    std::uint64_t limit_;
    std::string buffer_;       // context before the cursor, then everything not yet decided
    std::uint32_t total_ = 0;  // offset in the whole text of buffer_[0]
    position cursor_;          // offset relative to buffer_; line and column absolute
    // Where the step not yet finished began (relative to buffer_): the first byte not handed
    // out in a token.  The cursor may stand past it, after the skip matches the step made.
    std::uint32_t step_start_ = 0;
    std::uint64_t rule_work_ = 0;  // per-rule matcher steps of the calls so far
    std::vector<mode_entry> stack_{mode_entry{}};  // entry positions absolute
    detail::pending_step pending_;  // what the undecided step learned, for the next call
    std::string pending_tail_;  // an incomplete UTF-8 character held back from the end
    bool finished_ = false;
    bool failed_ = false;
};

}  // namespace tessel
