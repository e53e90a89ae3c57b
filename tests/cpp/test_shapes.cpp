// The special-shape matchers of the selection chain, held to the Pike VM.
//
// Each shape gets a table of patterns that the analysis recognises as that shape, and every
// pattern is run, forced through the shape and through the automatic chain, on every subject
// of a small alphabet at every offset; both must give the Pike VM's answer (matched and every
// slot).  The alphabets are picked per pattern to reach what the shape reasons about: class
// edges, word characters on either side of a boundary (é is one in Unicode mode only), a
// final "\n" before an end anchor, and bytes that start no valid character ("\xc3" alone,
// "\xff").  Runs long enough to reach the search for excluded bytes need hand-built programs
// (no pattern class excludes only a few bytes), and have their own test.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "kestrel/analysis.h"
#include "kestrel/pike_vm.h"
#include "kestrel/program.h"
#include "kestrel/regex.h"
#include "kestrel/shapes.h"

namespace {

using kestrel::matcher_choice;
using kestrel::regex;
using kestrel::shape_row;

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string printable(const std::string& s) {
    std::ostringstream o;
    o << '"';
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            o << c;
        } else {
            static const char hex[] = "0123456789abcdef";
            o << "\\x" << hex[c >> 4] << hex[c & 15];
        }
    }
    return o.str() + '"';
}

std::string describe(const kestrel::match_result& r) {
    std::string out = r.matched ? "match" : "no match";
    for (std::int32_t v : r.slots) (out += ' ') += std::to_string(v);
    return out;
}

bool same(const kestrel::match_result& a, const kestrel::match_result& b) {
    if (a.matched != b.matched || a.slots.size() != b.slots.size()) return false;
    for (std::size_t i = 0; i < a.slots.size(); ++i)
        if (a.slots[i] != b.slots[i]) return false;
    return true;
}

// Every concatenation of 0 to max_symbols symbols.
std::vector<std::string> all_subjects(const std::vector<std::string>& alphabet, int max_symbols) {
    std::vector<std::string> out{""};
    std::size_t from = 0;
    for (int n = 1; n <= max_symbols; ++n) {
        const std::size_t to = out.size();
        for (std::size_t i = from; i < to; ++i)
            for (const std::string& sym : alphabet) out.push_back(out[i] + sym);
        from = to;
    }
    return out;
}

struct tally {
    int non_empty_matches = 0;
    int failures = 0;
    int disagreements = 0;
};

// Runs `re` on every subject at every offset through `shape` and through regex::match, each
// against the Pike VM.  Reports the first few disagreements.
tally compare_everywhere(const regex& re, matcher_choice shape,
                         const std::vector<std::string>& subjects) {
    tally t;
    for (const std::string& s : subjects) {
        const auto len = static_cast<std::uint32_t>(s.size());
        for (std::uint32_t pos = 0; pos <= len; ++pos) {
            const auto want = re.match_with(matcher_choice::pike_vm, pos, bytes(s), len);
            bool applied = false;
            const auto forced = re.match_with(shape, pos, bytes(s), len, &applied);
            const auto chain = re.match(pos, bytes(s), len);
            if (!want.matched) ++t.failures;
            if (want.matched && want.slot(1) > want.slot(0)) ++t.non_empty_matches;
            for (const auto* got : {&forced, &chain}) {
                if (applied && same(*got, want)) continue;
                if (++t.disagreements <= 5) {
                    ADD_FAILURE() << re.pattern() << " at " << pos << " of " << printable(s) << ": "
                                  << (got == &forced ? "forced shape" : "chain") << " gives "
                                  << (applied ? describe(*got) : "not applied") << ", Pike VM "
                                  << describe(want);
                }
            }
        }
    }
    return t;
}

struct shape_case {
    const char* pattern;
    std::vector<std::string> alphabet;
    int max_symbols;
};

struct shape_suite {
    const char* name;
    matcher_choice choice;
    shape_row row;
    std::vector<shape_case> cases;
};

const std::vector<std::string> words_and_spaces = {"a", "b", " ", "\n", "é"};
const std::vector<std::string> code_points = {"a", "é", " ", "\n", "\xc3", "\xff"};
const std::vector<std::string> wide_code_points = {"a", "é", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                                   "\xed\xa0\x80", "\xe2\x82", "\n"};

const shape_suite suites[] = {
    {"byte_class_run",
     matcher_choice::byte_class_run,
     shape_row::byte_class_run,
     {
         {"[ab]+", words_and_spaces, 5},
         {"[ab]{3,}", words_and_spaces, 5},
         {"([ab]+)$", words_and_spaces, 5},
         {"([ab]+)\\Z", words_and_spaces, 5},
         {"\\A[ab]+\\Z", words_and_spaces, 5},
         {"[ab\\n]+$", words_and_spaces, 5},
         {"[ab]{2,}$", {"a", "\n", " "}, 7},
         {"\\b[ab]+\\b", words_and_spaces, 5},
         {"\\b[ab]+\\b", {"a", "c", "1", "_", "é"}, 4},  // word characters outside the class
         {"(?a)\\b\\w+\\b", {"a", "_", " ", "é", "\xc3"}, 5},
         {"(?a)\\b[ab]+\\b$", {"a", "b", "c", "\n", "é"}, 5},
         {"\\b([0-9]{2,})", {"1", "2", "a", " ", "é"}, 5},
     }},
    {"code_point_class_run",
     matcher_choice::code_point_class_run,
     shape_row::code_point_class_run,
     {
         {"é+", code_points, 5},
         {"[aé]{2,}", code_points, 5},
         {"([aé]+)$", code_points, 5},
         {"\\A[aé]+\\Z", code_points, 5},
         {"[é\\n]+$", code_points, 5},
         {"\\b\\w+\\b", code_points, 5},
         {"\\b[aé]+\\b", {"a", "é", "b", "ü", " ", "\xc3"}, 5},
         {"\\b\\w{2,}\\b$", {"a", "é", " ", "\n", "\xc3\xa9\xa9"}, 5},
         {"[a\\x{20ac}\\x{1f600}]+", wide_code_points, 4},
     }},
    {"possessive_run",
     matcher_choice::possessive_run,
     shape_row::possessive_run,
     {
         {"a++", {"a", "b", "é"}, 6},
         {"aa*+", {"a", "b"}, 7},
         {"xaa*+", {"x", "a", "b"}, 6},
         {"[ab]*+", words_and_spaces, 5},
         {"[ab]++x", {"a", "b", "x", " "}, 6},
         {"x[ab]*+y", {"x", "y", "a", " "}, 6},
         {"foo[ab]*+cd", {"foo", "cd", "a", "b"}, 5},
         {"é++", code_points, 5},
         {"\\w++", code_points, 5},
         {"\\b\\w++\\b", {"a", "é", " ", "\xc3", "-"}, 5},
         {"(?a)\\b[ab]*+\\b", {"a", "c", " ", "é"}, 6},
         {"\\B[ab]++", words_and_spaces, 5},
         {"(a)++", {"a", "b"}, 6},
         {"(a)*+b", {"a", "b"}, 6},
         {"([ab])++", {"a", "b", " "}, 6},
         {"(\\w)++", code_points, 5},
         {"[a\\x{20ac}]++", wide_code_points, 4},
     }},
    {"literal_string",
     matcher_choice::literal_string,
     shape_row::literal_string,
     {
         {"ab", {"a", "b", "ab", " "}, 5},
         {"\\bab\\b", {"a", "b", " ", "é"}, 6},
         {"\\Bab\\B", {"a", "b", " ", "é"}, 6},
         {"\\bé\\b", {"é", "a", " ", "\xc3"}, 5},
         {"abcdefghijklmnopqrs", {"abcdefghij", "klmnopqrs", "abcdefghijklmnopqr", "s"}, 4},
         {"\\babcdefghijklmnopqrs\\b",
          {"abcdefghijklmnopqrs", "a", " ", "é", "klmnopqrs", "abcdefghij"},
          3},
     }},
    {"fixed_sequence",
     matcher_choice::fixed_sequence,
     shape_row::fixed_sequence,
     {
         {"a[0-9]b", {"a", "1", "b", "x"}, 6},
         {"(a)b(c)", {"a", "b", "c"}, 6},
         {"(?:(a)b){2}", {"a", "b"}, 6},  // a group's saves written twice: the later wins
         {"[ab]", {"a", "b", "c"}, 4},
         {"\\A[ab]\\Z", {"a", "b", "\n"}, 4},
         {"\\A(a)[ab]$", {"a", "b", "\n"}, 5},
         {"[ab]$", {"a", "b", "\n"}, 5},
         {"\\ba[ab]\\b", {"a", "b", " ", "é"}, 5},
         {"\\Ba(b)\\B", {"a", "b", " ", "é"}, 5},
     }},
    {"any_run",
     matcher_choice::any_run,
     shape_row::any_run,
     {
         {".+", {"a", "\n", "é", "\xc3", "\xff", "\xe2\x82\xac"}, 5},
         {"(?s).+", {"a", "\n", "é", "\xc3"}, 6},
         {"[^\"]+", {"a", "\"", "é", "\xff"}, 6},
         {"[^a]+", wide_code_points, 4},
     }},
    {"straight_alternation",
     matcher_choice::straight_alternation,
     shape_row::straight_alternation,
     {
         {"ab|cd|ef", {"a", "b", "c", "d", "e", "f"}, 4},
         {"a|ab|b", {"a", "b", "c"}, 5},
         {"[ab]b|a[ab]|b", {"a", "b", "c"}, 5},
         {"\\b(?:ab|ba)\\b", {"a", "b", " ", "é"}, 6},
         {"\\b(?:ab|a)", {"a", "b", " ", "é"}, 6},
         {"\\B(?:ab|cd)\\B", {"a", "b", "c", "d", " "}, 5},
     }},
    {"run_then_lookahead",
     matcher_choice::run_then_lookahead,
     shape_row::run_then_lookahead,
     {
         {"[ab]+(?=b)", {"a", "b", "c"}, 6},
         {"[ab]+(?=a|bb)", {"a", "b", "c"}, 6},
         {"[ab]+(?=\\b)", {"a", "b", " ", "é"}, 6},
         {"[ab]+(?=[ab]*c)", {"a", "b", "c", " "}, 6},
         {"[ab]+(?=b$)", {"a", "b", "\n"}, 6},
         {"\\w+(?=é)", code_points, 5},
         {"é+(?=\\d)", {"é", "1", "a", "\xc3"}, 5},
         {"[aé]+(?=[aé]é)", code_points, 5},
         {"[aé]+(?=\\B)", code_points, 5},  // \B holds inside a character: ends step by characters
     }},
};

void PrintTo(const shape_suite& suite, std::ostream* os) { *os << suite.name; }

class ShapeAgreement : public testing::TestWithParam<shape_suite> {};

TEST_P(ShapeAgreement, EveryCaseIsRecognisedAndAgreesWithThePikeVm) {
    const shape_suite& suite = GetParam();
    for (const shape_case& c : suite.cases) {
        SCOPED_TRACE(c.pattern);
        const regex re(c.pattern);
        const bool applies = kestrel::shape_applies(kestrel::make_view(re.prog()), suite.row);
        ASSERT_TRUE(applies) << c.pattern << " is not recognised as " << suite.name;
        const tally t = compare_everywhere(re, suite.choice, all_subjects(c.alphabet, c.max_symbols));
        EXPECT_EQ(t.disagreements, 0);
        // The alphabet must reach both answers (where the pattern can fail at all), or the
        // comparison proves little.
        EXPECT_GT(t.non_empty_matches, 0);
        if (!re.prog().facts.can_be_empty) {
            EXPECT_GT(t.failures, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ShapeAgreement, testing::ValuesIn(suites),
                         [](const testing::TestParamInfo<shape_suite>& info) {
                             return std::string(info.param.name);
                         });

std::string span_text(const kestrel::match_result& m, std::size_t group) {
    std::string out = std::to_string(m.slot(2 * group));
    (out += ',') += std::to_string(m.slot(2 * group + 1));
    return out;
}

// A few answers worked out by hand, so that a fault shared by a shape and the Pike VM cannot
// hide behind their agreement.  "start,end" of the match and of group 1, "-" for no match.
TEST(ShapeAnswers, HandWorkedCases) {
    struct row {
        const char* pattern;
        const char* subject;
        std::uint32_t pos;
        const char* expected;
    } rows[] = {
        // A final "\n" stays outside a run that does not hold it, and the run must reach it.
        {"([ab]+)$", "ab\n", 0, "0,2 0,2"},
        {"([ab]+)$", "ab\na", 0, "-"},
        {"([ab]+)\\Z", "ab\n", 0, "-"},
        {"[ab\\n]+$", "ab\n", 0, "0,3"},
        // \b after a run: é is a word character in Unicode mode, not in ASCII mode.
        {"\\b[ab]+\\b", "abé", 0, "-"},
        {"(?a)\\b[ab]+\\b", "abé", 0, "0,2"},
        {"\\b[ab]+\\b", "é ab", 3, "3,5"},
        {"\\b[ab]+\\b", "éab", 2, "-"},
        // Minimum counted in characters; a stray lead byte ends the run.
        {"[aé]{3,}", "aé\xc3" "a", 0, "-"},
        {"[aé]{3,}", "aéa\xc3", 0, "0,4"},
        // \A rows fail at once away from the start.
        {"\\A[ab]+", "aab", 1, "-"},
        // The possessive run's group holds its last element.
        {"(a)++", "aaab", 0, "0,3 2,3"},
        {"(\\w)++", "aé", 0, "0,3 1,3"},
        {"(a)*+b", "b", 0, "0,1 -1,-1"},
        {"[ab]++b", "abb", 0, "-"},  // no giving back
        // Straight lines: the first branch that matches, not the longest.
        {"a|ab|b", "ab", 0, "0,1"},
        // Run then lookahead: the longest end first, never empty.
        {"[ab]+(?=b)", "abab", 0, "0,3"},
        {"[ab]+(?=a|bb)", "abbab", 0, "0,3"},
        {"[ab]+(?=b)", "b", 0, "-"},
        {"é+(?=é)", "ééé", 0, "0,4"},
    };
    for (const row& r : rows) {
        const regex re(r.pattern);
        const std::string s = r.subject;
        const auto m = re.match(r.pos, bytes(s), static_cast<std::uint32_t>(s.size()));
        std::string got = "-";
        if (m.matched) {
            got = span_text(m, 0);
            if (m.slots.size() > 2) (got += ' ') += span_text(m, 1);
        }
        EXPECT_EQ(got, r.expected) << r.pattern << " at " << r.pos << " of " << printable(s);
    }
}

// The chain must actually hand recognised patterns to their shape: a shape does no Pike VM or
// backtracker work, which the step counter would show.
TEST(ShapeChain, RecognisedPatternsSkipThePikeVm) {
    const std::string subject = "abc ab\n";
    for (const char* pattern : {"[ab]+", "é+", "[ab]*+", "abc", "a[b]c", ".+", "ab|cd", "[ab]+(?=c)"}) {
        const regex re(pattern);
        std::uint64_t steps = 1;
        re.match_with(matcher_choice::automatic, 0, bytes(subject),
                      static_cast<std::uint32_t>(subject.size()), nullptr, &steps);
        EXPECT_EQ(steps, 0u) << pattern;
    }
    const regex general("[ab]+c?");
    std::uint64_t steps = 0;
    general.match_with(matcher_choice::automatic, 0, bytes(subject),
                       static_cast<std::uint32_t>(subject.size()), nullptr, &steps);
    EXPECT_GT(steps, 0u);
}

// ---- runs long enough to reach the excluded-byte search -------------------------------------

// Programs whose class leaves out 1 or 2 bytes, which no pattern produces (classes of text
// patterns stop at 127).  The possessive run behind a literal "x" is recognised by the
// analysis as it stands.  A bare class run and a run before a lookahead over such a class may
// begin inside a character, so the analysis drops their facts; they are set here as its
// recognisers record them, because the matchers must still be exact for them.
kestrel::byte_set all_but(std::initializer_list<std::uint8_t> excluded) {
    kestrel::byte_set s;
    s.set_range(0, 255);
    for (std::uint8_t b : excluded) s.reset(b);
    return s;
}

void note_excluded(kestrel::program& prog) {
    prog.facts.excluded_byte_count = 0;
    for (unsigned b = 0; b < 256; ++b)
        if (!prog.byte_sets[0].test(static_cast<std::uint8_t>(b)))
            prog.facts.excluded_bytes[prog.facts.excluded_byte_count++] = static_cast<std::uint8_t>(b);
}

kestrel::program possessive_after_x(const kestrel::byte_set& set) {
    using kestrel::opcode;
    kestrel::program prog;
    prog.byte_sets.push_back(set);
    prog.instructions = {{opcode::save, 0, 0, 0, 0},
                         {opcode::byte, 'x', 0, 0, 0},
                         {opcode::possessive_set, 0, 0, -1, 4},
                         {opcode::jump, 0, 0, 2, 0},
                         {opcode::save, 0, 1, 0, 0},
                         {opcode::match, 0, 0, 0, 0}};
    kestrel::analyse(prog);
    return prog;
}

kestrel::program class_run(const kestrel::byte_set& set, std::int32_t min) {
    using kestrel::opcode;
    kestrel::program prog;
    prog.byte_sets.push_back(set);
    prog.instructions.push_back({opcode::save, 0, 0, 0, 0});
    for (std::int32_t k = 0; k < min; ++k) prog.instructions.push_back({opcode::byte_set, 0, 0, 0, 0});
    const auto last = static_cast<std::int32_t>(prog.instructions.size()) - 1;
    prog.instructions.push_back({opcode::split, 0, 0, last, last + 2});
    prog.instructions.push_back({opcode::save, 0, 1, 0, 0});
    prog.instructions.push_back({opcode::match, 0, 0, 0, 0});
    kestrel::analyse(prog);
    prog.facts.byte_class_run.class_index = 0;
    prog.facts.byte_class_run.min = min;
    note_excluded(prog);
    return prog;
}

// save 0, byte_set, split back, lookahead (?=y), jump, body: byte 'y', match, save 1, match.
kestrel::program run_before_y(const kestrel::byte_set& set) {
    using kestrel::opcode;
    kestrel::program prog;
    prog.byte_sets.push_back(set);
    prog.lookarounds.push_back({5, 2, 1, false, false, 0});
    prog.instructions = {{opcode::save, 0, 0, 0, 0},  {opcode::byte_set, 0, 0, 0, 0},
                         {opcode::split, 0, 0, 1, 3}, {opcode::lookaround, 0, 0, 0, 0},
                         {opcode::jump, 0, 0, 7, 0},  {opcode::byte, 'y', 0, 0, 0},
                         {opcode::match, 0, 0, 0, 0}, {opcode::save, 0, 1, 0, 0},
                         {opcode::match, 0, 0, 0, 0}};
    kestrel::analyse(prog);
    prog.facts.run_then_lookahead.lookaround = 0;
    prog.facts.run_then_lookahead.class_index = 0;
    note_excluded(prog);
    return prog;
}

TEST(ShapeExcludedBytes, LongRunsAgreeWithThePikeVm) {
    struct row {
        const char* name;
        kestrel::program prog;
        shape_row shape;
        const char* lead;  // what every subject starts with
    };
    std::vector<row> rows;
    rows.push_back({"possessive, one excluded", possessive_after_x(all_but({'"'})),
                    shape_row::possessive_run, "x"});
    rows.push_back({"possessive, two excluded", possessive_after_x(all_but({'"', '\\'})),
                    shape_row::possessive_run, "x"});
    rows.push_back({"class run, min 40", class_run(all_but({'"', '\\'}), 40),
                    shape_row::byte_class_run, ""});
    rows.push_back({"class run, six excluded", class_run(all_but({'"', '\\', 1, 2, 3, 0xFF}), 1),
                    shape_row::byte_class_run, ""});
    rows.push_back({"run before a lookahead", run_before_y(all_but({'"'})),
                    shape_row::run_then_lookahead, ""});
    ASSERT_EQ(rows[0].prog.facts.possessive_run.kind, kestrel::run_kind::byte_set);
    ASSERT_EQ(rows[0].prog.facts.excluded_byte_count, 1);
    ASSERT_EQ(rows[1].prog.facts.excluded_byte_count, 2);
    ASSERT_EQ(rows[3].prog.facts.excluded_byte_count, 6);

    // Filler of mixed bytes (none excluded anywhere above), then at most one stop byte.
    const std::string filler = "ab\xc3\xa9y \x80\xfe" "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!";
    const std::vector<std::string> stops = {"", "\"", "\\", "\"\"", "\\\"", "\x01", "\xff"};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const kestrel::program_view view = kestrel::make_view(r.prog);
        ASSERT_TRUE(kestrel::shape_applies(view, r.shape));
        kestrel::lazy_engine_slot slot;
        int matches = 0;
        int disagreements = 0;
        for (std::size_t run = 0; run <= filler.size(); ++run) {
            for (const std::string& stop : stops) {
                const std::string s = r.lead + filler.substr(0, run) + stop + "y";
                const auto len = static_cast<std::uint32_t>(s.size());
                for (std::uint32_t pos : {0u, 1u, 2u}) {
                    if (pos > len) continue;
                    kestrel::match_context vm_ctx(view, nullptr, bytes(s), len);
                    kestrel::slot_vector want;
                    const bool want_matched = kestrel::pike_vm_match_threads(vm_ctx, pos, want);
                    matches += want_matched;
                    // Once with the regex's cached tables, once with tables made for the call.
                    for (kestrel::lazy_engine_slot* lazy : {&slot, static_cast<kestrel::lazy_engine_slot*>(nullptr)}) {
                        kestrel::match_context ctx(view, lazy, bytes(s), len);
                        kestrel::slot_vector got;
                        const bool got_matched = kestrel::run_shape(r.shape, ctx, pos, got);
                        const bool agree = got_matched == want_matched && got.size() == want.size() &&
                                           std::equal(got.begin(), got.end(), want.begin());
                        if (!agree && ++disagreements <= 5) {
                            ADD_FAILURE() << "at " << pos << " of " << printable(s) << ": shape "
                                          << got_matched << " " << (got.size() > 1 ? got[1] : -2)
                                          << ", Pike VM " << want_matched << " "
                                          << (want.size() > 1 ? want[1] : -2);
                        }
                    }
                }
            }
        }
        EXPECT_EQ(disagreements, 0);
        EXPECT_GT(matches, 0);
    }
}

}  // namespace
