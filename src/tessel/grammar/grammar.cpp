// The `.lex` grammar reader.
//
// What it does.  A grammar is a text of lines; each rule line holds a name, a tab, a pattern
// and optionally a tab and an options field ("skip", "pop", "push=M", "set=M", "in=A,B").
// The reader skips a leading byte order mark, splits at "\n" (dropping one "\r" before it),
// skips blank lines and lines whose first non-blank is "#", trims each remaining line of its
// outer spaces and tabs, and splits what is left at every tab.  Each rule gets the next kind
// (0, 1, 2 ...), so kinds follow rule lines only while line numbers count every line.  The
// pattern is compiled at once with the engine's default flags; an engine error becomes a
// grammar error at the pattern's column plus the engine's offset into the pattern.  When
// every line is read, the reader refuses an empty grammar and any push= or set= whose target
// no rule is active in, at the transition word's own line and column.
//
// Why this shape.  The format is meant to be written by hand, so every error names the line
// and, where one exists, the byte column of the thing at fault: the pattern, the option word,
// or the blank run that trimming swallowed.  Only the line as a whole is trimmed, never a
// single field, so a name may hold and end with spaces and a pattern keeps its leading
// blanks, and its trailing ones when options follow.  A pattern made only of blanks cannot
// survive trimming at the end of a line; that case gets its own message telling the writer
// to spell a space as [ ] or \x20.  Columns are reckoned in the untrimmed line (after the byte
// order mark on line 1), which is what an editor shows.  The transition targets are checked
// after the last line because a mode may be given its rules further down the file.
//
// What reaches a caller is text: names, patterns and options must be valid UTF-8 (refused at
// the first bad byte, a pattern's in the engine's own words, before the engine's parser can
// meet the byte inside a construct and quote it) and hold no NUL, which would cut a message
// short or make a mode name that compilation could not take as given.  Any byte of an engine
// message that is not text is written \xhh.  Comment lines are not looked at.
//
// Limits.  Mode names are not checked beyond "not empty, no comma in a target": lexer
// compilation resolves them.  A rule naming a mode twice keeps both mentions.  When one word
// is both malformed and a second transition ("push=a push="), the word's own fault (its
// empty or comma-holding name) is reported first.  Lines and columns are 64-bit, so no text
// is too long to report on.
//
// Tests: tests/cpp/test_grammar.cpp (every cause at its line and column, the text of the
// error, line-end and byte-order-mark handling, kinds, options and transition targets).
#include "tessel/grammar/grammar.h"

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <utility>

#include "kestrel/regex_error.h"
#include "tessel/position.h"

namespace tessel {

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
constexpr std::string_view blanks = " \t";

constexpr std::string_view fields_cause =
    "expected 'name<TAB>pattern' with an optional <TAB>options";
constexpr std::string_view blank_pattern_cause =
    "empty pattern: the blanks that end a line are dropped (write a space as [ ] or \\x20)";
constexpr std::string_view empty_pattern_cause = "empty pattern";
constexpr std::string_view nul_in_pattern_cause =
    "a pattern cannot hold a NUL character (write it as \\x00)";
constexpr std::string_view bad_utf8_pattern_cause = "invalid regex: invalid UTF-8 byte in pattern";
constexpr std::string_view nul_in_name_cause = "a rule name cannot hold a NUL character";
constexpr std::string_view nul_in_option_cause = "an option cannot hold a NUL character";
constexpr std::string_view second_transition_cause =
    "a rule fires at most one transition (push=, set= or pop)";
constexpr std::string_view no_rules_cause = "no rules (the grammar is empty)";

std::string compose(std::string_view origin, std::uint64_t line, std::uint64_t column,
                    std::string_view cause) {
    std::string text(origin);
    if (line != 0) {
        text += ':';
        text += std::to_string(line);
        if (column != 0) {
            text += ':';
            text += std::to_string(column);
        }
    }
    text += ": ";
    text += cause;
    return text;
}

// The offset of the first byte of `text` that does not begin a valid UTF-8 character (strict:
// no overlong forms, no surrogates), or npos.
std::size_t first_invalid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const auto rest = static_cast<std::uint32_t>(std::min<std::size_t>(text.size() - i, 4));
        const std::uint32_t k = utf8_length_at(p + i, rest, 0);
        if (k == 0) return i;
        i += k;
    }
    return std::string_view::npos;
}

// Two lower-case hex digits.
std::string hex_digits(std::uint8_t byte) {
    static constexpr char digits[] = "0123456789abcdef";
    return {digits[byte >> 4], digits[byte & 15]};
}

// The text with each byte that does not begin a valid UTF-8 character, and each NUL, written
// as \xhh: a message must stay text even where it quotes bytes.
std::string escaped_non_text(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::string_view rest = text.substr(at);
        const std::size_t bad = std::min(first_invalid_utf8(rest), rest.find('\0'));
        if (bad == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, bad));
        out += "\\x" + hex_digits(static_cast<std::uint8_t>(text[at + bad]));
        at += bad + 1;
    }
    return out;
}

std::string invalid_utf8_cause(std::uint8_t byte) { return "invalid UTF-8 (byte 0x" + hex_digits(byte) + ")"; }

// One tab-separated piece of a trimmed line and its 1-based column in the untrimmed line.
struct field {
    std::string_view text;
    std::uint64_t column = 0;
};

// A push= or set= seen on some line, checked once every rule is known.
struct pending_target {
    std::string target;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
};

// What the options field of one rule says.
struct rule_options {
    bool skip = false;
    std::vector<std::string> in_mode;
    std::optional<transition> action;
    std::uint64_t action_column = 0;  // the column of the push=, set= or pop word
};

class reader {
public:
    explicit reader(std::string_view origin) : origin_(origin) {}

    [[noreturn]] void fail(std::uint64_t line, std::uint64_t column, std::string cause) const {
        throw grammar_error(origin_, line, column, std::move(cause));
    }

    void read_line(std::string_view line, std::uint64_t line_no);
    grammar finish();

private:
    rule_options read_options(const field& options, std::uint64_t line_no) const;
    // Refuses the field's first byte that is not UTF-8, else its first NUL (with nul_cause).
    void check_text(const field& f, std::uint64_t line_no, std::string_view nul_cause) const;
    std::string mode_name(std::string_view word, std::size_t prefix, std::uint64_t line_no,
                          std::uint64_t column) const;

    std::string_view origin_;
    grammar result_;
    std::vector<pending_target> targets_;
};

void reader::read_line(std::string_view line, std::uint64_t line_no) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos || line[first] == '#') return;
    const std::size_t last = line.find_last_not_of(blanks);
    const std::string_view trimmed = line.substr(first, last - first + 1);

    std::vector<field> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = trimmed.find('\t', start);
        const std::size_t end = tab == std::string_view::npos ? trimmed.size() : tab;
        fields.push_back({trimmed.substr(start, end - start), first + start + 1});
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }

    if (fields.size() < 2) {
        // A tab after the name that trimming dropped: the pattern was all blanks.
        if (line.find('\t', first) != std::string_view::npos) {
            fail(line_no, last + 1 + 2, std::string(blank_pattern_cause));
        }
        fail(line_no, 0, std::string(fields_cause));
    }
    if (fields.size() > 3) fail(line_no, 0, std::string(fields_cause));

    const field& name = fields[0];
    const field& pattern = fields[1];
    // Names and modes are handed on as text (as Python str, and inside messages that travel
    // as C strings): a byte that is not UTF-8, or a NUL, which would cut a message short or
    // make a rule that compile() refuses, is refused where it stands.
    check_text(name, line_no, nul_in_name_cause);
    if (pattern.text.empty()) fail(line_no, pattern.column, std::string(empty_pattern_cause));
    // compile() takes patterns as str without NUL characters: a rule read from a grammar must
    // be one it accepts as it is.  Bad UTF-8 is refused here, before the engine, whose parser
    // may meet the byte inside a construct first and quote it in a message.
    const std::size_t nul = pattern.text.find('\0');
    const std::size_t bad = first_invalid_utf8(pattern.text);
    if (nul != std::string_view::npos && nul < bad) {
        fail(line_no, pattern.column + nul, std::string(nul_in_pattern_cause));
    }
    if (bad != std::string_view::npos) fail(line_no, pattern.column + bad, std::string(bad_utf8_pattern_cause));

    std::optional<kestrel::regex> compiled;
    try {
        compiled.emplace(pattern.text);
    } catch (const kestrel::regex_error& e) {
        const std::uint64_t offset =
            e.position() > 0 ? static_cast<std::uint64_t>(e.position()) : 0;
        fail(line_no, pattern.column + offset, "invalid regex: " + escaped_non_text(e.message()));
    }

    rule_options options;
    if (fields.size() == 3) {
        check_text(fields[2], line_no, nul_in_option_cause);
        options = read_options(fields[2], line_no);
    }
    if (options.action && options.action->kind != transition_kind::pop) {
        targets_.push_back({options.action->target, line_no, options.action_column});
    }

    const auto kind = static_cast<std::int32_t>(result_.rules.size());
    result_.rules.push_back(rule{kind, std::string(pattern.text), std::move(*compiled),
                                 options.skip, std::move(options.in_mode),
                                 std::move(options.action)});
    result_.names.emplace_back(name.text);
}

void reader::check_text(const field& f, std::uint64_t line_no, std::string_view nul_cause) const {
    if (const std::size_t bad = first_invalid_utf8(f.text); bad != std::string_view::npos) {
        fail(line_no, f.column + bad, invalid_utf8_cause(static_cast<std::uint8_t>(f.text[bad])));
    }
    if (const std::size_t nul = f.text.find('\0'); nul != std::string_view::npos) {
        fail(line_no, f.column + nul, std::string(nul_cause));
    }
}

// The mode name after the `prefix` bytes of a push= or set= word.
std::string reader::mode_name(std::string_view word, std::size_t prefix, std::uint64_t line_no,
                              std::uint64_t column) const {
    const std::string_view name = word.substr(prefix);
    if (name.empty()) fail(line_no, column, "empty mode name in '" + std::string(word) + "'");
    if (name.find(',') != std::string_view::npos) {
        fail(line_no, column, "a mode name cannot hold a comma: '" + std::string(word) + "'");
    }
    return std::string(name);
}

rule_options reader::read_options(const field& options, std::uint64_t line_no) const {
    rule_options out;
    const std::string_view text = options.text;
    std::size_t at = 0;
    while (true) {
        at = text.find_first_not_of(' ', at);
        if (at == std::string_view::npos) break;
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string_view word = text.substr(at, end - at);
        const std::uint64_t column = options.column + at;
        at = end;

        if (word == "skip") {
            out.skip = true;
            continue;
        }
        if (word.starts_with("in=")) {
            const std::string_view list = word.substr(3);
            for (std::size_t start = 0;;) {
                const std::size_t comma = list.find(',', start);
                const std::size_t stop = comma == std::string_view::npos ? list.size() : comma;
                if (stop == start) {
                    fail(line_no, column, "empty mode name in '" + std::string(word) + "'");
                }
                out.in_mode.emplace_back(list.substr(start, stop - start));
                if (comma == std::string_view::npos) break;
                start = comma + 1;
            }
            continue;
        }

        transition action;
        if (word == "pop") {
            action.kind = transition_kind::pop;
        } else if (word.starts_with("push=")) {
            action.kind = transition_kind::push;
            action.target = mode_name(word, 5, line_no, column);
        } else if (word.starts_with("set=")) {
            action.kind = transition_kind::set;
            action.target = mode_name(word, 4, line_no, column);
        } else {
            fail(line_no, column,
                 "unknown option '" + std::string(word) +
                     "' (expected skip, in=, push=, set= or pop)");
        }
        if (out.action) fail(line_no, column, std::string(second_transition_cause));
        out.action = std::move(action);
        out.action_column = column;
    }
    return out;
}

grammar reader::finish() {
    if (result_.rules.empty()) fail(0, 0, std::string(no_rules_cause));

    // The modes some rule is active in: every in= name, and "default" for a rule without in=.
    std::unordered_set<std::string_view> active;
    for (const rule& r : result_.rules) {
        if (r.in_mode.empty()) active.insert("default");
        for (const std::string& m : r.in_mode) active.insert(m);
    }
    for (const pending_target& t : targets_) {
        if (!active.contains(t.target)) {
            fail(t.line, t.column,
                 "no rule is active in mode '" + t.target + "' (give one in=" + t.target + ")");
        }
    }
    return std::move(result_);
}

}  // namespace

grammar_error::grammar_error(std::string_view origin_text, std::uint64_t line_no,
                             std::uint64_t column_no, std::string cause_text)
    : std::runtime_error(compose(origin_text, line_no, column_no, cause_text)),
      origin(origin_text),
      line(line_no),
      column(column_no),
      cause(std::move(cause_text)) {}

grammar parse_grammar(std::string_view text, std::string_view origin) {
    if (text.starts_with(byte_order_mark)) text.remove_prefix(byte_order_mark.size());
    reader r(origin);
    std::uint64_t line_no = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t newline = text.find('\n', start);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        r.read_line(text.substr(start, end - start), ++line_no);
        start = end + 1;
    }
    return r.finish();
}

}  // namespace tessel
