// Positions: moving (offset, line, column) over source bytes, and where a token ends.
//
// Every token's position comes from `advance_position`, called by the runtime over each
// match, and `end_of` applies the same function over a lexeme; so a token's end is always
// the next token's start, whichever way it is computed.
//
// Lines are counted by line feeds alone (a CR is an ordinary column).  Columns count bytes,
// code points or UTF-16 code units.  In the last two a byte adds a column unless it is a
// continuation byte of a valid character, and a valid four-byte character adds two UTF-16
// units at its lead byte.  "Valid" is strict UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF.  So malformed input still gets a column per byte, and a continuation byte
// is judged by looking up to three bytes back: that is why the whole source, not just the
// stretch being measured, is passed in, and why a stream keeps three bytes before its cursor.
//
// The loop is shaped for the common case: in bytes, only line feeds need looking at, and a
// stretch of ASCII is measured the same way in every unit; otherwise a valid lead byte lets
// the loop jump over its continuation bytes, and the backward look happens only for a
// continuation byte that no lead in the stretch accounted for (the first bytes of a stretch
// that starts inside a character, or malformed input).
//
// Eager lexing measures token after token of one text, mostly short and on one line.
// `forward_positions` serves it: it knows where the next line feed (and, outside byte
// columns, the next non-ASCII byte) lies, so a token that ends before both only adds its
// length to the column.  It looks for each such byte once, from the first token that passes
// the last one found; the non-ASCII search reads at most 4,096 bytes at a time, so that an
// ASCII text does not cost one search to its end per line.
//
// No position wraps: a text holds at most max_text_bytes = 2^32 - 2 bytes, and each byte adds
// at most one line or one column, so the end-of-input position of the longest text still has
// line and column at most 2^32 - 1.  Only a position a caller makes up can pass that; `end_of`
// refuses to move one past the 32-bit counters (`advance_fits`).
//
// Tests: tests/cpp/test_positions.cpp.
#include "tessel/position.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "kestrel/utf8.h"

namespace tessel {

namespace {

constexpr bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// A continuation byte at offset belongs to a valid character that begins up to 3 bytes back.
bool covered_continuation(const std::uint8_t* source, std::uint32_t length,
                          std::uint32_t offset) noexcept {
    for (std::uint32_t d = 1; d <= 3 && d <= offset; ++d) {
        if (utf8_length_at(source, length, offset - d) > d) return true;
    }
    return false;
}

// Lines and byte columns: the line count grows by the line feeds in the stretch, and after
// the last of them the column restarts at 1.  A token is mostly short and holds no line feed,
// so a short stretch is read byte by byte (no call), a long one a line feed at a time.
void advance_bytes(const std::uint8_t* source, position& pos, std::uint32_t n) noexcept {
    const std::uint8_t* p = source + pos.offset;
    const std::uint8_t* const end = p + n;
    pos.offset += n;
    if (n <= 32) {
        std::uint32_t lines = 0;
        const std::uint8_t* line_start = nullptr;  // just after the last line feed seen
        for (; p < end; ++p) {
            if (*p == '\n') {
                ++lines;
                line_start = p + 1;
            }
        }
        if (line_start == nullptr) {
            pos.column += n;
        } else {
            pos.line += lines;
            pos.column = 1 + static_cast<std::uint32_t>(end - line_start);
        }
        return;
    }
    const std::uint8_t* line_start = nullptr;
    while (p < end) {
        const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (lf == nullptr) break;
        ++pos.line;
        p = static_cast<const std::uint8_t*>(lf) + 1;
        line_start = p;
    }
    if (line_start != nullptr) {
        pos.column = 1 + static_cast<std::uint32_t>(end - line_start);
    } else {
        pos.column += n;
    }
}

void advance_characters(const std::uint8_t* source, std::uint32_t length, position& pos,
                        std::uint32_t n, bool utf16) noexcept {
    std::uint32_t i = pos.offset;
    const std::uint32_t end = pos.offset + n;
    while (i < end) {
        const std::uint8_t b = source[i];
        if (b < 0x80) {
            if (b == '\n') {
                ++pos.line;
                pos.column = 1;
            } else {
                ++pos.column;
            }
            ++i;
        } else if (is_continuation(b)) {
            if (!covered_continuation(source, length, i)) ++pos.column;
            ++i;
        } else {
            const std::uint32_t k = utf8_length_at(source, length, i);
            pos.column += (utf16 && k == 4) ? 2 : 1;
            // The continuation bytes of a valid character add nothing; malformed bytes are
            // taken one at a time.
            i += k == 0 ? 1 : k;
        }
    }
    // A valid character may run past the stretch (a stretch that ends inside a character);
    // its remaining bytes are not part of this move.
    pos.offset = end;
}

}  // namespace

std::uint32_t utf8_length_at(const std::uint8_t* source, std::uint32_t length,
                             std::uint32_t offset) noexcept {
    if (offset >= length) return 0;
    // The engine's decoder (kestrel/utf8.h), so that columns and matches agree on every byte.
    const kestrel::decoded_char c = kestrel::decode_utf8(source, length, offset);
    return c.valid ? c.length : 0;
}

void advance_position_general(const std::uint8_t* source, std::uint32_t length, position& pos,
                              std::uint32_t n, column_unit unit) noexcept {
    // In ASCII every unit counts bytes: no character spans bytes, and no byte of the stretch
    // continues a character begun before it.
    if (unit == column_unit::bytes || kestrel::all_ascii(source + pos.offset, n)) {
        advance_bytes(source, pos, n);
    } else {
        advance_characters(source, length, pos, n, unit == column_unit::utf16);
    }
}

void forward_positions::find_from(std::uint32_t from) noexcept {
    if (!started_ || next_line_feed_ < from) {
        const void* lf = std::memchr(source_ + from, '\n', length_ - from);
        next_line_feed_ = lf == nullptr ? length_ : static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(lf) - source_);
    }
    if (unit_ == column_unit::bytes) {
        next_high_ = length_;
    } else if (!started_ || next_high_ < from) {
        const std::uint32_t stop = length_ - from > search_window ? from + search_window : length_;
        std::uint32_t k = from;
        while (k < stop && source_[k] < 0x80) ++k;
        next_high_ = k;
    }
    started_ = true;
    plain_until_ = std::min(next_line_feed_, next_high_);
}

void forward_positions::cross(position& pos, std::uint32_t n) noexcept {
    const std::uint32_t end = pos.offset + n;
    if (end > next_high_ || !started_ || next_line_feed_ < pos.offset) {
        advance_position_general(source_, length_, pos, n, unit_);
        find_from(pos.offset);
        return;
    }
    // ASCII (or byte columns) with line feeds: walk them from the one already found, so that
    // each line feed of the text is looked for once.
    std::uint32_t lf = next_line_feed_;
    std::uint32_t last = lf;
    while (lf < end) {
        ++pos.line;
        last = lf;
        const void* found = std::memchr(source_ + lf + 1, '\n', length_ - lf - 1);
        lf = found == nullptr ? length_ : static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - source_);
    }
    pos.column = end - last;
    pos.offset = end;
    next_line_feed_ = lf;
    plain_until_ = std::min(next_line_feed_, next_high_);
}

position end_of(std::string_view source, const token& tok, column_unit unit) {
    check_text_length(source.size());
    const std::uint32_t offset = tok.pos.offset;
    const bool fits = offset <= source.size() && tok.lexeme.size() <= source.size() - offset;
    // An empty lexeme ends where it starts; it views nothing, so only its offset is checked.
    if (!fits || (!tok.lexeme.empty() &&
                  !std::equal_to<const char*>()(tok.lexeme.data(), source.data() + offset))) {
        throw std::invalid_argument(
            "end_of: the token's lexeme is not a view into the source at its start");
    }
    if (!advance_fits(tok.pos, tok.lexeme.size())) throw std::out_of_range(end_past_limit_message);
    position end = tok.pos;
    advance_position(reinterpret_cast<const std::uint8_t*>(source.data()),
                     static_cast<std::uint32_t>(source.size()), end,
                     static_cast<std::uint32_t>(tok.lexeme.size()), unit);
    return end;
}

}  // namespace tessel
