// The tokenizing runtime: the longest match in a mode, the one-token step shared by eager
// lexing, scans and streams, and eager tokenizing.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/token.h"

namespace tessel {

// A lexing error at a position; for streams also the tokens decided before it in the call.
class lex_error : public std::runtime_error {
public:
    lex_error(const std::string& message, position at, std::vector<token> decided = {})
        : std::runtime_error(message), where(at), tokens(std::move(decided)) {}
    position where;
    std::vector<token> tokens;
};

// The largest number of entries of the mode stack, the root included.
inline constexpr std::size_t max_mode_depth = 65536;

struct mode_entry {
    std::uint32_t mode = 0;
    position entered;  // the start of the token whose push opened it (1:1 for the root)
};

struct best_match {
    bool found = false;
    std::uint32_t rule = 0;
    std::uint32_t length = 0;
    bool open_end = false;  // from a DFA only
};

// The longest match among the rules of `mode` at `offset`: the longest, the lower rule index
// on equal length.  A match may be empty (length 0).  Nothing is found at or past the end.
best_match longest_match(const lexer& lx, std::uint32_t mode, const std::uint8_t* subject,
                         std::uint32_t length, std::uint32_t offset);

// One step of lexing: moves `cursor` (and the mode stack, which must hold at least the root
// entry `mode_entry{}`) over the next token and any skip matches before it.  Returns true with
// the token in `out`, or false at the end of the subject.  Throws lex_error; cursor and stack
// are then left mid-step.  Errors = token gives error tokens instead of raising where it can.
bool next_token(const lexer& lx, const std::uint8_t* subject, std::uint32_t length,
                position& cursor, std::vector<mode_entry>& stack, token& out);

// Eager tokenizing of a whole text (at most max_text_bytes; longer is std::invalid_argument).
// Throws lex_error.
std::vector<token> tokenize(const lexer& lx, std::string_view subject, bool eof);

// The same tokens into `tokens`, which is cleared first and keeps its storage: a caller that
// lexes text after text (a compiler's files, an editor's re-lexes) into one list pays for
// fresh memory once.  On lex_error (or any failure) `tokens` is left empty.
void tokenize_into(const lexer& lx, std::string_view subject, bool eof, std::vector<token>& tokens);

}  // namespace tessel
