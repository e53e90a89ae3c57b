// Parser tests: every failure message at its byte position, golden dumps of accepted
// patterns whose shape is easy to get wrong, the grammar's limits at their boundaries, and
// structural checks of the tree over a fixed-seed random corpus.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kestrel/parser.h"
#include "kestrel/regex_error.h"
#include "kestrel/syntax_dump.h"

namespace {

using kestrel::node_kind;
using kestrel::parse_pattern;
using kestrel::parsed_pattern;

std::string repeat_text(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Checks the tree is well formed: every node reachable from the root exactly once, child
// counts fit the kind, class indices valid and class ranges normalised above ASCII.
// Returns a description of the first problem, or "" when there is none.
std::string tree_problem(const parsed_pattern& p) {
    std::vector<int> seen(p.nodes.size(), 0);
    std::vector<int> class_uses(p.classes.size(), 0);
    std::vector<std::int32_t> stack{p.root};
    while (!stack.empty()) {
        const std::int32_t i = stack.back();
        stack.pop_back();
        if (i < 0 || static_cast<std::size_t>(i) >= p.nodes.size()) return "bad index";
        if (seen[i]++) return "node reached twice";
        const auto& n = p.nodes[i];
        int children = 0;
        for (std::int32_t c = n.first_child; c >= 0; c = p.nodes[c].next_sibling, ++children) {
            if (static_cast<std::size_t>(c) >= p.nodes.size()) return "bad child index";
            stack.push_back(c);
        }
        switch (n.kind) {
        case node_kind::repeat: case node_kind::group: case node_kind::lookaround:
            if (children != 1) return "wrapper without exactly one child";
            break;
        case node_kind::concat: case node_kind::alternation:
            if (children < 2) return "list node with fewer than two children";
            break;
        default:
            if (children != 0) return "leaf with children";
        }
        if (n.kind == node_kind::klass) {
            if (n.class_index < 0 || static_cast<std::size_t>(n.class_index) >= p.classes.size())
                return "bad class index";
            ++class_uses[n.class_index];
        }
        if (n.kind == node_kind::repeat && n.max != kestrel::unbounded && n.max < n.min)
            return "repeat max below min";
    }
    for (int s : seen)
        if (s != 1) return "unreachable node";
    for (std::size_t c = 0; c < p.classes.size(); ++c) {
        if (class_uses[c] != 1) return "class not used by exactly one node";
        const auto& e = p.classes[c];
        for (int b = 128; b < 256; ++b)
            if (e.ascii.test(static_cast<std::uint8_t>(b))) return "ascii set above 127";
        for (const auto* list : {&e.ranges, &e.explicit_ranges}) {
            for (std::size_t r = 0; r < list->size(); ++r) {
                const auto& cur = (*list)[r];
                if (cur.first < 128 || cur.first > cur.last || cur.last > 0x10FFFF) return "bad range";
                if (r && cur.first <= (*list)[r - 1].last + 1) return "ranges not normalised";
            }
        }
    }
    return "";
}

// ---- failures -------------------------------------------------------------------------

struct error_case {
    std::string pattern;
    std::string message;
    std::int32_t position;
};
void PrintTo(const error_case& c, std::ostream* os) { *os << "pattern \"" << c.pattern << '"'; }

const std::string unknown_property =
    "unsupported Unicode property in \\p{...} (General_Category, Script, Script_Extensions and "
    "the standard binary properties are built in)";

std::vector<error_case> error_cases() {
    return {
        {")", "unbalanced parenthesis", 0},
        {"a)b", "unbalanced parenthesis", 1},
        {"(a))", "unbalanced parenthesis", 3},
        {"(?-)", "missing flag", 3},
        {"(?i-:a)", "missing flag", 4},
        {"(?-", "missing flag", 3},
        {"(?iz)", "unknown flag", 3},
        {"(?-z)", "unknown flag", 3},
        {"(?i\xc3\xa9)", "unknown flag", 3},
        {"a(?i-mq:x)", "unknown flag", 6},
        {"x(?i)", "global flags not at the start of the expression", 1},
        {"(?x) (?i)", "global flags not at the start of the expression", 5},
        {"(?i)a|(?m)", "global flags not at the start of the expression", 6},
        {"(?i-m", "missing :", 5},
        {"(?-i!)", "missing :", 4},
        {"(?i", "missing -, : or )", 3},
        {"(?i1)", "missing -, : or )", 3},
        {"(?s=a)", "missing -, : or )", 3},
        {"(?#abc", "missing ), unterminated comment", 0},
        {"a(?#", "missing ), unterminated comment", 1},
        {"(a", "missing ), unterminated subpattern", 0},
        {"a(b(c)", "missing ), unterminated subpattern", 1},
        {"(?:a", "missing ), unterminated subpattern", 0},
        {"(?i:a", "missing ), unterminated subpattern", 0},
        {"(?>a", "missing ), unterminated subpattern", 0},
        {"(?<!a", "missing ), unterminated subpattern", 0},
        {"(?P<n>a", "missing ), unterminated subpattern", 0},
        {"(?P=n)", "named backreferences are not supported", 3},
        {"(?P>n)", "subroutine calls are not supported", 3},
        {"(?&n)", "subroutine calls are not supported", 2},
        {"(?(1)a)", "conditional groups are not supported", 2},
        {"(?R)", "pattern recursion is not supported", 2},
        {"(?12)", "pattern recursion is not supported", 2},
        {"(?+1)", "pattern recursion is not supported", 2},
        {"(?-1)", "pattern recursion is not supported", 2},
        {"(?C1)", "callouts are not supported", 2},
        {"(?z)", "unknown extension ?z", 1},
        {"a(?P!x)", "unknown extension ?P!", 2},
        {"(?P", "unknown extension ?P", 1},
        {"(?+x)", "unknown extension ?+", 1},
        {"(?'n'x)", "unknown extension ?'", 1},
        {"(?\\dx)", "unknown extension ?\\d", 1},
        {"(?\\\\d)", "unknown extension ?\\\\", 1},
        {"(?\xc3\xa9)", "unknown extension ?\xc3\xa9", 1},
        {"(?\xff)", "unknown extension ?\\xff", 1},
        {"(?", "unexpected end of pattern", 2},
        {"a(?", "unexpected end of pattern", 3},
        {"(?=(?=a))", "nested lookaround is not supported", 5},
        {"(?<=(?!a))", "nested lookaround is not supported", 6},
        {"(?!a(?:(?<=b)))", "nested lookaround is not supported", 10},
        {"(?P<n", "missing >, unterminated name", 4},
        {"(?<n", "missing >, unterminated name", 3},
        {"(?P<", "missing >, unterminated name", 4},
        {"(?P<>a)", "missing group name", 4},
        {"(?<>a)", "missing group name", 3},
        {"(?P<1a>x)", "bad character in group name '1a'", 4},
        {"(?<a-b>x)", "bad character in group name 'a-b'", 3},
        {"(?P<a)", "bad character in group name 'a)'", 4},
        {"(?P<\xc2\xb7" "a>x)", "bad character in group name '\xc2\xb7" "a'", 4},
        {"(?P<a\xff" "b>x)", "bad character in group name 'a\xff" "b'", 4},
        {"(?P<a>x)(?P<a>y)", "redefinition of group name 'a' as group 2; was group 1", 12},
        {"(?<ab>x)(c)(?<ab>)", "redefinition of group name 'ab' as group 3; was group 1", 14},
        {"*", "nothing to repeat", 0},
        {"a|*", "nothing to repeat", 2},
        {"(+)", "nothing to repeat", 1},
        {"^*", "nothing to repeat", 1},
        {"$+", "nothing to repeat", 1},
        {"\\b{2}", "nothing to repeat", 2},
        {"\\A?", "nothing to repeat", 2},
        {"\\Q\\E*", "nothing to repeat", 4},
        {"\\<\\Q\\E+", "nothing to repeat", 6},
        {"a**", "multiple repeat", 2},
        {"a{2}*", "multiple repeat", 4},
        {"a*{2}", "multiple repeat", 2},
        {"a{2}{3}", "multiple repeat", 4},
        {"a+?+", "multiple repeat", 3},
        {"a*+?", "multiple repeat", 3},
        {"(?U)a*+", "multiple repeat", 6},
        {"a*\\Q\\E+", "multiple repeat", 6},
        {"a{3,2}", "min repeat greater than max repeat", 2},
        {"a{1000,999}", "min repeat greater than max repeat", 2},
        {"a{1001}", "repetition count too large", 5},
        {"a{0,1001}", "repetition count too large", 7},
        {"a{,1001}", "repetition count too large", 6},
        {"a{99999}", "repetition count too large", 5},
        {"a{00001001}", "repetition count too large", 9},
        {"\\", "dangling backslash", 1},
        {"a\\", "dangling backslash", 2},
        {"[\\", "dangling backslash", 2},
        {"\\C", "\\C (raw-byte escape) requires flags::bytes or flags::allow_raw_byte -- it can split a UTF-8 codepoint", 2},
        {"\xff", "invalid UTF-8 byte in pattern", 0},
        {"a\xc3", "invalid UTF-8 byte in pattern", 1},
        {"\xc3(", "invalid UTF-8 byte in pattern", 0},
        {"\xc0\x80", "invalid UTF-8 byte in pattern", 0},
        {"\xed\xa0\x80", "invalid UTF-8 byte in pattern", 0},
        {"\xf4\x90\x80\x80", "invalid UTF-8 byte in pattern", 0},
        {"\\\xff", "invalid UTF-8 byte in pattern", 1},
        {"\\Qab\xe2\x82\\E", "invalid UTF-8 byte in pattern", 4},
        {"[\xff]", "invalid UTF-8 byte in character class", 1},
        {"[a\xe0\x80\x80]", "invalid UTF-8 byte in character class", 2},
        {"[\\\xff]", "invalid UTF-8 byte in character class", 2},
        {"\\400", "octal escape value outside of range 0-0o377", 4},
        {"\\777", "octal escape value outside of range 0-0o377", 4},
        {"\\1", "backreferences are not supported", 2},
        {"\\12", "backreferences are not supported", 3},
        {"\\18", "backreferences are not supported", 3},
        {"\\81", "backreferences are not supported", 3},
        {"a\\128", "backreferences are not supported", 4},
        {"[\\400]", "octal escape value out of range (\\0 to \\377)", 5},
        {"[\\7777]", "octal escape value out of range (\\0 to \\377)", 5},
        {"[\\8]", "invalid escape (\\8 and \\9 are not octal and there are no back-references in a class)", 2},
        {"[a\\9]", "invalid escape (\\8 and \\9 are not octal and there are no back-references in a class)", 3},
        {"\\e", "unsupported escape sequence \\e", 0},
        {"a\\E", "unsupported escape sequence \\E", 1},
        {"[\\A]", "unsupported escape sequence \\A", 1},
        {"[a\\Q]", "unsupported escape sequence \\Q", 2},
        {"\\x", "incomplete escape \\x", 0},
        {"a\\x4", "incomplete escape \\x4", 1},
        {"\\xg0", "incomplete escape \\x", 0},
        {"\\u12x", "incomplete escape \\u12", 0},
        {"\\U0010FFF", "incomplete escape \\U0010FFF", 0},
        {"\\U{41}", "incomplete escape \\U", 0},
        {"[\\x4]", "incomplete escape \\x4", 1},
        {"\\uD800", "invalid Unicode escape: surrogate code point", 6},
        {"[\\U0000DFFF]", "invalid Unicode escape: surrogate code point", 11},
        {"\\U00110000", "invalid Unicode escape: code point out of range", 10},
        {"\\x{}", "expected 1 to 6 hex digits in a braced hex escape", 3},
        {"\\u{g}", "expected 1 to 6 hex digits in a braced hex escape", 3},
        {"\\N{U+}", "expected 1 to 6 hex digits in a braced hex escape", 5},
        {"\\x{1234567}", "unterminated braced hex escape (expected '}')", 9},
        {"[\\x{12", "unterminated braced hex escape (expected '}')", 6},
        {"\\x{D800}", "invalid braced hex escape: surrogate code point", 8},
        {"\\u{dfff}", "invalid braced hex escape: surrogate code point", 8},
        {"\\x{110000}", "invalid braced hex escape: code point out of range", 10},
        {"[\\N{U+110000}]", "invalid braced hex escape: code point out of range", 13},
        {"\\N", "expected '{' after \\N (\\N{U+XXXX})", 2},
        {"\\Nx", "expected '{' after \\N (\\N{U+XXXX})", 2},
        {"\\N{SPACE}", "\\N{...} takes a U+XXXX code point; a character name is resolved by the Python binding", 3},
        {"\\N{U 41}", "expected '+' in \\N{U+XXXX}", 4},
        {"\\p", "\\p must be followed by a property name or {name}", 2},
        {"[\\P", "\\p must be followed by a property name or {name}", 3},
        {"\\p{L", "unterminated \\p{...} property", 4},
        {"[\\p{L]", "unterminated \\p{...} property", 6},
        {"\\p{}", "empty Unicode property name in \\p{}", 3},
        {"\\P{^}", "empty Unicode property name in \\p{}", 4},
        {"\\p^", "empty Unicode property name in \\p{}", 3},
        {"\\p{Foo}", unknown_property, 6},
        {"\\pQ", unknown_property, 3},
        {"[\\p{gc=Alphabetic}]", unknown_property, 17},
        {"\\p{foo=bar}", "unknown Unicode property namespace in \\p{...} (use gc=, sc= or scx=)", 10},
        {"[z-a]", "bad character range z-a", 1},
        {"[\\d-z]", "bad character range \\d-z", 1},
        {"[a-\\d]", "bad character range a-\\d", 1},
        {"[\\p{L}-\\w]", "bad character range \\p{L}-\\w", 1},
        {"[^\\x{e9}-a]", "bad character range \\x{e9}-a", 2},
        {"[x\xc3\xa9-a]", "bad character range \xc3\xa9-a", 2},
        {"[", "unterminated character class", 0},
        {"a[b", "unterminated character class", 1},
        {"[]", "unterminated character class", 0},
        {"[^]", "unterminated character class", 0},
        {"[a-", "unterminated character class", 0},
        {"[\\]", "unterminated character class", 0},
    };
}

class ParserError : public ::testing::TestWithParam<error_case> {};

TEST_P(ParserError, MessageAndPosition) {
    const error_case& c = GetParam();
    try {
        parse_pattern(c.pattern);
        ADD_FAILURE() << "accepted";
    } catch (const kestrel::regex_error& e) {
        EXPECT_EQ(e.message(), c.message);
        EXPECT_EQ(e.position(), c.position);
        EXPECT_EQ(std::string(e.what()),
                  "regex_error at " + std::to_string(c.position) + ": " + c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(FailureTable, ParserError, ::testing::ValuesIn(error_cases()));

// ---- golden dumps ---------------------------------------------------------------------

struct golden_case {
    std::string pattern;
    std::string dump;
};
void PrintTo(const golden_case& c, std::ostream* os) { *os << "pattern \"" << c.pattern << '"'; }

const char* const h0 = "flags on=- off=- captures=0\n";

std::vector<golden_case> golden_cases() {
    const std::string h = h0;
    return {
        {"", h + "empty\n"},
        {"a|b|", h + "alternation\n  literal 'a'\n  literal 'b'\n  empty\n"},
        {"()", "flags on=- off=- captures=1\ngroup capture=1\n  empty\n"},
        {std::string("a\0b", 3), h + "concat\n  literal 'a'\n  literal \\x00\n  literal 'b'\n"},
        // Counted forms, and the brace texts that fall back to literals.
        {"a{,}", h + "repeat {0,inf}\n  literal 'a'\n"},
        {"a{2,}b{,3}c{2,3}?d{0}", h + R"(concat
  repeat {2,inf}
    literal 'a'
  repeat {0,3}
    literal 'b'
  repeat {2,3} lazy
    literal 'c'
  repeat {0,0}
    literal 'd'
)"},
        {"a{1000}", h + "repeat {1000,1000}\n  literal 'a'\n"},
        {"a{}", h + "concat\n  literal 'a'\n  literal '{'\n  literal '}'\n"},
        {"a{3", h + "concat\n  literal 'a'\n  literal '{'\n  literal '3'\n"},
        {"a{x}", h + "concat\n  literal 'a'\n  literal '{'\n  literal 'x'\n  literal '}'\n"},
        {"{3}", h + "concat\n  literal '{'\n  literal '3'\n  literal '}'\n"},
        // Lazy, possessive, and their swap under U.
        {"a++b*?c?+", h + R"(concat
  repeat {1,inf} possessive
    literal 'a'
  repeat {0,inf} lazy
    literal 'b'
  repeat {0,1} possessive
    literal 'c'
)"},
        {"(?U)a*b*?c*?+", R"(flags on=U off=- captures=0
concat flags=U
  repeat {0,inf} lazy flags=U
    literal 'a' flags=U
  repeat {0,inf} flags=U
    literal 'b' flags=U
  repeat {0,inf} possessive flags=U
    literal 'c' flags=U
)"},
        // A possessive multi-byte character becomes a class; a greedy one stays bytes.
        {"\xc3\xa9++", h + "repeat {1,inf} possessive\n  class #0 ascii=[] ranges=[U+00E9] explicit=[U+00E9]\n"},
        {"\xc3\xa9*", h + "repeat {0,inf}\n  concat\n    literal \\xc3\n    literal \\xa9\n"},
        // Verbose mode: blanks and comments go, escaped blanks and blanks in brackets stay.
        {"(?x)a\\ b[ ]#c\n d *\n", R"(flags on=x off=- captures=0
concat flags=x
  literal 'a' flags=x
  literal \x20 flags=x
  literal 'b' flags=x
  class #0 ascii=[\x20] flags=x
  repeat {0,inf} flags=x
    literal 'd' flags=x
)"},
        {"(?x: a b )c d", h + R"(concat
  group
    concat flags=x
      literal 'a' flags=x
      literal 'b' flags=x
  literal 'c'
  literal \x20
  literal 'd'
)"},
        // \Q...\E: one item per character; a quantifier takes the last one, or after an
        // empty \Q\E the item before.
        {"\\Qa.b\\E+", h + "concat\n  literal 'a'\n  literal '.'\n  repeat {1,inf}\n    literal 'b'\n"},
        {"a\\Q\\E*", h + "repeat {0,inf}\n  literal 'a'\n"},
        {"\\Qa(\\", h + "concat\n  literal 'a'\n  literal '('\n  literal '\\'\n"},
        // Bracket edge cases.
        {"[]a][^]a]", h + "concat\n  class #0 ascii=[\\x5da]\n  class #1 ascii=[\\x5da] negated\n"},
        {"[a-][-a][a-c-e]", h + R"(concat
  class #0 ascii=[\x2da]
  class #1 ascii=[\x2da]
  class #2 ascii=[\x2da-ce]
)"},
        {"[\\]\\-\\\\\\[\\b]", h + "class #0 ascii=[\\x08\\x2d\\x5b-\\x5d]\n"},
        {"[a-\\u00ff]", h + "class #0 ascii=[a-\\x7f] ranges=[U+0080-U+00FF] explicit=[U+0080-U+00FF]\n"},
        {"(?a)[\\D]", "flags on=a off=- captures=0\nclass #0 ascii=[\\x00-/:-\\x7f] ranges=[U+0080-U+10FFFF] flags=a\n"},
        {"[\\s]", h + "class #0 ascii=[\\x09-\\x0d\\x1c-\\x20] ranges=[U+0085 U+00A0 U+1680 U+2000-U+200A U+2028-U+2029 U+202F U+205F U+3000] wide\n"},
        {"[\\p{Zs}a]", h + "class #0 ascii=[\\x20a] ranges=[U+00A0 U+1680 U+2000-U+200A U+202F U+205F U+3000] wide\n"},
        {"[\\P{Zs}]", h + "class #0 ascii=[\\x00-\\x1f!-\\x7f] ranges=[U+0080-U+009F U+00A1-U+167F U+1681-U+1FFF U+200B-U+202E U+2030-U+205E U+2060-U+2FFF U+3001-U+10FFFF] wide props-only\n"},
        {"\\P{^Zl}\\p{^Zl}", h + R"(concat
  class #0 ascii=[] ranges=[U+2028] wide props-only
  class #1 ascii=[] ranges=[U+2028] wide props-only negated
)"},
        // Octal and hex escapes: raw bytes outside brackets, code points inside.
        {"\\101\\0\\0777", h + "concat\n  literal 'A'\n  literal \\x00\n  literal '?'\n  literal '7'\n"},
        {"\\351\\xe9[\\351\\xe9]", h + R"(concat
  literal \xe9
  literal \xe9
  class #0 ascii=[] ranges=[U+00E9] explicit=[U+00E9]
)"},
        {"\\x{e9}\\U0001F600\\N{U+41}", h + R"(concat
  concat
    literal \xc3
    literal \xa9
  concat
    literal \xf0
    literal \x9f
    literal \x98
    literal \x80
  literal 'A'
)"},
        // Ignore-case: letters with case partners become classes, raw bytes never do.
        {"(?i)a\xc3\xa9\xe2\x88\x9e" "1\\xe9\\x41", R"(flags on=i off=- captures=0
concat flags=i
  class #0 ascii=[a] flags=i
  class #1 ascii=[] ranges=[U+00E9] explicit=[U+00E9] flags=i
  concat flags=i
    literal \xe2 flags=i
    literal \x88 flags=i
    literal \x9e flags=i
  literal '1' flags=i
  literal \xe9 flags=i
  class #2 ascii=[A] flags=i
)"},
        // Scoped and global flags.
        {"(?i-m)(?s).", "flags on=is off=m captures=0\nany flags=is\n"},
        {"(?i)(?-i:x)y", R"(flags on=i off=- captures=0
concat flags=i
  group flags=i
    literal 'x'
  class #0 ascii=[y] flags=i
)"},
        // Groups, names, lookarounds, assertions.
        {"(?P<first>a)(?<second>b)(c)", R"(flags on=- off=- captures=3
name 1 'first' 4..9
name 2 'second' 15..21
concat
  group capture=1
    literal 'a'
  group capture=2
    literal 'b'
  group capture=3
    literal 'c'
)"},
        {"(?=a)(?<!b)(?>c)(?#x)", h + R"(concat
  lookahead
    literal 'a'
  lookbehind negated
    literal 'b'
  group atomic
    literal 'c'
  empty
)"},
        {"^$\\A\\Z\\z\\b\\B\\<\\>", h + R"(concat
  assertion ^
  assertion $
  assertion \A
  assertion \z
  assertion \z
  assertion \b
  assertion \B
  assertion \<
  assertion \>
)"},
        {"(?a)\\w\\W", R"(flags on=a off=- captures=0
concat flags=a
  class #0 ascii=[0-9A-Z_a-z] flags=a
  class #1 ascii=[0-9A-Z_a-z] negated flags=a
)"},
    };
}

class ParserGolden : public ::testing::TestWithParam<golden_case> {};

TEST_P(ParserGolden, Dump) {
    const golden_case& c = GetParam();
    const parsed_pattern p = parse_pattern(c.pattern);
    EXPECT_EQ(kestrel::dump_syntax(p, c.pattern), c.dump);
    EXPECT_EQ(tree_problem(p), "");
}

INSTANTIATE_TEST_SUITE_P(Accepted, ParserGolden, ::testing::ValuesIn(golden_cases()));

// ---- limits ---------------------------------------------------------------------------

TEST(ParserLimits, NestingDepth) {
    // Every kind of '(' counts towards the depth, and the 201st fails at its own '('.
    for (const std::string open : {"(", "(?:", "(?i:", "(?>", "(?P<n>"}) {
        SCOPED_TRACE(open);
        const bool named = open == "(?P<n>";
        const std::string inner = named ? "(" : open;
        const std::string ok = open + repeat_text(inner, 199) + "a" + repeat_text(")", 200);
        const parsed_pattern p = parse_pattern(ok);
        EXPECT_EQ(tree_problem(p), "");
        int depth = 0;
        for (std::int32_t n = p.root; p.nodes[n].kind == node_kind::group; n = p.nodes[n].first_child) ++depth;
        EXPECT_EQ(depth, 200);

        const std::string deep = open + repeat_text(inner, 200) + "a" + repeat_text(")", 201);
        try {
            parse_pattern(deep);
            ADD_FAILURE() << "201 levels accepted";
        } catch (const kestrel::regex_error& e) {
            EXPECT_EQ(e.message(), "pattern nesting too deep");
            EXPECT_EQ(e.position(), static_cast<std::int32_t>(open.size() + 199 * inner.size()));
        }
    }
    // Depth is released at each ')': many groups side by side are fine.
    EXPECT_NO_THROW(parse_pattern(repeat_text("(?=a)(?#c)((a))", 300)));
    // A lookaround or a comment at level 201 fails the same way.
    for (const std::string last : {"(?=a)", "(?#c)"}) {
        try {
            parse_pattern(repeat_text("(", 200) + last + repeat_text(")", 200));
            ADD_FAILURE() << last << " at depth 201 accepted";
        } catch (const kestrel::regex_error& e) {
            EXPECT_EQ(e.message(), "pattern nesting too deep");
            EXPECT_EQ(e.position(), 200);
        }
    }
}

TEST(ParserLimits, CaptureGroups) {
    const std::string most = repeat_text("()", 32766) + "(?:a)";
    const parsed_pattern p = parse_pattern(most);
    EXPECT_EQ(p.capture_count, 32766);
    EXPECT_EQ(p.nodes[p.nodes[p.root].first_child].capture_index, 1);
    EXPECT_EQ(tree_problem(p), "");

    for (const std::string extra : {"()", "(?P<n>)", "(?<n"}) {
        try {
            parse_pattern(repeat_text("()", 32766) + extra);
            ADD_FAILURE() << extra << " accepted as group 32767";
        } catch (const kestrel::regex_error& e) {
            EXPECT_EQ(e.message(), "too many capture groups");
            EXPECT_EQ(e.position(), 2 * 32766);
        }
    }
}

TEST(ParserLimits, EmptyPatternFromNullPointer) {
    const parsed_pattern p = parse_pattern(nullptr, 0);
    ASSERT_EQ(p.nodes.size(), 1u);
    EXPECT_EQ(p.nodes[p.root].kind, node_kind::empty);
}

TEST(ParserLimits, RepeatCounts) {
    for (const char* ok : {"a{1000}", "a{0,1000}", "a{1000,}", "a{,1000}", "a{0001000}"})
        EXPECT_NO_THROW(parse_pattern(ok)) << ok;
}

// ---- robustness -----------------------------------------------------------------------

// Fixed-seed random patterns over a syntax-heavy alphabet: every one either parses into a
// well-formed tree or fails with a position inside the pattern (the end included).
TEST(ParserRandom, WellFormedOrCleanError) {
    static const char* const pieces[] = {
        "a", "b", "(", ")", "(?", "(?:", "(?P<n>", "(?<=", "(?!", "?", "*", "+", "{", "}", "{2,3}",
        ",", "|", "[", "]", "^", "-", "\\", "\\d", "\\W", "\\Q", "\\E", "\\p{Zs}", "\\P", "\\x",
        "\\x{e9}", "\\1", "\\07", "i", "x", "#", " ", "\n", "\xc3\xa9", "\xc3", "\xff", "(?i)",
        "(?x)", "\\b", "\\u00", ".", "$"};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> piece(0, sizeof pieces / sizeof pieces[0] - 1);
    std::uniform_int_distribution<int> length(1, 10);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string pattern;
        for (int n = length(rng); n > 0; --n) pattern += pieces[piece(rng)];
        try {
            const parsed_pattern p = parse_pattern(pattern);
            ++accepted;
            const std::string problem = tree_problem(p);
            if (!problem.empty()) ADD_FAILURE() << problem << " for \"" << pattern << '"';
        } catch (const kestrel::regex_error& e) {
            if (e.position() < 0 || e.position() > static_cast<std::int32_t>(pattern.size()))
                ADD_FAILURE() << "position " << e.position() << " for \"" << pattern << '"';
        }
    }
    EXPECT_GT(accepted, 1000);  // the corpus exercises the success path, not only errors
}

}  // namespace
