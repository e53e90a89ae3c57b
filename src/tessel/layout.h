// The layout pass: NEWLINE, INDENT and DEDENT tokens inserted into a finished token sequence
// from the indentation of its logical lines.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessel/token.h"

namespace tessel {

// An indentation that no open block explains, at the token where it was found.
class layout_error : public std::runtime_error {
public:
    layout_error(const std::string& message, position at)
        : std::runtime_error(message), where(at) {}
    position where;
};

// How an indentation is measured.  `columns`: the token's column - 1, in whatever unit the
// lexer counted columns.  `python`: the source bytes before the token on its physical line,
// a tab moving to the next multiple of 8 and a form feed starting over, with the extra check
// that tabs counted as 1 and as 8 order the levels the same way.
enum class tab_rule : std::uint8_t { columns, python };

// The tokens with the layout tokens inserted, ending with one end_of_input token.
// `significant[m]` says whether tokens of mode m carry layout; modes at or beyond its size
// count as significant.  `source` is the text whose byte offsets the tokens carry; `python`
// without a source measures as `columns`.  Inserted tokens have an empty lexeme and mode 0.
// Throws layout_error, or std::invalid_argument when a token lies beyond the source under
// `python`.  The result's lexemes view the same bytes as the input's.
std::vector<token> layout(const std::vector<token>& tokens, const std::vector<bool>& significant,
                          std::optional<std::string_view> source = std::nullopt,
                          tab_rule tabs = tab_rule::columns);

}  // namespace tessel
