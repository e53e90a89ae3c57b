// Analysis tests: the basic facts on the patterns where they are easy to get wrong, the
// commonness table, the rare-byte rule, the continuation-byte reset, and each shape
// recogniser on patterns it must take and on near misses it must leave alone (a shape set
// where its matcher would disagree with the Pike VM is a wrong answer, not a slow one).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kestrel/analysis.h"
#include "kestrel/compiler.h"
#include "kestrel/program_dump.h"

namespace {

using namespace kestrel;

analysis facts(const std::string& pattern) { return compile_pattern(pattern).prog.facts; }

std::string prefix(const analysis& a) {
    return std::string(a.literal_prefix.begin(),
                       a.literal_prefix.begin() + a.literal_prefix_length);
}

// The shape lines of the fact dump, joined by " | ".
std::string shapes(const std::string& pattern) {
    static const char* const names[] = {"byte_class_run",      "code_point_class_run",
                                        "run_then_lookahead",  "fixed_sequence",
                                        "possessive_run",      "any_run",
                                        "straight_alternation"};
    std::istringstream in(dump_facts(facts(pattern)));
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        for (const char* name : names) {
            if (line.rfind(std::string(name) + " ", 0) == 0) {
                out += (out.empty() ? "" : " | ") + line;
                break;
            }
        }
    }
    return out;
}

TEST(AnalysisFacts, LiteralPatterns) {
    const analysis abc = facts("abc");
    EXPECT_EQ(prefix(abc), "abc");
    EXPECT_EQ(abc.whole_literal_length, 3);
    EXPECT_EQ(abc.single_first_byte, 'a');
    EXPECT_EQ(abc.rare_byte, -1);  // the prefix is long enough to search for
    EXPECT_EQ(abc.literal_string_start, 1);
    EXPECT_EQ(abc.literal_string_length, 3);

    const analysis foo = facts("\\bfoo\\b");
    EXPECT_EQ(prefix(foo), "foo");
    EXPECT_EQ(foo.whole_literal_length, 3);
    EXPECT_EQ(foo.literal_leading, boundary_kind::word);
    EXPECT_EQ(foo.literal_trailing, boundary_kind::word);
    EXPECT_EQ(facts("\\Bfoo").literal_leading, boundary_kind::not_word);

    // Assertions the boundary kinds cannot express keep the prefix but not the whole literal.
    for (const char* p : {"foo$", "\\Afoo", "f\\boo", "(foo)", "(?a:\\b)foo"}) {
        const analysis a = facts(p);
        EXPECT_EQ(prefix(a), "foo") << p;
        EXPECT_EQ(a.whole_literal_length, 0) << p;
        EXPECT_EQ(a.literal_string_start, -1) << p;
    }
    // Past 16 bytes: the prefix stops, the literal string goes on to 255.
    const analysis long_one = facts(std::string(20, 'q'));
    EXPECT_EQ(long_one.literal_prefix_length, 16);
    EXPECT_EQ(long_one.whole_literal_length, 0);
    EXPECT_EQ(long_one.literal_string_length, 20);
    EXPECT_EQ(facts(std::string(256, 'q')).literal_string_start, -1);
}

TEST(AnalysisFacts, CapturesAnchorsAndEmptiness) {
    EXPECT_TRUE(facts("a").no_captures);
    EXPECT_FALSE(facts("(a)").no_captures);
    EXPECT_FALSE(facts("(?=(a))").no_captures);  // no saves, but two slots for the group

    EXPECT_EQ(facts("\\Aabc").anchor, anchor_kind::text_start);
    EXPECT_EQ(facts("^abc").anchor, anchor_kind::text_start);
    EXPECT_EQ(facts("(^abc)").anchor, anchor_kind::text_start);
    EXPECT_EQ(facts("(?m)^abc").anchor, anchor_kind::line_start);
    EXPECT_EQ(facts("a^").anchor, anchor_kind::none);
    EXPECT_EQ(facts("\\bx").anchor, anchor_kind::none);

    const analysis opt = facts("x?");
    EXPECT_TRUE(opt.can_be_empty);
    EXPECT_FALSE(opt.first_bytes_known);
    EXPECT_EQ(opt.single_first_byte, -1);
    EXPECT_TRUE(opt.first_bytes.test('x'));
    EXPECT_TRUE(facts("(?!a)").can_be_empty);
    EXPECT_FALSE(facts("a*b").can_be_empty);
}

TEST(AnalysisFacts, FirstBytes) {
    struct row {
        const char* pattern;
        const char* first_bytes;
        std::int16_t single;
        const char* candidates;  // as the dump writes them
    } rows[] = {
        {"a*b", "[ab]", -1, "first_byte_candidates 'a' 'b'"},
        {"a|b|c", "[a-c]", -1, "first_byte_candidates 'a' 'b' 'c'"},
        {"[a-h]x", "[a-h]", -1, "first_byte_candidates 'a' 'b' 'c' 'd' 'e' 'f' 'g' 'h'"},
        {"[a-i]x", "[a-i]", -1, ""},
        {"a|ab", "[a]", 'a', ""},
        {"[xy]*+z", "[x-z]", -1, "first_byte_candidates 'x' 'y' 'z'"},
        {"(?=q)r", "[r]", 'r', ""},
        {"é", "[\\xc3]", 0xC3, ""},
        {"\\x{100}|\\x{800}|\\x{10000}", "[\\xc4\\xe0-\\xf4]", -1, ""},
        {"[\\x{80}-\\x{7ff}]", "[\\xc2-\\xdf]", -1, ""},
    };
    for (const row& r : rows) {
        const analysis a = facts(r.pattern);
        EXPECT_EQ(format_byte_set(a.first_bytes), r.first_bytes) << r.pattern;
        EXPECT_EQ(a.single_first_byte, r.single) << r.pattern;
        const std::string dump = dump_facts(a);
        if (*r.candidates) {
            EXPECT_NE(dump.find(std::string(r.candidates) + "\n"), std::string::npos) << r.pattern;
        } else {
            EXPECT_EQ(a.first_byte_candidate_count, 0) << r.pattern;
        }
    }
    // The unused candidate slots repeat the first one.
    const analysis three = facts("a|b|c");
    EXPECT_EQ(three.first_byte_candidates[7], 'a');
}

TEST(AnalysisFacts, CommonnessTable) {
    struct row {
        std::uint8_t b;
        std::uint16_t score;
    } rows[] = {{' ', 1500}, {'e', 1000}, {'z', 8},    {'E', 1000 / 6 + 3}, {'Z', 8 / 6 + 3},
                {'7', 120},  {'.', 120},  {0xC2, 120}, {'\n', 100},         {'/', 60},
                {0xE2, 60},  {'_', 50},   {'"', 45},   {'\t', 40},          {0xC4, 40},
                {0xDF, 40},  {':', 35},   {0xE0, 30},  {0xEF, 30},          {'*', 25},
                {'{', 22},   {']', 20},   {'|', 15},   {'%', 12},           {0xF4, 10},
                {'\\', 8},   {'@', 3},    {'~', 3},    {0x80, 200},         {0xBF, 200},
                {0xC3, 250}, {0, 1},      {0xF5, 1},   {0xFF, 1},           {0xC0, 1}};
    for (const row& r : rows) EXPECT_EQ(byte_commonness(r.b), r.score) << int(r.b);
}

TEST(AnalysisFacts, RareByte) {
    struct row {
        const char* pattern;
        std::int16_t rare;
        std::int32_t offset;
    } rows[] = {
        {"a[0-9]z", 'z', 2},     {".*z", -1, -1},  // the scan stops at the split of .*
        {"\\Aa[0-9]z", -1, -1},                    // anchored: no search needed
        {"ab[0-9]z", -1, -1},                      // the two-byte prefix is searched instead
        {"a[0-9]e", -1, -1},                       // e is common
        {"[ab]x[0-9]q", 'q', 3},                   // first bytes a + b score 800 > 4 x 10
        {"[ab]\\bq", 'q', 1},                      // assertions take no position
        {"z[0-9]q", -1, -1},                       // q (10) is not rarer than four times z (8)
    };
    for (const row& r : rows) {
        const analysis a = facts(r.pattern);
        EXPECT_EQ(a.rare_byte, r.rare) << r.pattern;
        if (r.rare >= 0) {
            EXPECT_EQ(a.rare_byte_offset, r.offset) << r.pattern;
        }
    }
    EXPECT_EQ(facts("hello").prefix_rare_position, 2);  // the first l
    EXPECT_EQ(facts("ezz").prefix_rare_position, 1);
}

TEST(AnalysisFacts, ContinuationByteStartResetsEverything) {
    // A raw continuation byte can start a match and no single first byte is known: nothing.
    const analysis reset = facts("\\x80|\\x81");
    EXPECT_FALSE(reset.no_captures);
    EXPECT_TRUE(reset.first_bytes.empty());
    EXPECT_EQ(dump_facts(reset), "");
    // With a single first byte the facts stay.
    const analysis single = facts("\\x80");
    EXPECT_TRUE(single.no_captures);
    EXPECT_EQ(single.single_first_byte, 0x80);
    // Lead bytes are not continuation bytes.
    EXPECT_TRUE(facts("é|ê|ā").no_captures);
}

TEST(AnalysisFacts, ExcludedBytesOfARun) {
    // No class of a text-mode pattern excludes only a few bytes (class sets stop at 127), so
    // the program is put together by hand: x, then a possessive loop over all bytes but two.
    // (A bare class run over such a set can start with a continuation byte, and the reset
    // then drops every fact; the literal x gives this one a single first byte.)
    program prog;
    byte_set most;
    most.set_range(0, 255);
    most.reset('"');
    most.reset('\\');
    prog.byte_sets.push_back(most);
    prog.instructions = {{opcode::save, 0, 0, 0, 0},
                         {opcode::byte, 'x', 0, 0, 0},
                         {opcode::possessive_set, 0, 0, -1, 4},
                         {opcode::jump, 0, 0, 2, 0},
                         {opcode::save, 0, 1, 0, 0},
                         {opcode::match, 0, 0, 0, 0}};
    analyse(prog);
    ASSERT_EQ(prog.facts.possessive_run.kind, run_kind::byte_set);
    ASSERT_EQ(prog.facts.excluded_byte_count, 2);
    EXPECT_EQ(prog.facts.excluded_bytes[0], '"');
    EXPECT_EQ(prog.facts.excluded_bytes[1], '\\');
    // Seven excluded bytes are too many.
    for (std::uint8_t b : {'a', 'b', 'c', 'd', 'e'}) prog.byte_sets[0].reset(b);
    analyse(prog);
    EXPECT_EQ(prog.facts.possessive_run.kind, run_kind::byte_set);
    EXPECT_EQ(prog.facts.excluded_byte_count, 0);
    // The same loop without the x may start inside a character: no facts at all.
    prog.byte_sets[0] = most;
    prog.instructions.erase(prog.instructions.begin() + 1);
    prog.instructions[1].y = 3;
    prog.instructions[2].x = 1;
    analyse(prog);
    EXPECT_EQ(prog.facts.possessive_run.kind, run_kind::none);
    EXPECT_EQ(prog.facts.excluded_byte_count, 0);
}

TEST(AnalysisShapes, Recognisers) {
    struct row {
        const char* pattern;
        const char* shapes;
    } rows[] = {
        // Class runs.
        {"[a-z]+", "byte_class_run class 0 min 1"},
        {"[a-z]{3,}", "byte_class_run class 0 min 3"},
        {"([0-9]+)$", "byte_class_run class 0 min 1 captures 2 3 end $"},
        {"\\A[0-9]+\\Z", "byte_class_run class 0 min 1 end \\Z"},
        {"\\b[a-z]+\\b", "byte_class_run class 0 min 1 boundaries \\b \\b test leading trailing"},
        {"(?a)\\b\\w+\\b", "byte_class_run class 0 min 1 boundaries \\b \\b test leading -"},
        {"\\b\\w+\\b",
         "code_point_class_run class 0 min 1 boundaries \\b \\b test leading trailing"},
        {"é+", "code_point_class_run class 0 min 1"},
        {"[a-zé]{2,}", "code_point_class_run class 0 min 2"},
        {"\\B[a-z]+", ""},  // a \B would have to move into the run
        {"[a-z]+\\B", ""},
        {"\\b[a-z ]+", ""},  // a class with non-word members
        {"\\b[a-zé]+\\b",
         "code_point_class_run class 0 min 1 boundaries \\b \\b test leading trailing"},
        {"\\b[a-z\\x{2000}]+", ""},  // U+2000 is a space
        {"[a-z]*", ""},
        {"[a-z]+?", ""},  // lazy: the shortest run wins, not the longest
        {"x[a-z]+", ""},
        {"([a-z])+", ""},
        {"(?=a)[a-z]+", ""},
        {"(?m)[a-z]+$", ""},
        // Class run then lookahead.
        {"[a-z]+(?=x)", "run_then_lookahead lookaround 0 byte_set 0"},
        {"é+(?=\\d)", "run_then_lookahead lookaround 0 code_point_class 0"},
        {"[a-z]+(?!x)", ""},
        {"[a-z]+(?<=x)", ""},
        {"[a-z]*(?=x)", ""},
        {"[a-z]+(?=x)y", ""},
        // Fixed sequences.
        {"a[0-9]b", "fixed_sequence 1..4"},
        {"(x)y(z)", "fixed_sequence 1..8"},
        {"\\bfoo\\B", "fixed_sequence 2..5 boundaries \\b \\B"},
        {"\\A[a-z]\\Z", "fixed_sequence 2..3 end \\Z"},
        {"[a-z]", "fixed_sequence 1..2 single_byte_class 0"},
        {"[a-z]$", "fixed_sequence 1..2 end $"},
        {"(?m)^ab", ""},
        {"a\\bb", ""},
        {"ab(?=c)", ""},
        {"", ""},
        // Possessive runs.
        {"a++", "possessive_run byte 'a' non_empty"},
        {"[a-z]*+", "possessive_run byte_set 0 may_be_empty"},
        {"é++", "possessive_run code_point_class 0 non_empty"},
        {"\\w++", "possessive_run code_point_class 0 non_empty word_class"},
        {"[\\w-]++", "possessive_run code_point_class 0 non_empty"},
        {"(a)++", "possessive_run byte 'a' slot 2 non_empty"},
        {"(a)*+", "possessive_run byte 'a' slot 2 may_be_empty"},
        {"foo[a-z]*+bar", "possessive_run byte_set 0 may_be_empty prefix 1+3 suffix \"bar\""},
        {"aa*+", "possessive_run byte 'a' non_empty"},
        {"xaa*+", "possessive_run byte 'a' may_be_empty prefix 1+2"},
        {"xa*+", "possessive_run byte 'a' may_be_empty prefix 1+1"},
        {"[a-z]++x", "possessive_run byte_set 0 non_empty suffix \"x\""},
        {"\\b[a-z]*+\\b", "possessive_run byte_set 0 may_be_empty boundaries \\b \\b"},
        {"[a-z]*+\\bx", ""},    // the \b is not at the end of the match
        {"foo[a-z]++", ""},     // a prefix and a required run
        {"\\bfoo[a-z]*+", ""},  // a prefix and a lifted boundary
        {"[0-9][a-z]*+", ""},   // a plain element that is not the run's
        {"a*+bbbbbbbbb", ""},   // nine suffix bytes
        {"a*+b*+", ""},
        {"(a)(a)*+", ""},  // the plain copy records another group
        {"a{2,3}+", ""},   // bounded: steps with no loop
        // Any runs.
        {".+", "any_run ascii_set 0"},
        {"[^\"]+", "any_run ascii_set 0"},
        {"(?s).+", "any_run ascii_set 0"},
        {".*", ""},
        {".{2,}", ""},
        {".+x", ""},
        {"[^\\x00-\\x7f]+", ""},
        // Alternations of straight lines.
        {"ab|cd|ef", "straight_alternation 3 branches at 1"},
        {"ab|c", "straight_alternation 2 branches at 1"},
        {"\\b(?:ab|cd)\\b", "straight_alternation 2 branches at 2 boundaries \\b \\b"},
        {"\\b(?:ab|cde)", "straight_alternation 2 branches at 2 boundaries \\b -"},
        {"(?:ab|cde)\\b", ""},  // unequal lengths: the \b could prefer a later branch
        {"(?:ab|cd)x", ""},
        {"ab|", ""},
        {"(ab)|cd", ""},
    };
    for (const row& r : rows) EXPECT_EQ(shapes(r.pattern), r.shapes) << r.pattern;
}

}  // namespace
