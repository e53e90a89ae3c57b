// The layout pass: blocks opened and closed, the end of the input, insignificant and
// multi-line tokens, both tab rules, and every message with its position.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tessel/layout.h"

namespace {

using tessel::layout;
using tessel::tab_rule;
using tessel::token;

token tok(std::string_view lexeme, std::uint32_t offset, std::uint32_t line, std::uint32_t column,
          std::uint32_t mode = 0, std::int32_t kind = 1) {
    return token{kind, lexeme, {offset, line, column}, mode};
}

token end_token(std::uint32_t offset, std::uint32_t line, std::uint32_t column) {
    return tok("", offset, line, column, 0, tessel::end_of_input_kind);
}

// A stand-in lexer: one token per run of bytes other than space, tab, form feed, carriage
// return and line feed, with byte columns, then end_of_input at the end of the text.
std::vector<token> words(std::string_view source) {
    std::vector<token> out;
    std::uint32_t line = 1, line_start = 0;
    for (std::uint32_t i = 0; i < source.size();) {
        const char c = source[i];
        if (c == '\n') {
            ++line;
            line_start = ++i;
        } else if (c == ' ' || c == '\t' || c == '\f' || c == '\r') {
            ++i;
        } else {
            std::uint32_t j = i;
            while (j < source.size() && std::string_view(" \t\f\r\n").find(source[j]) == std::string_view::npos) ++j;
            out.push_back(tok(source.substr(i, j - i), i, line, i - line_start + 1));
            i = j;
        }
    }
    const auto size = static_cast<std::uint32_t>(source.size());
    out.push_back(end_token(size, line, size - line_start + 1));
    return out;
}

// Copied tokens as their lexemes; inserted ones as N, I, D or E with line:column.
std::string show(const std::vector<token>& ts) {
    std::string s;
    for (const token& t : ts) {
        if (!s.empty()) s += ' ';
        const auto at = std::to_string(t.pos.line) + ":" + std::to_string(t.pos.column);
        switch (t.kind) {
        case tessel::newline_kind: s += "N" + at; break;
        case tessel::indent_kind: s += "I" + at; break;
        case tessel::dedent_kind: s += "D" + at; break;
        case tessel::end_of_input_kind: s += "E" + at; break;
        default: s += std::string(t.lexeme);
        }
    }
    return s;
}

std::string run(const std::vector<token>& tokens, const std::vector<bool>& significant = {},
                std::optional<std::string_view> source = std::nullopt,
                tab_rule tabs = tab_rule::columns) {
    try {
        return show(layout(tokens, significant, source, tabs));
    } catch (const tessel::layout_error& e) {
        return std::string("error: ") + e.what() + " @" + std::to_string(e.where.offset) + " " +
               std::to_string(e.where.line) + ":" + std::to_string(e.where.column);
    }
}

std::string run_python(std::string_view source) {
    return run(words(source), {}, source, tab_rule::python);
}

TEST(Layout, EmptyInputGivesOnlyTheEnd) {
    EXPECT_EQ(run({}), "E1:1");
    const auto out = layout({end_token(7, 3, 2)}, {});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, tessel::end_of_input_kind);
    EXPECT_EQ(out[0].pos, (tessel::position{7, 3, 2}));
    // Only insignificant tokens: copied, and still no NEWLINE.
    EXPECT_EQ(run({tok("x", 0, 1, 1, 1), tok("y", 4, 2, 3, 1), end_token(5, 2, 4)}, {true, false}),
              "x y E2:4");
}

TEST(Layout, BlocksOpenAndClose) {
    struct row {
        std::string source;
        std::string expected;
    };
    const std::vector<row> rows = {
        {"a b\nc\n", "a b N2:1 c N3:1 E3:1"},
        // An indented first line opens a block.
        {"  a\nb\n", "I1:3 a N2:1 D2:1 b N3:1 E3:1"},
        // Two levels closed at once, both DEDENTs at the token.
        {"a\n  b\n    c\nd\n", "a N2:3 I2:3 b N3:5 I3:5 c N4:1 D4:1 D4:1 d N5:1 E5:1"},
        // Open levels are closed after the final NEWLINE, at the end of the input.
        {"a\n  b\n    c", "a N2:3 I2:3 b N3:5 I3:5 c N3:6 D3:6 D3:6 E3:6"},
        // Blank lines and lines of blanks begin nothing.
        {"a\n\n   \n  b\n\n  c", "a N4:3 I4:3 b N6:3 c N6:4 D6:4 E6:4"},
        {"", "E1:1"},
        {"\n\n", "E3:1"},
        // A dedent to a width no open block used.
        {"a\n    b\n  c\n", "error: inconsistent indentation @10 3:3"},
        {"  a\n    b\n   c", "error: inconsistent indentation @13 3:4"},
    };
    for (const row& r : rows) EXPECT_EQ(run(words(r.source)), r.expected) << r.source;
}

TEST(Layout, InsertedTokensAndCopies) {
    const std::string source = "if\n  x\n";
    const auto out = layout(words(source), {});
    ASSERT_EQ(out.size(), 7u);  // if N I x N D E
    for (const token& t : out) {
        if (t.kind < 0) {
            EXPECT_TRUE(t.lexeme.empty());
            EXPECT_EQ(t.mode, 0u);
        }
    }
    EXPECT_EQ(out[2].kind, tessel::indent_kind);
    EXPECT_EQ(out[2].pos, (tessel::position{5, 2, 3}));
    EXPECT_EQ(out[3].lexeme.data(), source.data() + 5);  // copies view the same bytes
    EXPECT_EQ(out[5].pos, (tessel::position{7, 3, 1}));
}

TEST(Layout, InsignificantAndMultiLineTokens) {
    // a on line 1; a string in mode 1 from line 2 (column 5) to line 3; b on line 3; c on 4.
    const std::vector<token> tokens = {tok("a", 0, 1, 1), tok("'s\n  t'", 6, 2, 5, 1),
                                       tok("b", 15, 3, 6), tok("c", 17, 4, 1), end_token(18, 4, 2)};
    // Mode 1 insignificant: the string starts nothing, and b continues its last line.
    EXPECT_EQ(run(tokens, {true, false}), "a 's\n  t' b N4:1 c N4:2 E4:2");
    // Everything significant: the string begins an indented line; b still continues it.
    EXPECT_EQ(run(tokens, {}), "a N2:5 I2:5 's\n  t' b N4:1 D4:1 c N4:2 E4:2");
    // Modes beyond the set count as significant.
    EXPECT_EQ(run(tokens, {true}), run(tokens, {}));

    // A lexeme ending in a line feed does not move the current line; one with a feed inside
    // does.
    EXPECT_EQ(run({tok("a", 0, 1, 1), tok("\n", 1, 1, 2), tok("b", 2, 2, 1), end_token(3, 2, 2)}),
              "a \n N2:1 b N2:2 E2:2");
    EXPECT_EQ(run({tok("a", 0, 1, 1), tok("x\ny", 1, 1, 2), tok("b", 4, 2, 2), end_token(5, 2, 3)}),
              "a x\ny b N2:3 E2:3");
    EXPECT_EQ(run({tok("\n\n", 0, 1, 1), tok("b", 2, 2, 1), tok("c", 4, 3, 1), end_token(5, 3, 2)}),
              "\n\n b N3:1 c N3:2 E3:2");

    // The first significant token begins a logical line even where an insignificant token ends
    // on its line: here a docstring ends at column 4 of line 2 and x stands at column 5.
    EXPECT_EQ(run({tok("'d\nd'", 0, 1, 1, 1), tok("x", 9, 2, 5), end_token(10, 2, 6)}, {true, false}),
              "'d\nd' I2:5 x N2:6 D2:6 E2:6");
}

TEST(Layout, PythonTabRule) {
    struct row {
        std::string source;
        std::string python;
        std::string columns;  // the same tokens measured by their byte columns
    };
    const std::string mixed = "error: inconsistent use of tabs and spaces in indentation";
    const std::vector<row> rows = {
        // One tab and eight spaces: equal width, different counts.
        {"if\n\ta\n        b\n", mixed + " @14 3:9", "if N2:2 I2:2 a N3:9 I3:9 b N4:1 D4:1 D4:1 E4:1"},
        // Wider by tabs but not in count.
        {"if\n  a\n\tb\n", mixed + " @8 3:2", "error: inconsistent indentation @8 3:2"},
        {"if\n        a\n\t\tb\n", mixed + " @15 3:3", "error: inconsistent indentation @15 3:3"},
        // Wider by tabs, equal in count.
        {"if\n \ta\n\t\tb\n", mixed + " @9 3:3", "if N2:3 I2:3 a N3:3 b N4:1 D4:1 E4:1"},
        // Consistent tabs; a tab after spaces goes to the next stop.
        {"if\n\ta\n\t\tb\n\tc\n", "if N2:2 I2:2 a N3:3 I3:3 b N4:2 D4:2 c N5:1 D5:1 E5:1",
         "if N2:2 I2:2 a N3:3 I3:3 b N4:2 D4:2 c N5:1 D5:1 E5:1"},
        {"if\n   \ta\n\tb\n", mixed + " @10 3:2", "error: inconsistent indentation @10 3:2"},
        // A form feed resets the width.
        {"a\n  \fb\n", "a N2:4 b N3:1 E3:1", "a N2:4 I2:4 b N3:1 D3:1 E3:1"},
        {"a\n\f  b\nc", "a N2:4 I2:4 b N3:1 D3:1 c N3:2 E3:2", "a N2:4 I2:4 b N3:1 D3:1 c N3:2 E3:2"},
        {"if\n    a\n   b\n", "error: inconsistent indentation @12 3:4",
         "error: inconsistent indentation @12 3:4"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(run_python(r.source), r.python) << r.source;
        EXPECT_EQ(run(words(r.source)), r.columns) << r.source;
        // Without a source the python rule measures columns.
        EXPECT_EQ(run(words(r.source), {}, std::nullopt, tab_rule::python), r.columns) << r.source;
    }
}

TEST(Layout, PythonRuleNeedsTokensInsideTheSource) {
    const std::vector<token> tokens = {tok("a", 0, 1, 1), tok("b", 5, 2, 1), end_token(6, 2, 2)};
    try {
        layout(tokens, {}, std::string_view("a\nb"), tab_rule::python);
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "tessel::layout: a token's offset lies beyond the source it was given");
    }
    // A token right at the end of the source is inside it; columns never look at the source.
    EXPECT_EQ(run({tok("a", 0, 1, 1), tok("", 3, 2, 2), end_token(3, 2, 2)}, {}, "a\n ",
                  tab_rule::python),
              "a N2:2 I2:2  N2:2 D2:2 E2:2");
    EXPECT_EQ(run(tokens, {}, std::string_view("a\nb"), tab_rule::columns), "a N2:1 b N2:2 E2:2");
}

}  // namespace

namespace {

// The python measure is carried forward from token to token: tokens that each claim a new
// logical line on one physical line are measured from that line's start (tabs to the next
// multiple of 8), and a token earlier in the text than the last one is measured afresh.
TEST(LayoutPython, MeasureCarriedForwardAndBack) {
    const std::string source = "x\ty\tz";
    const token x = tok("x", 0, 1, 1), y = tok("y", 2, 2, 3), z = tok("z", 4, 3, 5);
    struct row {
        std::vector<token> tokens;
        std::string expected;
    };
    const row rows[] = {
        {{x, y, z}, "x N2:3 I2:3 y N3:5 I3:5 z N1:1 D1:1 D1:1 E1:1"},
        {{z, tok("x", 0, 4, 1)}, "I3:5 z N4:1 D4:1 x N1:1 E1:1"},
        {{y, tok("y", 2, 7, 3), tok("x", 0, 8, 1)}, "I2:3 y N7:3 y N8:1 D8:1 x N1:1 E1:1"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(show(layout(r.tokens, {}, source, tab_rule::python)), r.expected);
    }
}

}  // namespace
