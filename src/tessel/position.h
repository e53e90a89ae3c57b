// Positions: moving a (offset, line, column) over source bytes in the lexer's column unit.
//
// Lines are counted by line feeds only.  Columns count bytes, code points, or UTF-16 code
// units; in the last two, every byte of malformed UTF-8 counts as one column of its own and a
// valid character counts once, at its first byte.  The whole source is passed because
// classifying a continuation byte may need the three bytes before it.
#pragma once

#include <cstdint>
#include <string_view>

#include "tessel/lexer.h"
#include "tessel/token.h"

namespace tessel {

// Length (1-4) of the valid UTF-8 character that begins at offset, or 0.
std::uint32_t utf8_length_at(const std::uint8_t* source, std::uint32_t length,
                             std::uint32_t offset) noexcept;

// Moves pos over the n bytes that start at pos.offset.
void advance_position(const std::uint8_t* source, std::uint32_t length, position& pos,
                      std::uint32_t n, column_unit unit) noexcept;

// Whether moving pos over n more bytes keeps its line and column within 32 bits, in every unit
// (each byte adds at most one line or one column).  Always true for a position lexed from a
// text tessel accepts; false only for a position made up by a caller.
constexpr bool advance_fits(const position& pos, std::uint64_t n) noexcept {
    return pos.line + n <= UINT32_MAX && pos.column + n <= UINT32_MAX;
}

inline constexpr const char* end_past_limit_message =
    "end_of: the token would end past line or column 4294967295";

// The position just after the token; its lexeme must be a view into source at its offset,
// else std::invalid_argument "end_of: the token's lexeme is not a view into the source at its
// start"; and its end must fit (advance_fits), else std::out_of_range end_past_limit_message.
position end_of(std::string_view source, const token& tok, column_unit unit);

}  // namespace tessel
