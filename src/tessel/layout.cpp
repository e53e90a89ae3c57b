// The layout pass: indentation turned into NEWLINE, INDENT and DEDENT tokens.
//
// What it does.  It walks a finished token sequence once.  A token of a significant mode that
// starts on a later line than the one the previous copied token ended on begins a logical
// line: a NEWLINE goes before it (unless it is the first significant token), then its
// indentation is compared with a stack of open widths that starts as [0].  Wider pushes the
// width and inserts an INDENT; narrower pops and inserts one DEDENT per closed level and must
// then land exactly on an open width ("inconsistent indentation").  At the end come a NEWLINE
// (if any significant token was seen), one DEDENT per level still open, and the end_of_input
// token, all at the position of the input's end_of_input token (offset 0, 1:1 if there was
// none).  The first significant token always begins a logical line, even when an
// insignificant token ends on its line, so an indented first line opens a block.
//
// Why this shape.  Tokens of insignificant modes (a string body, a comment inside brackets)
// are copied untouched and never begin a logical line, but their end still moves the current
// line forward: a token after a three-line string, on the string's last line, continues that
// logical line.  A token "ends" on its start line plus the line feeds in its lexeme, a final
// line feed not counted, so a NEWLINE-like token "\n" leaves the current line where it was
// and the next token begins a logical line only by its own line number.
//
// Two ways to measure.  `columns` takes the token's column - 1, so a tab is whatever the
// lexer's column unit makes of it (one byte, one code point).  `python` reads the source from
// the start of the token's physical line up to the token: a tab moves to the next multiple of
// 8, a form feed resets to 0, any other byte counts 1.  Beside each width it keeps the count
// of characters (a tab counting 1), and demands that a deeper level be deeper in both
// measures and a level returned to be equal in both, the interpreter's own rule against
// indentation whose meaning depends on the tab size ("inconsistent use of tabs and spaces in
// indentation").  `python` without a source falls back to `columns`; the module refuses that
// combination before calling here.
//
// Costs and limits.  One pass, no allocation besides the output and the level stack; under
// `python` the source is measured forward once, from token to token (tokens out of text order
// make the meter go back to their line start).  Widths
// and ending lines are 64-bit, so no input can overflow them.  A token with column 0 (not a
// position the lexer makes) measures as width 0.  Errors carry the offending token's position
// and leave no partial output.
//
// Tests: tests/cpp/test_layout.cpp (blocks, dedents, the end, insignificant and multi-line
// tokens, both tab rules and every message).
#include "tessel/layout.h"

#include <algorithm>

namespace tessel {

namespace {

struct level {
    std::uint64_t width = 0;
    std::uint64_t count = 0;  // characters, a tab counting 1 (python only)
};

constexpr std::uint64_t tab_stop = 8;

token made(std::int32_t kind, position at) {
    token t;
    t.kind = kind;
    t.pos = at;
    t.mode = 0;
    return t;
}

// The line a token ends on: its line plus the line feeds inside its lexeme.
std::uint64_t end_line(const token& t) {
    std::uint64_t feeds = static_cast<std::uint64_t>(std::count(t.lexeme.begin(), t.lexeme.end(), '\n'));
    if (!t.lexeme.empty() && t.lexeme.back() == '\n') --feeds;
    return t.pos.line + feeds;
}

// The python measure of the text before an offset, from the start of its physical line.
// Tokens come in text order, so the measure is carried forward from the offset asked last:
// each byte of the source is measured at most once however many tokens claim to begin a
// logical line on the same physical line.  An offset before the last one (tokens out of text
// order) is measured afresh from its line start.
class indent_meter {
public:
    explicit indent_meter(std::string_view source) : source_(source) {}

    level before(std::uint32_t offset) {
        if (offset > source_.size()) {
            throw std::invalid_argument(
                "tessel::layout: a token's offset lies beyond the source it was given");
        }
        if (offset < cursor_) {
            const std::size_t feed = source_.substr(0, offset).rfind('\n');
            cursor_ = feed == std::string_view::npos ? 0 : static_cast<std::uint32_t>(feed + 1);
            measured_ = level{};
        }
        for (; cursor_ < offset; ++cursor_) {
            const char c = source_[cursor_];
            if (c == '\n') {
                measured_ = level{};
            } else if (c == '\t') {
                measured_.width = measured_.width - measured_.width % tab_stop + tab_stop;
                ++measured_.count;
            } else if (c == '\f') {
                measured_ = level{};
            } else {
                ++measured_.width;
                ++measured_.count;
            }
        }
        return measured_;
    }

private:
    std::string_view source_;
    std::uint32_t cursor_ = 0;  // measured_ is the measure of the line up to here
    level measured_;
};

}  // namespace

std::vector<token> layout(const std::vector<token>& tokens, const std::vector<bool>& significant,
                          std::optional<std::string_view> source, tab_rule tabs) {
    const bool python = tabs == tab_rule::python && source.has_value();
    const auto is_significant = [&](std::uint32_t mode) {
        return mode >= significant.size() || significant[mode];
    };

    indent_meter meter(python ? *source : std::string_view());
    std::vector<token> out;
    out.reserve(tokens.size() + tokens.size() / 4 + 2);
    std::vector<level> levels{level{}};
    position end;  // offset 0, 1:1 until an end_of_input token is seen
    bool seen = false;
    std::uint64_t current_line = 0;

    const auto copy = [&](const token& t) {
        out.push_back(t);
        current_line = end_line(t);
    };

    for (const token& t : tokens) {
        if (t.kind == end_of_input_kind) {
            end = t.pos;
            continue;
        }
        if (!is_significant(t.mode) || (seen && t.pos.line == current_line)) {
            copy(t);
            continue;
        }

        // A logical line begins here.
        if (seen) out.push_back(made(newline_kind, t.pos));
        const level here = python ? meter.before(t.pos.offset)
                                  : level{t.pos.column > 0 ? t.pos.column - 1u : 0u, 0};
        if (here.width > levels.back().width) {
            if (python && levels.back().count >= here.count) {
                throw layout_error("inconsistent use of tabs and spaces in indentation", t.pos);
            }
            levels.push_back(here);
            out.push_back(made(indent_kind, t.pos));
        } else {
            while (here.width < levels.back().width) {
                levels.pop_back();
                out.push_back(made(dedent_kind, t.pos));
            }
            if (here.width != levels.back().width) {
                throw layout_error("inconsistent indentation", t.pos);
            }
            if (python && here.count != levels.back().count) {
                throw layout_error("inconsistent use of tabs and spaces in indentation", t.pos);
            }
        }
        seen = true;
        copy(t);
    }

    if (seen) out.push_back(made(newline_kind, end));
    while (levels.back().width != 0) {
        levels.pop_back();
        out.push_back(made(dedent_kind, end));
    }
    out.push_back(made(end_of_input_kind, end));
    return out;
}

}  // namespace tessel
