// Compiler tests: every compiler message, golden listings of the programs whose layout the
// matchers and the analysis depend on, the class compilation rules (folding, the three byte
// spellings, klass_cp in loops, alternation merging), lookaround bounds, the size limits at
// their boundaries, and the range-to-UTF-8 splitting checked against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "kestrel/compiler.h"
#include "kestrel/flags.h"
#include "kestrel/program_dump.h"
#include "kestrel/regex_error.h"
#include "kestrel/utf8_ranges.h"

namespace {

using namespace kestrel;

std::string repeat_text(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

program compile(const std::string& pattern) { return compile_pattern(pattern).prog; }

std::string listing(const std::string& pattern) { return dump_instructions(compile(pattern)); }

std::string compile_error(const std::string& pattern) {
    try {
        compile_pattern(pattern);
    } catch (const regex_error& e) {
        EXPECT_EQ(e.position(), 0) << pattern;
        return e.message();
    }
    return "(compiled)";
}

std::vector<opcode> ops(const program& p) {
    std::vector<opcode> out;
    for (const instruction& in : p.instructions) out.push_back(in.op);
    return out;
}

std::size_t count_op(const program& p, opcode op) {
    std::size_t n = 0;
    for (const instruction& in : p.instructions) n += in.op == op;
    return n;
}

// The first instruction with this opcode.
const instruction& first(const program& p, opcode op) {
    for (const instruction& in : p.instructions)
        if (in.op == op) return in;
    ADD_FAILURE() << "no such instruction";
    return p.instructions.front();
}

std::string class_text(const program& p, std::size_t c) {
    std::string text = format_byte_set(p.classes[c].ascii);
    for (std::uint32_t r = 0; r < p.classes[c].range_count; ++r) {
        const auto& rg = p.range_pool[p.classes[c].first_range + r];
        text += " " + std::to_string(rg.first) + "-" + std::to_string(rg.last);
    }
    return text;
}

const std::string possessive_compound =
    "possessive/atomic over a compound body is not supported yet";
const std::string possessive_lookaround =
    "possessive/atomic quantifiers inside a lookaround are not supported yet";
const std::string unbounded_lookbehind =
    "unbounded lookbehind is not supported (bound the repetition, e.g. .* -> .{0,32}; the "
    "sub-pattern must match at most 255 bytes)";
const std::string too_long =
    "lookaround sub-pattern too long (it may match at most 255 bytes; a non-ASCII character "
    "takes up to 4)";

TEST(CompilerErrors, EveryMessageFromPatterns) {
    struct row {
        std::string pattern;
        std::string message;
    } rows[] = {
        {"(?<=a+)", unbounded_lookbehind},
        {"(?<!x|a*)", unbounded_lookbehind},
        {"(?<=a{256})", too_long},
        {"(?=a{256})", too_long},
        {"(?<=.{64})", too_long},
        {"(?=(?:ab){128})", too_long},
        {"(?=" + repeat_text("x", 300) + ")", too_long},
        {"(?=a++)", possessive_lookaround},
        {"(?!(?>a+))", possessive_lookaround},
        {"(?=(?:a)++)", possessive_lookaround},  // the lookaround check comes first
        {"(?:a)++", possessive_compound},
        {"(?:ab)*+", possessive_compound},
        {"(?>ab*)", possessive_compound},
        {"(?>a|b)", possessive_compound},
        {"(?>(?:ab)+)", possessive_compound},
        {"(?>(a|b))", possessive_compound},
        {"(?>a(?>b|c)d)", possessive_compound},  // the inner group is judged on its own
        {"(?:" + repeat_text("a", 300) + "){1000}", "program too large"},
        {"(?:(?=){1000}){66}", "too many lookarounds"},
    };
    for (const row& r : rows)
        EXPECT_EQ(compile_error(r.pattern), r.message) << r.pattern.substr(0, 40);
}

TEST(CompilerErrors, TooManyByteSets) {
    // 65,537 different four-letter classes: one byte set each.
    const std::string pool = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string pattern;
    std::size_t made = 0;
    for (std::size_t a = 0; a < pool.size() && made < max_byte_sets + 1; ++a)
        for (std::size_t b = a + 1; b < pool.size() && made < max_byte_sets + 1; ++b)
            for (std::size_t c = b + 1; c < pool.size() && made < max_byte_sets + 1; ++c)
                for (std::size_t d = c + 1; d < pool.size() && made < max_byte_sets + 1;
                     ++d, ++made)
                    pattern += std::string("[") + pool[a] + pool[b] + pool[c] + pool[d] + "]";
    EXPECT_EQ(compile_error(pattern), "too many character classes");
    // One class fewer fits exactly.
    EXPECT_EQ(compile(pattern.substr(0, pattern.size() - 6)).byte_sets.size(), max_byte_sets);
}

TEST(CompilerErrors, UnreachableFromTheParser) {
    // Hand-built trees: the parser refuses nested lookarounds and normalises class ranges,
    // so these messages guard compile_program's own contract.
    parsed_pattern nested;
    nested.nodes.resize(3);
    nested.nodes[0].kind = node_kind::lookaround;
    nested.nodes[0].first_child = 1;
    nested.nodes[1].kind = node_kind::lookaround;
    nested.nodes[1].first_child = 2;
    nested.root = 0;
    try {
        compile_program(nested, 0);
        ADD_FAILURE() << "nested lookaround compiled";
    } catch (const regex_error& e) {
        EXPECT_EQ(e.message(), "nested lookaround is not supported");
        EXPECT_STREQ(e.what(), "regex_error at 0: nested lookaround is not supported");
    }

    parsed_pattern bad_class;
    bad_class.nodes.resize(1);
    bad_class.nodes[0].kind = node_kind::klass;
    bad_class.nodes[0].class_index = 0;
    bad_class.classes.resize(1);
    bad_class.classes[0].wide = true;
    bad_class.classes[0].ranges = {{0x300, 0x310}, {0x200, 0x210}};
    bad_class.root = 0;
    try {
        compile_program(bad_class, 0);
        ADD_FAILURE() << "unsorted class compiled";
    } catch (const regex_error& e) {
        EXPECT_EQ(e.message(), "code-point class ranges are not normalised");
    }

    // Each code-point class costs four instructions, so the instruction limit comes first in
    // any pattern; the table's own limit is checked on the table.
    program prog;
    program_tables tables(prog);
    for (std::uint32_t i = 0; i < max_code_point_classes; ++i) {
        const code_point_range r{0x100 + i, 0x100 + i};
        tables.code_point_class_index(byte_set{}, range_view(&r, 1));
    }
    const code_point_range again{0x100, 0x100};
    EXPECT_EQ(tables.code_point_class_index(byte_set{}, range_view(&again, 1)), 0);
    const code_point_range one_more{0x100000, 0x100000};
    try {
        tables.code_point_class_index(byte_set{}, range_view(&one_more, 1));
        ADD_FAILURE() << "65,537th class added";
    } catch (const regex_error& e) {
        EXPECT_EQ(e.message(), "too many code-point classes");
    }
}

TEST(CompilerLimits, InstructionCountBoundary) {
    // save 0, n bytes, save 1, match: n = 262,141 is exactly the limit.
    const std::string fits = "(?:a{1000}){262}a{141}";
    EXPECT_EQ(compile(fits).instructions.size(), max_program_instructions);
    EXPECT_EQ(compile_error(fits + "a"), "program too large");
}

TEST(CompilerLimits, LookaroundBounds) {
    struct row {
        const char* pattern;
        std::int32_t max_length;  // the entry's bound
    } rows[] = {
        {"(?<=a{0,255})", 255},    {"(?<=é{64})", 128}, {"(?<=.{63})", 252}, {"(?=a*)", -1},
        {"(?<=(?:ab|c){3})", 6},   {"(?<=[a-zé])", 2},  {"(?i)(?<=k)", 3},   {"(?<=\\b)", 0},
        {"(?<=(?:a{2}){0,2})", 4}, {"(?<=x{0})", 0},    {"(?<=[^a])", 4},
    };
    for (const row& r : rows) {
        const program p = compile(r.pattern);
        ASSERT_EQ(p.lookarounds.size(), 1u) << r.pattern;
        EXPECT_EQ(p.lookarounds[0].max_length, r.max_length) << r.pattern;
    }
}

TEST(CompilerGolden, EmptyPattern) {
    const program p = compile("");
    EXPECT_EQ(dump_instructions(p),
              "     0  save 0\n"
              "     1  save 1\n"
              "     2  match\n");
    EXPECT_EQ(p.slot_count, 2);
}

TEST(CompilerGolden, CapturedAlternative) {
    const program p = compile("(a)|b");
    EXPECT_EQ(dump_instructions(p),
              "     0  save 0\n"
              "     1  split 2, 6\n"
              "     2  save 2\n"
              "     3  byte 'a'\n"
              "     4  save 3\n"
              "     5  jump 7\n"
              "     6  byte 'b'\n"
              "     7  save 1\n"
              "     8  match\n");
    EXPECT_EQ(p.slot_count, 4);
}

TEST(CompilerGolden, FullDumpWithTablesAndFacts) {
    EXPECT_EQ(dump_program(compile("(?i)k(?=[0-9])")),
              "slots 2 unicode\n"
              "     0  save 0\n"
              "     1  klass_cp 0\n"
              "     2  byte_set 0 [\\x80-\\xbf]\n"
              "     3  byte_set 0 [\\x80-\\xbf]\n"
              "     4  byte_set 0 [\\x80-\\xbf]\n"
              "     5  lookaround 0\n"
              "     6  jump 9\n"
              "     7  byte_set 1 [0-9]\n"
              "     8  match\n"
              "     9  save 1\n"
              "    10  match\n"
              "byte sets:\n"
              "     0  [\\x80-\\xbf]\n"
              "     1  [0-9]\n"
              "code-point classes:\n"
              "     0  [Kk] U+212A\n"
              "lookarounds:\n"
              "     0  ahead positive start 7 length 2 max 1\n"
              "facts:\n"
              "no_captures\n"
              "first_bytes [Kk\\xe0-\\xef]\n"  // U+212A: any three-byte lead
              "first_bytes_known\n");
    EXPECT_EQ(format_byte_set(compile("[\\]\\\\^-]").byte_sets[0]),
              "[\\-\\\\-\\^]");  // - then the run \ ] ^
}

TEST(CompilerGolden, Repetitions) {
    struct row {
        const char* pattern;
        const char* listing;
    } rows[] = {
        {"x{0}", "     0  save 0\n     1  save 1\n     2  match\n"},
        {"x?",
         "     0  save 0\n     1  split 2, 3\n     2  byte 'x'\n     3  save 1\n     4  match\n"},
        {"x??",
         "     0  save 0\n     1  split 3, 2\n     2  byte 'x'\n     3  save 1\n     4  match\n"},
        {"x{2,4}",
         "     0  save 0\n     1  byte 'x'\n     2  byte 'x'\n     3  split 4, 7\n"
         "     4  byte 'x'\n     5  split 6, 7\n     6  byte 'x'\n     7  save 1\n     8  match\n"},
        {"x*",
         "     0  save 0\n     1  split 2, 4\n     2  byte_set 0 [x]\n     3  jump 1\n"
         "     4  save 1\n     5  match\n"},
        {"x+?",
         "     0  save 0\n     1  byte_set 0 [x]\n     2  split 3, 1\n     3  save 1\n     4  "
         "match\n"},
        {"a++",
         "     0  save 0\n     1  byte 'a'\n     2  possessive_byte 'a', slot -1, exit 4\n"
         "     3  jump 2\n     4  save 1\n     5  match\n"},
        {"(a)++",
         "     0  save 0\n     1  save 2\n     2  byte 'a'\n     3  save 3\n"
         "     4  possessive_byte 'a', slot 2, exit 6\n     5  jump 4\n     6  save 1\n     7  "
         "match\n"},
        {"[ab]{1,3}+",
         "     0  save 0\n     1  byte_set 0 [ab]\n     2  possessive_set 0 [ab], slot -1, exit 4\n"
         "     3  possessive_set 0 [ab], slot -1, exit 4\n     4  save 1\n     5  match\n"},
        // Atomic around a lazy repeat commits to the lazy choice: the minimum count.
        {"(?>a+?)", "     0  save 0\n     1  byte 'a'\n     2  save 1\n     3  match\n"},
        {"(?>a*?)", "     0  save 0\n     1  save 1\n     2  match\n"},
        {"(?>(a){2,5}?)",
         "     0  save 0\n     1  save 2\n     2  byte 'a'\n     3  save 3\n     4  save 2\n"
         "     5  byte 'a'\n     6  save 3\n     7  save 1\n     8  match\n"},
    };
    for (const row& r : rows) EXPECT_EQ(listing(r.pattern), r.listing) << r.pattern;
}

TEST(CompilerGolden, AtomicFormsAndTheirEquivalents) {
    struct row {
        const char* atomic;
        const char* plain;
    } rows[] = {
        {"(?>ab)", "ab"},
        {"(?>a+)", "a++"},
        {"(?>(a)*)", "(a)*+"},
        {"(?>a{3})", "aaa"},
        {"(?>a(?>b+)d)", "a(?>b+)d"},  // a nested atomic group counts as safe
        {"(?>\\b.(?=x))", "\\b.(?=x)"},
    };
    for (const row& r : rows) EXPECT_EQ(listing(r.atomic), listing(r.plain)) << r.atomic;
}

TEST(CompilerAssertions, KindsAndFlip) {
    struct row {
        const char* pattern;
        assert_kind kind;
        std::uint16_t flip;
    } rows[] = {
        {"^", assert_kind::text_start, 0},
        {"$", assert_kind::text_end_or_final_newline, 0},
        {"(?m)^", assert_kind::line_start, 0},
        {"(?m)$", assert_kind::line_end, 0},
        {"(?m:\\A)", assert_kind::text_start, 0},
        {"\\Z", assert_kind::text_end, 0},
        {"\\z", assert_kind::text_end, 0},
        {"\\b", assert_kind::word_boundary, 0},
        {"\\B", assert_kind::not_word_boundary, 0},
        {"\\<", assert_kind::word_start, 0},
        {"\\>", assert_kind::word_end, 0},
        {"(?a:\\b)", assert_kind::word_boundary, 1},
        {"(?a)\\b", assert_kind::word_boundary, 0},
        {"(?a)(?-a:\\>)", assert_kind::word_end, 1},
        {"(?a:$)", assert_kind::text_end_or_final_newline, 0},
    };
    for (const row& r : rows) {
        const program p = compile(r.pattern);
        const instruction& in = first(p, opcode::assert);
        EXPECT_EQ(in.arg, static_cast<std::uint8_t>(r.kind)) << r.pattern;
        EXPECT_EQ(in.index, r.flip) << r.pattern;
    }
    EXPECT_FALSE(compile("(?a)x").unicode);
    EXPECT_TRUE(compile("(?a:x)").unicode);
}

TEST(CompilerClasses, CaseFolding) {
    struct row {
        const char* pattern;
        const char* klass;  // the one code-point class, or the one byte set as [..]
    } rows[] = {
        {"(?i)k", "[Kk] 8490-8490"},
        {"(?ia)k", "[Kk]"},
        {"(?i)s", "[Ss] 383-383"},
        {"(?i)\\x{212a}", "[Kk] 8490-8490"},
        {"(?i)[^k]", "[\\x00-JL-jl-\\x7f] 128-8489 8491-1114111"},
        {"(?ia)[^k]", "[\\x00-JL-jl-\\x7f]"},  // then every non-ASCII character as bytes
        {"(?i)[a-c]", "[A-Ca-c]"},
        {"(?i:k)(?ia:k)", "[Kk] 8490-8490"},
    };
    for (const row& r : rows) {
        const program p = compile(r.pattern);
        if (!p.classes.empty()) {
            EXPECT_EQ(class_text(p, 0), r.klass) << r.pattern;
        } else {
            EXPECT_EQ(format_byte_set(p.byte_sets[first(p, opcode::byte_set).index]), r.klass)
                << r.pattern;
        }
    }
    // (?ia:k) next to (?i:k): the ASCII one folds to a plain byte set.
    const program mixed = compile("(?i:k)(?ia:k)");
    EXPECT_EQ(format_byte_set(mixed.byte_sets[mixed.instructions[5].index]), "[Kk]");
}

TEST(CompilerClasses, FoldCacheKeepsCopiesApart) {
    // Six folded classes compiled three times over by a counted repeat: more than the cache
    // holds, with negated and plain forms of the same letter side by side.  Every copy must
    // come out as the same six classes in the same order.
    const program p = compile("(?i)(?:k[^k]s[^s]\\w\\W){3}");
    std::vector<std::uint16_t> used;
    for (const instruction& in : p.instructions)
        if (in.op == opcode::klass_cp) used.push_back(in.index);
    EXPECT_EQ(used,
              (std::vector<std::uint16_t>{0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5}));
    ASSERT_EQ(p.classes.size(), 6u);
    EXPECT_EQ(class_text(p, 0), "[Kk] 8490-8490");
    EXPECT_EQ(class_text(p, 1), "[\\x00-JL-jl-\\x7f] 128-8489 8491-1114111");
    EXPECT_EQ(class_text(p, 2), "[Ss] 383-383");
    EXPECT_EQ(class_text(p, 3), "[\\x00-RT-rt-\\x7f] 128-382 384-1114111");
}

TEST(CompilerClasses, SpellingRules) {
    struct row {
        const char* pattern;
        std::vector<opcode> body;  // the instructions between save 0 and save 1
    } rows[] = {
        {"[a-z]", {opcode::byte_set}},
        {"a|b", {opcode::byte_set}},
        {"a|b|é", {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set}},
        {"\\p{Greek}", {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set}},
        {"[é-ê]", {opcode::byte, opcode::byte_set}},  // C3 [A9-AA]
        {"é|è", {opcode::byte, opcode::byte_set}},
        {"[éā]", {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set}},
        {"[\\x{10000}\\x{10001}]", {opcode::byte, opcode::byte, opcode::byte, opcode::byte_set}},
        {"[é]", {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set}},
        {"a|bc", {opcode::split, opcode::byte, opcode::jump, opcode::byte, opcode::byte}},
        {"\\xe9|a", {opcode::split, opcode::byte, opcode::jump, opcode::byte}},
        // Bodies of loops without an upper bound.
        {"a*", {opcode::split, opcode::byte_set, opcode::jump}},
        {"\\xe9+", {opcode::byte_set, opcode::split}},
        {"é+",
         {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set, opcode::split}},
        {"[é-ê]+",
         {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set, opcode::split}},
        {"(?:(?:a|é))+",
         {opcode::klass_cp, opcode::byte_set, opcode::byte_set, opcode::byte_set, opcode::split}},
        {"(a)+", {opcode::save, opcode::byte, opcode::save, opcode::split}},
        {"é{2}", {opcode::byte, opcode::byte, opcode::byte, opcode::byte}},
    };
    for (const row& r : rows) {
        std::vector<opcode> got = ops(compile(r.pattern));
        ASSERT_GE(got.size(), 3u);
        got.erase(got.begin());
        got.erase(got.end() - 2, got.end());
        EXPECT_EQ(got, r.body) << r.pattern;
    }
}

TEST(CompilerClasses, EveryNonAsciiCharacterAsByteRanges) {
    // . is a split chain over nine alternatives: the ASCII set without "\n", then the eight
    // well-formed UTF-8 shapes (their byte ranges are pinned by Utf8Ranges below), each a
    // chain of byte sets; every alternative but the last ends in a jump to the common end.
    const program p = compile(".");
    std::vector<std::string> alternatives(1);
    std::int32_t end = -1;
    for (std::size_t i = 1; i + 2 < p.instructions.size(); ++i) {
        const instruction& in = p.instructions[i];
        if (in.op == opcode::split) {
            EXPECT_EQ(in.x, static_cast<std::int32_t>(i) + 1);
            EXPECT_EQ(p.instructions[static_cast<std::size_t>(in.y) - 1].op, opcode::jump);
        } else if (in.op == opcode::jump) {
            EXPECT_TRUE(end < 0 || in.x == end);
            end = in.x;
            alternatives.emplace_back();
        } else {
            ASSERT_EQ(in.op, opcode::byte_set);
            alternatives.back() += format_byte_set(p.byte_sets[in.index]);
        }
    }
    EXPECT_EQ(end, static_cast<std::int32_t>(p.instructions.size()) - 2);
    EXPECT_EQ(alternatives,
              (std::vector<std::string>{
                  "[\\x00-\\x09\\x0b-\\x7f]", "[\\xc2-\\xdf][\\x80-\\xbf]",
                  "[\\xe0][\\xa0-\\xbf][\\x80-\\xbf]", "[\\xe1-\\xec][\\x80-\\xbf][\\x80-\\xbf]",
                  "[\\xed][\\x80-\\x9f][\\x80-\\xbf]", "[\\xee\\xef][\\x80-\\xbf][\\x80-\\xbf]",
                  "[\\xf0][\\x90-\\xbf][\\x80-\\xbf][\\x80-\\xbf]",
                  "[\\xf1-\\xf3][\\x80-\\xbf][\\x80-\\xbf][\\x80-\\xbf]",
                  "[\\xf4][\\x80-\\x8f][\\x80-\\xbf][\\x80-\\xbf]"}));
    // Under dotall the ASCII alternative takes "\n" too; with no ASCII member it is left out.
    EXPECT_EQ(format_byte_set(compile("(?s).").byte_sets[0]), "[\\x00-\\x7f]");
    EXPECT_EQ(compile("[^\\x00-\\x7f]").instructions[1], (instruction{opcode::split, 0, 0, 2, 5}));
}

TEST(CompilerClasses, AlternationMergesIntoOneClassTest) {
    const program p = compile("a|b|é");
    EXPECT_EQ(count_op(p, opcode::split), 0u);
    ASSERT_EQ(p.classes.size(), 1u);
    EXPECT_EQ(class_text(p, 0), "[ab] 233-233");
}

TEST(CompilerTables, DeduplicatedByContent) {
    const program p = compile("\\w\\w[ab][ba](?:\\w)+[^\\W]");
    EXPECT_EQ(p.classes.size(), 1u);  // \w, and [^\W] is the same set
    EXPECT_EQ(count_op(p, opcode::klass_cp), 4u);
    // [ab] twice, and the continuation set of the klass_cp slots.
    EXPECT_EQ(p.byte_sets.size(), 2u);
}

TEST(CompilerTables, Fingerprint) {
    // Values worked out independently from the definition (word-wise 64-bit FNV-1a).
    EXPECT_EQ(class_fingerprint(byte_set{}, {}), 0xe4bc4fd9252be94full);
    byte_set kk;
    kk.set('K');
    kk.set('k');
    const code_point_range kelvin{0x212A, 0x212A};
    EXPECT_EQ(class_fingerprint(kk, range_view(&kelvin, 1)), 0x23e2f083e09c2ab8ull);
    const program p = compile("(?i)k");
    EXPECT_EQ(p.classes[0].fingerprint, 0x23e2f083e09c2ab8ull);
    const code_point_range all{0x80, 0x10FFFF};
    EXPECT_EQ(class_fingerprint(byte_set{}, range_view(&all, 1)), 0x5cc57614944b26d1ull);
}

TEST(CompilerLookaround, EntriesAndSubPrograms) {
    const program p = compile("(?!ab)(?<=(c))x");
    ASSERT_EQ(p.lookarounds.size(), 2u);
    EXPECT_EQ(dump_instructions(p),
              "     0  save 0\n"
              "     1  lookaround 0\n"
              "     2  jump 6\n"
              "     3  byte 'a'\n"
              "     4  byte 'b'\n"
              "     5  match\n"
              "     6  lookaround 1\n"
              "     7  jump 10\n"
              "     8  byte 'c'\n"  // no saves for the group inside the lookbehind
              "     9  match\n"
              "    10  byte 'x'\n"
              "    11  save 1\n"
              "    12  match\n");
    const lookaround_entry& ahead = p.lookarounds[0];
    EXPECT_EQ(ahead.start, 3);
    EXPECT_EQ(ahead.length, 3);
    EXPECT_EQ(ahead.max_length, 2);
    EXPECT_TRUE(ahead.negated);
    EXPECT_FALSE(ahead.behind);
    const lookaround_entry& behind = p.lookarounds[1];
    EXPECT_EQ(behind.start, 8);
    EXPECT_EQ(behind.length, 2);
    EXPECT_TRUE(behind.behind);
    EXPECT_FALSE(behind.negated);
    EXPECT_EQ(behind.reserved, 0);
    EXPECT_EQ(p.slot_count, 4);
    EXPECT_FALSE(p.backtrack_allowed);
}

TEST(CompilerConstruction, FlagsPatternAndView) {
    const compiled_pattern c = compile_pattern("(?im)(?-s)x");
    EXPECT_EQ(c.pattern, "(?im)(?-s)x");
    EXPECT_EQ(c.flags, flags::ignore_case | flags::multiline);
    EXPECT_TRUE(c.prog.unicode);
    EXPECT_EQ(compile_pattern("(?a)").flags, flags::ascii);

    const program p = compile("(?P<n>a)(b)");
    ASSERT_EQ(p.group_names.size(), 1u);
    EXPECT_EQ(p.group_names[0].group, 1);
    EXPECT_EQ(p.slot_count, 6);
    EXPECT_TRUE(p.backtrack_allowed);
    const program_view v = make_view(p);
    EXPECT_EQ(v.instructions.data, p.instructions.data());
    EXPECT_EQ(v.instructions.count, p.instructions.size());
    EXPECT_EQ(v.group_names.count, 1u);
    EXPECT_EQ(v.slot_count, 6);
    EXPECT_TRUE(v.unicode);
    // 17 groups = 36 slots: past the backtracker's limit.
    EXPECT_FALSE(compile(repeat_text("()", 17)).backtrack_allowed);
    EXPECT_TRUE(compile(repeat_text("()", 16)).backtrack_allowed);
}

// ---- behaviour --------------------------------------------------------------------------------

// A plain backtracking reader of programs, independent of the engine's matchers: it explores
// (instruction, offset) pairs depth-first in priority order, failing a pair seen before (the
// classic bounded-backtracking argument keeps the first match the priority match).  Word
// assertions use ASCII word characters only; the subjects below are chosen accordingly.
class reference_runner {
public:
    reference_runner(const program& p, const std::string& s) : p_(p), s_(s) {}

    // Slots of the priority match anchored at pos, or empty for no match.
    std::vector<int> match(int pos) {
        std::vector<int> slots(p_.slot_count, -1);
        seen_.assign((s_.size() + 1) * p_.instructions.size(), false);
        return run(0, pos, slots, -1) ? slots : std::vector<int>{};
    }

private:
    const program& p_;
    const std::string& s_;
    std::vector<bool> seen_;

    int byte_at(int pos) const {
        return pos < static_cast<int>(s_.size()) ? static_cast<std::uint8_t>(s_[pos]) : -1;
    }
    bool word(int pos) const {
        const int b = byte_at(pos);
        return b >= 0 && (std::isalnum(b) || b == '_');
    }
    bool holds(std::uint8_t kind, int pos) const {
        const int n = static_cast<int>(s_.size());
        const bool before = pos > 0 && word(pos - 1);
        const bool after = word(pos);
        switch (static_cast<assert_kind>(kind)) {
            case assert_kind::text_start:
                return pos == 0;
            case assert_kind::text_end:
                return pos == n;
            case assert_kind::text_end_or_final_newline:
                return pos == n || (pos == n - 1 && s_[pos] == '\n');
            case assert_kind::line_start:
                return pos == 0 || s_[pos - 1] == '\n';
            case assert_kind::line_end:
                return pos == n || s_[pos] == '\n';
            case assert_kind::word_boundary:
                return before != after;
            case assert_kind::not_word_boundary:
                return before == after;
            case assert_kind::word_start:
                return !before && after;
            case assert_kind::word_end:
                return before && !after;
            default:
                return false;
        }
    }
    // Length of the character of class c at pos, or 0.
    int class_step(std::uint16_t c, int pos) const {
        const int b = byte_at(pos);
        if (b < 0) return 0;
        if (b < 0x80) return p_.classes[c].ascii.test(static_cast<std::uint8_t>(b)) ? 1 : 0;
        for (int len = 2; len <= 4 && pos + len <= static_cast<int>(s_.size()); ++len) {
            const std::int32_t cp =
                decode_utf8_exact(reinterpret_cast<const std::uint8_t*>(s_.data()) + pos, len);
            if (cp < 0) continue;
            const code_point_class& k = p_.classes[c];
            for (std::uint32_t r = 0; r < k.range_count; ++r) {
                const auto& rg = p_.range_pool[k.first_range + r];
                if (static_cast<std::uint32_t>(cp) >= rg.first &&
                    static_cast<std::uint32_t>(cp) <= rg.last)
                    return len;
            }
            return 0;
        }
        return 0;
    }
    bool step_ok(const instruction& in, int pos, int& len) const {
        const int b = byte_at(pos);
        len = 1;
        switch (in.op) {
            case opcode::possessive_byte:
                return b == in.arg;
            case opcode::possessive_set:
                return b >= 0 && p_.byte_sets[in.index].test(static_cast<std::uint8_t>(b));
            default:
                len = class_step(in.index, pos);
                return len > 0;
        }
    }
    bool lookaround_holds(std::uint16_t number, int pos) {
        const lookaround_entry& e = p_.lookarounds[number];
        bool found = false;
        std::vector<bool> saved = seen_;
        for (int start = e.behind ? std::max(0, pos - e.max_length) : pos; start <= pos && !found;
             ++start) {
            std::vector<int> scratch(p_.slot_count, -1);
            seen_.assign(saved.size(), false);
            found = run(e.start, start, scratch, e.behind ? pos : -1);
        }
        seen_ = std::move(saved);
        return found != e.negated;
    }
    bool run(std::int32_t pc, int pos, std::vector<int>& slots, int must_end) {
        while (true) {
            const std::size_t key = static_cast<std::size_t>(pos) * p_.instructions.size() +
                                    static_cast<std::size_t>(pc);
            if (seen_[key]) return false;
            seen_[key] = true;
            const instruction& in = p_.instructions[static_cast<std::size_t>(pc)];
            switch (in.op) {
                case opcode::byte:
                    if (byte_at(pos) != in.arg) return false;
                    ++pc, ++pos;
                    break;
                case opcode::byte_set:
                    if (byte_at(pos) < 0 ||
                        !p_.byte_sets[in.index].test(static_cast<std::uint8_t>(byte_at(pos))))
                        return false;
                    ++pc, ++pos;
                    break;
                case opcode::klass_cp: {
                    const int len = class_step(in.index, pos);
                    if (len == 0) return false;
                    pc += 4, pos += len;
                    break;
                }
                case opcode::split:
                    if (run(in.x, pos, slots, must_end)) return true;
                    pc = in.y;
                    break;
                case opcode::jump:
                    pc = in.x;
                    break;
                case opcode::save: {
                    const int old = slots[in.index];
                    slots[in.index] = pos;
                    if (run(pc + 1, pos, slots, must_end)) return true;
                    slots[in.index] = old;
                    return false;
                }
                case opcode::assert:
                    if (!holds(in.arg, pos)) return false;
                    ++pc;
                    break;
                case opcode::match:
                    return must_end < 0 || pos == must_end;
                case opcode::lookaround:
                    if (!lookaround_holds(in.index, pos)) return false;
                    ++pc;
                    break;
                default: {  // possessive steps: take the character for good, or leave the loop
                    int len = 0;
                    if (!step_ok(in, pos, len)) {
                        pc = in.y;
                        break;
                    }
                    if (in.x >= 0) slots[in.x] = pos, slots[in.x + 1] = pos + len;
                    pc += in.op == opcode::possessive_cp ? 4 : 1;
                    pos += len;
                    break;
                }
            }
        }
    }
};

TEST(CompilerBehaviour, ProgramsMatchWhatThePatternMeans) {
    struct row {
        const char* pattern;
        std::string subject;
        int pos;
        std::vector<int> slots;  // empty: no match
    } rows[] = {
        {"a|ab", "ab", 0, {0, 1}},
        {"ab|a", "ab", 0, {0, 2}},
        {"a*?", "aaa", 0, {0, 0}},
        {"a+?", "aaa", 0, {0, 1}},
        {"x{2,4}", "xxxxx", 0, {0, 4}},
        {"x{2,4}?", "xxxxx", 0, {0, 2}},
        {"(?>a+?)", "aaa", 0, {0, 1}},  // commits to the lazy repeat's first choice
        {"(?>a+?)b", "aab", 0, {}},
        {"(?>(a)+?)", "aaa", 0, {0, 1, 0, 1}},
        {"(?>a+)", "aaa", 0, {0, 3}},
        {"(?>a+)a", "aaa", 0, {}},
        {"a+a", "aaa", 0, {0, 3}},
        {"a++a", "aaa", 0, {}},
        {"a*+b", "aab", 0, {0, 3}},
        {"(a)++", "aaa", 0, {0, 3, 2, 3}},
        {"(a)*+", "b", 0, {0, 0, -1, -1}},
        {"[ab]{1,2}+b", "ab", 0, {}},  // the step keeps the b it took
        {"[ab]{1,2}b", "ab", 0, {0, 2}},
        {"[ab]{1,2}+b", "abbb", 0, {0, 3}},
        {"é++", "ééx", 0, {0, 4}},
        {"(a)|b", "b", 0, {0, 1, -1, -1}},
        {"[^a]", "\xc3\xa9", 0, {0, 2}},
        {".", "\n", 0, {}},
        {"(?s).", "\n", 0, {0, 1}},
        {".", "\xff", 0, {}},
        {".", "\xed\xa0\x80", 0, {}},  // an encoded surrogate is not a character
        {".", "\xf0\x9f\x98\x80", 0, {0, 4}},
        {"(?i)k", "\xe2\x84\xaa", 0, {0, 3}},
        {"(?ia)k", "\xe2\x84\xaa", 0, {}},
        {"(?i)K", "k", 0, {0, 1}},
        {"(?i)é", "\xc3\x89", 0, {0, 2}},
        {"a|b|é", "\xc3\xa9", 0, {0, 2}},
        {"[é-ê]+", "\xc3\xaa\xc3\xa9\xc3\xab", 0, {0, 4}},
        {"\\xe9+", "\xe9\xe9", 0, {0, 2}},
        {"(?<=a)b", "ab", 1, {1, 2}},
        {"(?<!a)b", "ab", 1, {}},
        {"(?<=ab|c)d", "abd", 2, {2, 3}},
        {"(?=ab)a", "ab", 0, {0, 1}},
        {"(?!ab)a", "ab", 0, {}},
        {"\\bfoo\\b", "foo bar", 0, {0, 3}},
        {"\\bfoo\\b", "food", 0, {}},
        {"(?m)^b", "a\nb", 2, {2, 3}},
        {"^b", "a\nb", 2, {}},
        {"a$", "a\n", 0, {0, 1}},
        {"a\\Z", "a\n", 0, {}},
    };
    for (const row& r : rows) {
        const program p = compile(r.pattern);
        reference_runner runner(p, r.subject);
        EXPECT_EQ(runner.match(r.pos), r.slots) << r.pattern << " on " << r.subject;
    }
}

// ---- UTF-8 range splitting -------------------------------------------------------------------

bool sequence_covers(const utf8_sequence& s, std::uint32_t cp) {
    std::uint8_t enc[4];
    if (encode_utf8(cp, enc) != s.length) return false;
    for (int i = 0; i < s.length; ++i)
        if (enc[i] < s.ranges[i].lo || enc[i] > s.ranges[i].hi) return false;
    return true;
}

TEST(Utf8Ranges, CanonicalSplitOfAllNonAscii) {
    std::vector<utf8_sequence> seqs;
    append_utf8_sequences(0x80, 0x10FFFF, seqs);
    std::string text;
    for (const utf8_sequence& s : seqs) {
        for (int i = 0; i < s.length; ++i) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "[%02X-%02X]", s.ranges[i].lo, s.ranges[i].hi);
            text += buf;
        }
        text += " ";
    }
    EXPECT_EQ(text,
              "[C2-DF][80-BF] [E0-E0][A0-BF][80-BF] [E1-EC][80-BF][80-BF] [ED-ED][80-9F][80-BF] "
              "[EE-EF][80-BF][80-BF] [F0-F0][90-BF][80-BF][80-BF] [F1-F3][80-BF][80-BF][80-BF] "
              "[F4-F4][80-8F][80-BF][80-BF] ");
}

TEST(Utf8Ranges, EveryCodePointCoveredExactlyOnce) {
    struct range {
        std::uint32_t first, last;
    } ranges[] = {{0, 0x7F},          {0x41, 0x5A},         {0x7F, 0x80},      {0x80, 0x800},
                  {0x3FF, 0x1234},    {0xD000, 0xE123},     {0xD800, 0xDFFF},  {0xFFFF, 0x10000},
                  {0x1F600, 0x2A6DF}, {0x10FFF0, 0x10FFFF}, {0x12345, 0x12345}};
    for (const range& r : ranges) {
        std::vector<utf8_sequence> seqs;
        append_utf8_sequences(r.first, r.last, seqs);
        // Look a little outside the range too, so that over-coverage shows.
        const std::uint32_t lo = r.first > 300 ? r.first - 300 : 0;
        const std::uint32_t hi = std::min<std::uint32_t>(r.last + 300, 0x10FFFF);
        for (std::uint32_t cp = lo; cp <= hi; ++cp) {
            int covered = 0;
            for (const utf8_sequence& s : seqs) covered += sequence_covers(s, cp);
            const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
            const int want = (cp >= r.first && cp <= r.last && !surrogate) ? 1 : 0;
            ASSERT_EQ(covered, want)
                << std::hex << "cp " << cp << " in " << r.first << "-" << r.last;
        }
    }
}

TEST(Utf8Ranges, DecodeExact) {
    struct row {
        std::vector<std::uint8_t> bytes;
        std::int32_t cp;
    } rows[] = {
        {{0x41}, 0x41},
        {{0xC3, 0xA9}, 0xE9},
        {{0xC0, 0x81}, -1},              // overlong
        {{0xED, 0xA0, 0x80}, -1},        // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, -1},  // above U+10FFFF
        {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600},
        {{0xE2, 0x82}, -1},        // truncated
        {{0xC3, 0xA9, 0x80}, -1},  // too long for its lead byte
    };
    for (const row& r : rows)
        EXPECT_EQ(decode_utf8_exact(r.bytes.data(), static_cast<int>(r.bytes.size())), r.cp);
}

}  // namespace
