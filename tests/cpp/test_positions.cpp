// Positions: strict UTF-8 sequence lengths, moving a position in the three column units over
// well-formed and malformed text, and where a token ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "tessel/position.h"

namespace {

using tessel::column_unit;
using tessel::position;

const std::uint8_t* u8(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

TEST(Positions, Utf8LengthAt) {
    struct row {
        const char* bytes;
        std::uint32_t offset;
        std::uint32_t expected;
    } rows[] = {
        {"a", 0, 1},           {"\xC2\x80", 0, 2},      {"\xDF\xBF", 0, 2},
        {"\xE0\xA0\x80", 0, 3}, {"\xED\x9F\xBF", 0, 3}, {"\xEE\x80\x80", 0, 3},
        {"\xF0\x90\x80\x80", 0, 4}, {"\xF4\x8F\xBF\xBF", 0, 4},
        {"\x80", 0, 0},         // continuation byte
        {"\xC3\xA9", 1, 0},     // ... also inside a valid character
        {"\xF8\x88\x80\x80\x80", 0, 0}, {"\xFF", 0, 0},
        {"\xC3(", 0, 0},        // lead without its continuation
        {"\xE2\x82", 0, 0},     // runs past the end
        {"\xC0\x80", 0, 0},     {"\xC1\xBF", 0, 0},  // overlong
        {"\xE0\x9F\xBF", 0, 0}, {"\xF0\x8F\xBF\xBF", 0, 0},
        {"\xED\xA0\x80", 0, 0}, {"\xED\xBF\xBF", 0, 0},  // surrogates
        {"\xF4\x90\x80\x80", 0, 0},                      // above U+10FFFF
        {"ab", 2, 0},                                     // at the end
    };
    for (const row& r : rows) {
        const std::string s = r.bytes;
        EXPECT_EQ(tessel::utf8_length_at(u8(s), s.size(), r.offset), r.expected)
            << testing::PrintToString(s) << " at " << r.offset;
    }
}

struct move_case {
    std::string text;  // the position moves over all of it from offset 0
    std::uint32_t line;
    std::uint32_t columns[3];  // bytes, codepoints, utf16
};

TEST(Positions, AdvanceInEveryUnit) {
    const move_case cases[] = {
        {"ab\n", 2, {1, 1, 1}},
        {"a\r\n", 2, {1, 1, 1}},          // CR LF ends one line
        {"a\r", 1, {3, 3, 3}},            // a lone CR is a column
        {"\xC3\xA9", 1, {3, 2, 2}},       // U+00E9
        {"\xE2\x82\xAC", 1, {4, 2, 2}},   // U+20AC
        {"\xF0\x9F\x98\x80", 1, {5, 2, 3}},  // U+1F600: two UTF-16 units
        {"\x80", 1, {2, 2, 2}},
        {"\xC3(", 1, {3, 3, 3}},
        {"\xC0\x80", 1, {3, 3, 3}},
        {"\xED\xA0\x80", 1, {4, 4, 4}},
        {"\xF0\x9F\x98", 1, {4, 4, 4}},   // truncated at the end of the source
        {"\xF0\x9F\x98" "a", 1, {5, 5, 5}},
        {"\xF4\x90\x80\x80", 1, {5, 5, 5}},
        {"\xC3\xA9\x80\xA9", 1, {5, 4, 4}},  // stray continuations after a valid character
        {"\xC3\xA9\n\xF0\x9F\x98\x80z", 2, {6, 3, 4}},
    };
    for (const move_case& c : cases) {
        for (int unit = 0; unit < 3; ++unit) {
            position p;
            tessel::advance_position(u8(c.text), c.text.size(), p, c.text.size(),
                                     static_cast<column_unit>(unit));
            EXPECT_EQ(p, (position{static_cast<std::uint32_t>(c.text.size()), c.line, c.columns[unit]}))
                << testing::PrintToString(c.text) << " unit " << unit;
        }
    }
}

TEST(Positions, StretchesLookBackIntoTheSource) {
    // Moving over the last bytes of a character that began before the stretch adds nothing
    // in character units; the look back never reaches before the source.
    const std::string s = "x\xF0\x9F\x98\x80y";
    for (std::uint32_t from = 2; from <= 4; ++from) {
        position p{from, 1, 7};
        tessel::advance_position(u8(s), s.size(), p, 5 - from, column_unit::utf16);
        EXPECT_EQ(p, (position{5, 1, 7})) << from;
    }
    const std::string lone = "\xA9";
    position p;
    tessel::advance_position(u8(lone), 1, p, 1, column_unit::codepoints);
    EXPECT_EQ(p.column, 2u);
}

TEST(Positions, ByteByByteEqualsAllAtOnce) {
    // The runtime moves over error runs a byte or a stretch at a time and over matches whole;
    // every split of the same bytes must land on the same position.
    std::mt19937 rng(20240611);
    const std::vector<std::string> pieces = {"a", "\n", "\r", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                             "\x80", "\xC3", "\xF0\x9F", "\xED\xA0\x80", "\xFF"};
    for (int trial = 0; trial < 300; ++trial) {
        std::string s;
        for (int i = rng() % 12; i > 0; --i) s += pieces[rng() % pieces.size()];
        for (int unit = 0; unit < 3; ++unit) {
            position whole, split;
            tessel::advance_position(u8(s), s.size(), whole, s.size(), static_cast<column_unit>(unit));
            for (std::uint32_t left = s.size(); left > 0;) {
                const std::uint32_t n = 1 + rng() % left;
                tessel::advance_position(u8(s), s.size(), split, n, static_cast<column_unit>(unit));
                left -= n;
            }
            EXPECT_EQ(whole, split) << testing::PrintToString(s) << " unit " << unit;
        }
    }
}

// The inline measure (eight bytes at a time) and the forward tracker (which remembers the next
// line feed and non-ASCII byte) against the general measure, over long ASCII runs, line
// feeds and non-ASCII bytes at every alignment, split at random.  The tracker is also moved
// by other means now and then, as the runtime's general step moves the cursor between its
// uses, and over a text longer than its search window.
TEST(Positions, FastMeasuresEqualTheGeneralOne) {
    std::mt19937 rng(20261208);
    const std::vector<std::string> pieces = {"a",  "abcdefg", "abcdefghijklmnopq", "\n", "\n\n", "\xC3\xA9",
                                             "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xC3", "\xFF", "\r"};
    for (int trial = 0; trial < 400; ++trial) {
        std::string s;
        for (int i = rng() % 40; i > 0; --i) s += pieces[rng() % pieces.size()];
        if (trial % 50 == 0) s += std::string(3 * tessel::forward_positions::search_window, 'x') + "\xC3\xA9\nz";
        const auto n = static_cast<std::uint32_t>(s.size());
        for (int u = 0; u < 3; ++u) {
            const auto unit = static_cast<column_unit>(u);
            tessel::forward_positions tracker(u8(s), n, unit, 0);
            position inline_measure, tracked;
            for (std::uint32_t at = 0; at < n;) {
                const std::uint32_t k = 1 + rng() % std::min<std::uint32_t>(n - at, 24);
                position expected = inline_measure;
                tessel::advance_position_general(u8(s), n, expected, k, unit);
                tessel::advance_position(u8(s), n, inline_measure, k, unit);
                if (rng() % 7 == 0) {
                    tessel::advance_position(u8(s), n, tracked, k, unit);
                } else {
                    tracker.advance(tracked, k);
                }
                at += k;
                ASSERT_EQ(inline_measure, expected) << testing::PrintToString(s) << " unit " << u << " at " << at;
                ASSERT_EQ(tracked, expected) << testing::PrintToString(s) << " unit " << u << " at " << at;
            }
        }
    }
}

TEST(Positions, EndOf) {
    const std::string src = "ab\ncd\xC3\xA9!";
    auto tok = [&](std::uint32_t off, std::uint32_t len, position at) {
        return tessel::token{1, std::string_view(src).substr(off, len), at, 0};
    };
    // A lexeme over a line feed; an empty lexeme; a lexeme that starts on a continuation byte.
    EXPECT_EQ(tessel::end_of(src, tok(1, 3, {1, 1, 2}), column_unit::bytes), (position{4, 2, 2}));
    EXPECT_EQ(tessel::end_of(src, tok(3, 0, {3, 2, 1}), column_unit::bytes), (position{3, 2, 1}));
    EXPECT_EQ(tessel::end_of(src, tok(6, 2, {6, 2, 4}), column_unit::codepoints), (position{8, 2, 5}));
    EXPECT_EQ(tessel::end_of(src, tok(6, 2, {6, 2, 5}), column_unit::bytes), (position{8, 2, 7}));

    EXPECT_EQ(tessel::end_of(src, tok(7, 1, {7, 2, 6}), column_unit::bytes), (position{8, 2, 7}));

    const std::string copy = src;
    const tessel::token wrong[] = {
        {1, std::string_view(copy).substr(1, 2), {1, 1, 2}, 0},  // same bytes, another string
        {1, std::string_view(src).substr(1, 2), {2, 1, 3}, 0},   // not at its offset
        {1, std::string_view(src).substr(7, 1), {8, 2, 7}, 0},   // would run past the end
        {1, std::string_view(src).substr(0, 0), {9, 2, 6}, 0},   // empty, beyond the source
    };
    for (const tessel::token& t : wrong) {
        try {
            tessel::end_of(src, t, column_unit::bytes);
            ADD_FAILURE() << "accepted a token at " << t.pos.offset;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "end_of: the token's lexeme is not a view into the source at its start");
        }
    }
}

// The longest text tessel accepts ends at a line and column that still fit 32 bits (each byte
// adds at most one of either), and one byte more is refused.  Positions that only a caller can
// make up are refused by end_of before they wrap, whichever unit counts the columns.
TEST(Positions, NoPositionWraps) {
    static_assert(1 + tessel::max_text_bytes <= UINT32_MAX);
    EXPECT_NO_THROW(tessel::check_text_length(tessel::max_text_bytes));
    EXPECT_THROW(tessel::check_text_length(std::uint64_t{UINT32_MAX}), std::invalid_argument);

    const std::string src = "ab\ncd";
    const auto near_top = [&](std::uint32_t off, std::uint32_t len, std::uint32_t line, std::uint32_t column) {
        return tessel::token{1, std::string_view(src).substr(off, len), {off, line, column}, 0};
    };
    for (column_unit unit : {column_unit::bytes, column_unit::codepoints, column_unit::utf16}) {
        EXPECT_EQ(tessel::end_of(src, near_top(0, 2, 1, UINT32_MAX - 2), unit), (position{2, 1, UINT32_MAX}));
        EXPECT_EQ(tessel::end_of(src, near_top(1, 3, UINT32_MAX - 3, 7), unit), (position{4, UINT32_MAX - 2, 2}));
        for (const tessel::token& t : {near_top(0, 2, 1, UINT32_MAX - 1), near_top(1, 2, UINT32_MAX - 1, 1),
                                       near_top(4, 2, 9, UINT32_MAX)}) {
            try {
                tessel::end_of(src, t, unit);
                ADD_FAILURE() << "accepted " << t.pos.line << ":" << t.pos.column;
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "end_of: the token would end past line or column 4294967295");
            }
        }
    }
}

}  // namespace
