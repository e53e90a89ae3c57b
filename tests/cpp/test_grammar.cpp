// The .lex grammar reader: every failure at its line and column, the text of the error, line
// ends and the byte order mark, kinds, fields, options and transition targets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessel/grammar/grammar.h"
#include "tessel/runtime.h"

namespace {

using tessel::grammar_error;
using tessel::parse_grammar;
using tessel::transition_kind;

// "line:column: cause" of the error the text raises, or "parsed".
std::string failure(std::string_view text) {
    try {
        parse_grammar(text);
    } catch (const grammar_error& e) {
        return std::to_string(e.line) + ":" + std::to_string(e.column) + ": " + e.cause;
    }
    return "parsed";
}

// One rule as a line: kind, name, pattern, skip, modes and action.
std::string show(const tessel::grammar& g, std::size_t i) {
    const tessel::rule& r = g.rules[i];
    std::string s = std::to_string(r.kind) + " [" + g.names[i] + "] [" + r.pattern + "]";
    if (r.skip) s += " skip";
    for (const auto& m : r.in_mode) s += " in:" + m;
    if (r.action) {
        static const char* const kinds[] = {"push", "pop", "set"};
        s += std::string(" ") + kinds[static_cast<int>(r.action->kind)];
        if (r.action->kind != transition_kind::pop) s += ":" + r.action->target;
    }
    return s;
}

std::vector<std::string> show(const tessel::grammar& g) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < g.rules.size(); ++i) out.push_back(show(g, i));
    return out;
}

using lines = std::vector<std::string>;

const std::string fields_cause = "expected 'name<TAB>pattern' with an optional <TAB>options";
const std::string blank_cause =
    "empty pattern: the blanks that end a line are dropped (write a space as [ ] or \\x20)";
const std::string unknown_tail = "' (expected skip, in=, push=, set= or pop)";
const std::string second_cause = "a rule fires at most one transition (push=, set= or pop)";

TEST(Grammar, EveryFailureAtItsLineAndColumn) {
    struct row {
        std::string text;
        std::string expected;
    };
    const std::vector<row> rows = {
        // Fields.
        {"name", "1:0: " + fields_cause},
        {"\tname  ", "1:0: " + fields_cause},  // the only tab comes before the name
        {"a\tb\tskip\tx", "1:0: " + fields_cause},
        {"a\tb\t \tskip", "1:0: " + fields_cause},  // a blank third field still counts
        // A pattern of blanks is trimmed away: the column just after the tab.
        {"ab\t   ", "1:4: " + blank_cause},
        {"ab\t\t", "1:4: " + blank_cause},
        {"  ab \t ", "1:6: " + blank_cause},  // last non-blank at 4, counted in the raw line
        {"ab\t  \r", "1:4: " + blank_cause},
        {"ab\t\tskip", "1:4: empty pattern"},
        {"a b\t\t\tskip", "1:0: " + fields_cause},
        // Patterns: the pattern's column plus the engine's offset; leading blanks are kept.
        {"tok\ta|*", "1:7: invalid regex: nothing to repeat"},
        {"tok\t  a|*", "1:9: invalid regex: nothing to repeat"},
        {"  tok\ta(b(c)\tskip", "1:8: invalid regex: missing ), unterminated subpattern"},
        {"tok\t(?x) (?i)", "1:10: invalid regex: global flags not at the start of the expression"},
        // Option words, each at its own column.
        {"a\tb\tSkip", "1:5: unknown option 'Skip" + unknown_tail},
        {"a\tb\tskip   push", "1:12: unknown option 'push" + unknown_tail},
        {"a\tb\t  in=x,y  pushx=1", "1:15: unknown option 'pushx=1" + unknown_tail},
        {"a\tb\tpush=x pop", "1:12: " + second_cause},
        {"a\tb\tpop  set=y", "1:10: " + second_cause},
        {"a\tb\tset=y push=y", "1:11: " + second_cause},
        {"a\tb\tin=", "1:5: empty mode name in 'in='"},
        {"a\tb\tskip in=a,,b", "1:10: empty mode name in 'in=a,,b'"},
        {"a\tb\tin=a,", "1:5: empty mode name in 'in=a,'"},
        {"a\tb\tin=,a", "1:5: empty mode name in 'in=,a'"},
        {"a\tb\tpush=", "1:5: empty mode name in 'push='"},
        {"a\tb\tpop set=", "1:9: empty mode name in 'set='"},  // the word's fault comes first
        {"a\tb\tpush=x,y", "1:5: a mode name cannot hold a comma: 'push=x,y'"},
        {"a\tb\tset=,", "1:5: a mode name cannot hold a comma: 'set=,'"},
        // After the last line.
        {"", "0:0: no rules (the grammar is empty)"},
        {"# only a comment\n\n   \n\t\r\n", "0:0: no rules (the grammar is empty)"},
        {"a\tb\tpush=str", "1:5: no rule is active in mode 'str' (give one in=str)"},
        {"a\tb\tin=x\n# c\nq\tr\tin=y set=default",
         "3:10: no rule is active in mode 'default' (give one in=default)"},
        // The first problem in file order wins: a bad line before a missing target.
        {"a\tb\tpush=s\nbad", "2:0: " + fields_cause},
        {"a\tb\tpush=s\nc\td\tpush=t\ne\tf\tin=t", "1:5: no rule is active in mode 's' (give one in=s)"},
        // Line numbers count comment, blank and CRLF lines.
        {"# c\r\n\r\n  \n\tx\ty\tin=q  bogus", "4:12: unknown option 'bogus" + unknown_tail},
    };
    for (const row& r : rows) {
        EXPECT_EQ(failure(r.text), r.expected) << "text: " << r.text;
    }
}

// Bytes that cannot travel on as text: invalid UTF-8 in a name or the options (the engine
// refuses it in a pattern), and a NUL in a name, a pattern or the options (a push= or set= target included).  Each is refused at the
// byte's own line and column, and the error's text holds the whole cause.
TEST(Grammar, BytesThatAreNotTextAtTheirColumn) {
    using namespace std::string_literals;
    const std::string nul_name = "a rule name cannot hold a NUL character";
    const std::string nul_option = "an option cannot hold a NUL character";
    const std::string nul_pattern = "a pattern cannot hold a NUL character (write it as \\x00)";
    struct row {
        std::string text;
        std::string expected;
    } rows[] = {
        {"n\xFFme\ta", "1:2: invalid UTF-8 (byte 0xff)"},
        {"# ok\nname\t\xC3(", "2:6: invalid regex: invalid UTF-8 byte in pattern"},  // the engine's wording
        {"lb\t(?<\xBF" "a)b", "1:7: invalid regex: invalid UTF-8 byte in pattern"},  // not quoted in a message
        {"lb\t(?P<a\xC3\xA9\xE2\x82" ">x)", "1:11: invalid regex: invalid UTF-8 byte in pattern"},
        {"x\t[\xC3\xA9-a]", "1:4: invalid regex: bad character range \xC3\xA9-a"},  // whole characters quoted
        {"x\ta\tin=\xC0\x80", "1:8: invalid UTF-8 (byte 0xc0)"},            // overlong
        {"x\ta\tpush=\xED\xA0\x80", "1:10: invalid UTF-8 (byte 0xed)"},    // a surrogate
        {"  \x80x\ta", "1:3: invalid UTF-8 (byte 0x80)"},
        {"x\ta\tskip \xF4\x90\x80\x80", "1:10: invalid UTF-8 (byte 0xf4)"},  // above U+10FFFF
        {"na\0me\ta"s, "1:3: " + nul_name},
        {"na\0\xFF\ta"s, "1:4: invalid UTF-8 (byte 0xff)"},  // the bad byte, not the NUL, is first
        {"x\ta\0b"s, "1:4: " + nul_pattern},
        {"x\ta\tin=m push=\0q"s, "1:15: " + nul_option},
        {"x\ta\tset=\0"s, "1:9: " + nul_option},
        {"x\ta\tin=\0,y skip"s, "1:8: " + nul_option},
    };
    for (const row& r : rows) {
        EXPECT_EQ(failure(r.text), r.expected) << testing::PrintToString(r.text);
        try {
            parse_grammar(r.text, "g.lex");
        } catch (const grammar_error& e) {
            EXPECT_EQ(std::string(e.what()).find('\0'), std::string::npos);
            EXPECT_TRUE(std::string(e.what()).ends_with(e.cause));
        }
    }
    // Valid UTF-8 beyond ASCII is fine everywhere, and comment lines are never looked at.
    EXPECT_EQ(failure("# \xFF\0\nnom\xC3\xA9\t\xE2\x82\xAC\tin=\xF0\x9F\x98\x80"s), "parsed");
}

TEST(Grammar, ErrorTextFormat) {
    struct row {
        std::uint64_t line, column;
        std::string expected;
    };
    const std::vector<row> rows = {
        {3, 7, "g.lex:3:7: the cause"},
        {3, 0, "g.lex:3: the cause"},
        {0, 0, "g.lex: the cause"},
        {0, 5, "g.lex: the cause"},  // a column without a line is not shown
    };
    for (const row& r : rows) {
        const grammar_error e("g.lex", r.line, r.column, "the cause");
        EXPECT_EQ(std::string(e.what()), r.expected);
        EXPECT_EQ(e.origin, "g.lex");
        EXPECT_EQ(e.cause, "the cause");
        EXPECT_EQ(e.line, r.line);
        EXPECT_EQ(e.column, r.column);
    }

    // As raised, with the origin the caller gives and the default one.
    const auto what_of = [](std::string_view text, std::string_view origin) -> std::string {
        try {
            if (origin.empty()) {
                parse_grammar(text);
            } else {
                parse_grammar(text, origin);
            }
        } catch (const grammar_error& e) {
            return e.what();
        }
        return "parsed";
    };
    EXPECT_EQ(what_of("a\tb\n\nc\td\tskip  bad", "my.lex"),
              "my.lex:3:11: unknown option 'bad" + unknown_tail);
    EXPECT_EQ(what_of("a name", "my.lex"), "my.lex:1: " + fields_cause);
    EXPECT_EQ(what_of("", "my.lex"), "my.lex: no rules (the grammar is empty)");
    EXPECT_EQ(what_of("x", ""), "<string>:1: " + fields_cause);
}

TEST(Grammar, ByteOrderMarkAndLineEndsChangeNothing) {
    const std::string plain =
        "# numbers and words\n"
        "num\t[0-9]+\n"
        "\n"
        "ws\t[ \\t]+\tskip\n"
        "open\t\"\tpush=str\n"
        "body\t[^\"]+\tin=str\n"
        "close\t\"\tin=str pop";
    std::string dressed = "\xEF\xBB\xBF";
    for (char c : plain) {
        if (c == '\n') dressed += '\r';
        dressed += c;
    }
    const lines expected = {"0 [num] [[0-9]+]", "1 [ws] [[ \\t]+] skip", "2 [open] [\"] push:str",
                            "3 [body] [[^\"]+] in:str", "4 [close] [\"] in:str pop"};
    EXPECT_EQ(show(parse_grammar(plain)), expected);
    EXPECT_EQ(show(parse_grammar(dressed)), expected);
    EXPECT_EQ(show(parse_grammar(plain + "\n")), expected);
    EXPECT_EQ(show(parse_grammar(dressed + "\r\n")), expected);

    // Columns on the first line count from after the mark.
    EXPECT_EQ(failure("\xEF\xBB\xBFtok\ta|*"), "1:7: invalid regex: nothing to repeat");
    // Only one carriage return is dropped: a second one is part of the line.
    EXPECT_EQ(show(parse_grammar("a\tx\r\r\n")), lines({"0 [a] [x\r]"}));
}

TEST(Grammar, KindsFollowRuleLinesAndPatternsCompile) {
    const tessel::grammar g = parse_grammar(
        "\n# header\nfirst\ta\n   \n  # indented comment\nsecond\tb\n\t\r\nthird\tc+\n");
    EXPECT_EQ(show(g), lines({"0 [first] [a]", "1 [second] [b]", "2 [third] [c+]"}));
    ASSERT_EQ(g.rules.size(), 3u);
    EXPECT_EQ(g.rules[2].regex.pattern(), "c+");
    EXPECT_EQ(g.rules[2].regex.match(0, "ccx").end(), 2);
}

TEST(Grammar, FieldsAreNotTrimmedOneByOne) {
    const tessel::grammar g = parse_grammar(
        "sp\t[ ]  \tskip\n"    // trailing blanks before options stay in the pattern
        "pad\t a \tskip\n"     // and so do leading ones
        "end\t a   \n"         // the line's trailing blanks are dropped
        "my name  \tx\n"       // a name may hold and end with spaces
        "  lead\t\\x20\n");    // the line's leading blanks are not part of the name
    EXPECT_EQ(show(g), lines({"0 [sp] [[ ]  ] skip", "1 [pad] [ a ] skip", "2 [end] [ a]",
                              "3 [my name  ] [x]", "4 [lead] [\\x20]"}));
    EXPECT_EQ(g.rules[0].regex.match(0, "   ").end(), 3);
}

TEST(Grammar, Options) {
    const tessel::grammar g = parse_grammar(
        "a\tx\tin=one,two   in=three skip skip\n"
        "b\ty\t  skip\n"
        "c\tz\tin=one set=one\n"
        "d\tw\tin=two,one pop\n"
        "e\tv\tin=default,one,one push=two");
    EXPECT_EQ(show(g), lines({"0 [a] [x] skip in:one in:two in:three", "1 [b] [y] skip",
                              "2 [c] [z] in:one set:one", "3 [d] [w] in:two in:one pop",
                              "4 [e] [v] in:default in:one in:one push:two"}));
}

TEST(Grammar, TransitionTargetsNeedAnActiveRule) {
    struct row {
        std::string text;
        std::string expected;  // "parsed" or the failure
    };
    const std::vector<row> rows = {
        // A target given its rules further down the file.
        {"o\t\"\tpush=str\nb\t[^\"]+\tin=str", "parsed"},
        // A target that only ever appears as a target.
        {"o\t\"\tpush=str\nb\tx\tpush=str", "1:5: no rule is active in mode 'str' (give one in=str)"},
        // "default" is active through a rule without in= ...
        {"a\tx\tin=s set=default\nb\ty", "parsed"},
        {"a\tx\tin=s push=default", "1:10: no rule is active in mode 'default' (give one in=default)"},
        // ... or through one naming it.
        {"a\tx\tin=s set=default\nb\ty\tin=s,default", "parsed"},
        // A rule may target its own mode.
        {"a\tx\tin=s push=s", "parsed"},
        // pop has no target to check.
        {"a\tx\tin=s pop", "parsed"},
    };
    for (const row& r : rows) EXPECT_EQ(failure(r.text), r.expected) << "text: " << r.text;
}

TEST(Grammar, ReadRulesCompileIntoALexer) {
    tessel::grammar g = parse_grammar(
        "word\t[a-z]+\n"
        "ws\t[ ]+\tskip\n"
        "open\t\"\tpush=str\n"
        "body\t[^\"]+\tin=str\n"
        "close\t\"\tin=str pop\n");
    const tessel::lexer lx(std::move(g.rules), {});
    std::vector<std::int32_t> kinds;
    for (const tessel::token& t : tessel::tokenize(lx, "ab \"c d\" e", false)) kinds.push_back(t.kind);
    EXPECT_EQ(kinds, (std::vector<std::int32_t>{0, 2, 3, 4, 0}));
}

}  // namespace
