// Positions: moving a (offset, line, column) over source bytes in the lexer's column unit.
//
// Lines are counted by line feeds only.  Columns count bytes, code points, or UTF-16 code
// units; in the last two, every byte of malformed UTF-8 counts as one column of its own and a
// valid character counts once, at its first byte.  The whole source is passed because
// classifying a continuation byte may need the three bytes before it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "tessel/lexer.h"
#include "tessel/token.h"

namespace tessel {

// Length (1-4) of the valid UTF-8 character that begins at offset, or 0.
std::uint32_t utf8_length_at(const std::uint8_t* source, std::uint32_t length,
                             std::uint32_t offset) noexcept;

// Moves pos over the n bytes that start at pos.offset, in general.
void advance_position_general(const std::uint8_t* source, std::uint32_t length, position& pos,
                              std::uint32_t n, column_unit unit) noexcept;

// Moves pos over the n bytes that start at pos.offset.  Inline for the common stretch, one
// with no line feed (and, outside byte columns, only ASCII), where every unit counts bytes:
// it is read eight bytes at a time.
inline void advance_position(const std::uint8_t* source, std::uint32_t length, position& pos,
                             std::uint32_t n, column_unit unit) noexcept {
    const std::uint8_t* const p = source + pos.offset;
    // Bytes to look out for: the line feed, and outside byte columns every byte from 0x80 up.
    const std::uint64_t high = unit == column_unit::bytes ? 0 : 0x8080808080808080ull;
    std::uint32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + k, 8);
        const std::uint64_t lf = w ^ 0x0A0A0A0A0A0A0A0Aull;
        // A byte of lf is zero exactly where w holds a line feed.
        if ((((lf - 0x0101010101010101ull) & ~lf & 0x8080808080808080ull) | (w & high)) != 0) {
            advance_position_general(source, length, pos, n, unit);
            return;
        }
    }
    for (; k < n; ++k) {
        if (p[k] == '\n' || (p[k] & high) != 0) {
            advance_position_general(source, length, pos, n, unit);
            return;
        }
    }
    pos.offset += n;
    pos.column += n;
}

// Moves one position forward over consecutive stretches of one source, as advance_position
// does, for a caller that measures token after token: it keeps the offsets of the next line
// feed and (outside byte columns) the next byte from 0x80 up, so that a stretch ending before
// both costs one comparison.  Each of the two is searched for once per occurrence (the second
// within a window of search_window bytes at a time), so the searches cost a pass over the
// source in all.  The position moved must only go forward from where the tracker started,
// by this tracker or by any other means.
class forward_positions {
public:
    forward_positions(const std::uint8_t* source, std::uint32_t length, column_unit unit, std::uint32_t from) noexcept
        : source_(source), length_(length), unit_(unit) {
        find_from(from);
    }

    void advance(position& pos, std::uint32_t n) noexcept {
        if (pos.offset + n <= plain_until_) {
            pos.offset += n;
            pos.column += n;
            return;
        }
        cross(pos, n);
    }

    static constexpr std::uint32_t search_window = 4096;

private:
    // Brings the two offsets up to date for a position at `from`: a search runs only for one
    // that lies behind it (the first after an earlier point, and at or after `from`, is still
    // the first after `from`).
    void find_from(std::uint32_t from) noexcept;
    // A stretch that reaches one of the two.
    void cross(position& pos, std::uint32_t n) noexcept;

    const std::uint8_t* source_;
    std::uint32_t length_;
    column_unit unit_;
    std::uint32_t next_line_feed_ = 0;
    std::uint32_t next_high_ = 0;  // or the end of the window searched
    std::uint32_t plain_until_ = 0;  // the smaller of the two
    bool started_ = false;
};

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
