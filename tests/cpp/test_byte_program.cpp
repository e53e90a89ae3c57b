// The byte program: golden dumps of both lowering variants, the rules of the class expansion,
// the literal trie and the byte classes at their edges, and a small byte-program interpreter
// that must agree with the Pike VM on random patterns (which is what shows the lowering keeps
// the language and the priority order).
#include <gtest/gtest.h>

#include "automata_test_support.h"
#include "match_text.h"

#include <algorithm>
#include <string>
#include <vector>

#include "kestrel/assertions.h"
#include "kestrel/byte_program.h"
#include "kestrel/program_dump.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"
#include "kestrel/utf8_ranges.h"

namespace {

using automata_test::bytes;
using kestrel::byte_program;
using kestrel::instruction;
using kestrel::lower_to_bytes;
using kestrel::opcode;
using kestrel::program;
using kestrel::regex;

constexpr std::uint32_t lazy_budget = 20000;
constexpr std::uint32_t dfa_budget = 512;

byte_program lower(const std::string& pattern, bool assertions = false,
                   std::uint32_t budget = lazy_budget) {
    return lower_to_bytes(regex(pattern).prog(), assertions, budget);
}

// Whole-match end of a byte program anchored at start, by thread lists in priority order
// (the first match in priority order wins, lower-priority threads are cut); -1 for none.
std::int64_t run_bytes(const byte_program& bp, const std::string& subject, std::uint32_t start) {
    const std::size_t n = bp.instructions.size();
    const auto len = static_cast<std::uint32_t>(subject.size());
    const std::uint8_t* s = bytes(subject);
    std::vector<std::uint32_t> mark(n, 0);
    std::uint32_t generation = 1;
    std::vector<std::int32_t> current, next, stack;
    auto closure = [&](std::int32_t from, std::uint32_t pos, std::vector<std::int32_t>& list) {
        stack.push_back(from);
        while (!stack.empty()) {
            const std::int32_t i = stack.back();
            stack.pop_back();
            if (mark[static_cast<std::size_t>(i)] == generation) continue;
            mark[static_cast<std::size_t>(i)] = generation;
            const instruction& in = bp.instructions[static_cast<std::size_t>(i)];
            switch (in.op) {
                case opcode::split:
                    stack.push_back(in.y);
                    stack.push_back(in.x);
                    break;
                case opcode::jump:
                    stack.push_back(in.x);
                    break;
                case opcode::save:
                    stack.push_back(i + 1);
                    break;
                case opcode::assert:
                    if (kestrel::assertion_holds(in.arg, pos,
                                                 kestrel::ascii_words_for(bp.unicode, in.index),
                                                 s, len))
                        stack.push_back(i + 1);
                    break;
                default:
                    list.push_back(i);
                    break;
            }
        }
    };
    closure(0, start, current);
    std::int64_t result = -1;
    for (std::uint32_t pos = start; !current.empty(); ++pos) {
        ++generation;
        next.clear();
        for (std::int32_t i : current) {
            const instruction& in = bp.instructions[static_cast<std::size_t>(i)];
            if (in.op == opcode::match) {
                result = pos;
                break;
            }
            if (pos >= len) continue;
            const bool ok = in.op == opcode::byte ? s[pos] == in.arg
                                                  : bp.byte_sets[in.index].test(s[pos]);
            if (ok) closure(i + 1, pos + 1, next);
        }
        current.swap(next);
    }
    return result;
}

std::int64_t pike_end(const program& prog, const std::string& subject, std::uint32_t start) {
    kestrel::slot_vector out;
    return automata_test::pike_match(prog, subject, start, out) ? out[1] : -1;
}

std::size_t count_op(const byte_program& bp, opcode op) {
    return static_cast<std::size_t>(std::count_if(
        bp.instructions.begin(), bp.instructions.end(),
        [op](const instruction& in) { return in.op == op; }));
}

// A program by hand around one code-point class: save 0, klass_cp (with its three
// continuation slots), save 1, match.
program class_program(const kestrel::byte_set& ascii,
                      std::vector<kestrel::code_point_range> ranges) {
    program p;
    kestrel::byte_set continuation;
    continuation.set_range(0x80, 0xBF);
    p.byte_sets = {continuation};
    kestrel::code_point_class k;
    k.ascii = ascii;
    k.first_range = 0;
    k.range_count = static_cast<std::uint32_t>(ranges.size());
    p.classes = {k};
    p.range_pool = std::move(ranges);
    p.instructions = {instruction{opcode::save},     instruction{opcode::klass_cp},
                      instruction{opcode::byte_set}, instruction{opcode::byte_set},
                      instruction{opcode::byte_set}, instruction{opcode::save, 0, 1},
                      instruction{opcode::match}};
    return p;
}

// Alternation of `n` three-letter literal branches led by `lead`, as pattern text.
std::string keywords(const std::string& lead, int n) {
    std::string out = lead;
    for (int i = 0; i < n; ++i) {
        if (!out.empty()) out += "|";
        out += "k" + std::string(1, static_cast<char>('a' + i / 26)) +
               std::string(1, static_cast<char>('a' + i % 26));
    }
    return out;
}

TEST(ByteProgram, GoldenDumps) {
    automata_test::check_golden("byte_program_dumps.txt", [](const automata_test::golden_case& c) {
        const bool assertions = c.tag != "v0";
        const std::uint32_t budget = c.tag == "dfa" ? dfa_budget : lazy_budget;
        return kestrel::dump_byte_program(lower(c.pattern, assertions, budget));
    });
}

TEST(ByteProgram, DeclinesWhatNoByteAutomatonRuns) {
    struct row {
        const char* pattern;
        bool assertions;
        bool ok;
        bool has_assertions;
    } rows[] = {
        {"ab", false, true, false},
        {"(?=a)b", true, false, false},     // lookaround
        {"(?<=a)b", true, false, false},
        {"a++", true, false, false},        // possessive loops
        {"[ab]*+", true, false, false},
        {"\xc3\xa9++", true, false, false},
        {"\\ba", false, false, false},      // asserts only when allowed
        {"\\ba", true, true, true},
        {"^a$", true, true, true},
        {"(?a:\\b)x", true, false, false},  // a word-ness-flipped assert never
        {"(?a)\\bx", true, true, true},     // the whole program in ASCII mode is no flip
    };
    for (const row& r : rows) {
        const byte_program bp = lower(r.pattern, r.assertions);
        EXPECT_EQ(bp.ok, r.ok) << r.pattern;
        EXPECT_EQ(bp.has_assertions, r.has_assertions) << r.pattern;
        if (!bp.ok) {
            EXPECT_TRUE(bp.instructions.empty()) << r.pattern;
        }
    }
    EXPECT_FALSE(lower_to_bytes(program{}, true, lazy_budget).ok);  // empty program
    EXPECT_FALSE(lower("(?a)x").unicode);
    EXPECT_TRUE(lower("x").unicode);
}

TEST(ByteProgram, BudgetIsCheckedAfterEachClassBlock) {
    // Unicode \w in a bracket stays one klass_cp; its block alone is far above the DFA's
    // budget and well inside the lazy one.
    EXPECT_FALSE(lower("[\\w]", true, dfa_budget).ok);
    const byte_program full = lower("[\\w]");
    ASSERT_TRUE(full.ok);
    // save 0, the block, save 1, match: the budget counts up to the end of the block.
    const auto through_block = static_cast<std::uint32_t>(full.instructions.size() - 2);
    EXPECT_TRUE(lower("[\\w]", false, through_block).ok);
    EXPECT_FALSE(lower("[\\w]", false, through_block - 1).ok);
    // A class used twice is expanded once but emitted twice, and its range sets are shared.
    const byte_program twice = lower("[\\w]x[\\w]");
    ASSERT_TRUE(twice.ok);
    EXPECT_EQ(twice.instructions.size(), 2 * (full.instructions.size() - 3) + 4);
    EXPECT_EQ(twice.byte_sets.size(), full.byte_sets.size());
}

TEST(ByteProgram, AsciiClassIsOneNodeWithAnEdgePerRun) {
    kestrel::byte_set ascii;
    ascii.set_range('A', 'Z');
    ascii.set('_');
    ascii.set_range('a', 'z');
    const byte_program bp = lower_to_bytes(class_program(ascii, {}), false, dfa_budget);
    ASSERT_TRUE(bp.ok);
    ASSERT_EQ(bp.instructions.size(), 1u + 8u + 2u);
    const std::string expect =
        "     1  split 2, 4\n     2  byte_set 1 [A-Z]\n     3  jump 9\n"
        "     4  split 5, 7\n     5  byte_set 2 [_]\n     6  jump 9\n"
        "     7  byte_set 3 [a-z]\n     8  jump 9\n     9  save 1\n";
    const std::string dump = kestrel::dump_byte_program(bp);
    EXPECT_NE(dump.find(expect), std::string::npos) << dump;
}

TEST(ByteProgram, SurrogatesAreNeverEncoded) {
    // Only surrogates: no sequence at all, one byte_set over a new empty set.
    const byte_program only =
        lower_to_bytes(class_program({}, {{0xD800, 0xDFFF}}), false, dfa_budget);
    ASSERT_TRUE(only.ok);
    ASSERT_EQ(only.instructions.size(), 4u);
    EXPECT_EQ(only.instructions[1].op, opcode::byte_set);
    ASSERT_EQ(only.instructions[1].index, 1u);
    EXPECT_TRUE(only.byte_sets[1].empty());
    EXPECT_EQ(run_bytes(only, "\xed\xa0\x80", 0), -1);

    // All of U+0080..U+10FFFF: every neighbour of the surrogate block matches, none inside.
    const byte_program all =
        lower_to_bytes(class_program({}, {{0x80, 0x10FFFF}}), false, lazy_budget);
    ASSERT_TRUE(all.ok);
    struct row {
        const char* text;
        std::int64_t end;
    } rows[] = {{"\xed\x9f\xbf", 3},  {"\xee\x80\x80", 3},   {"\xed\xa0\x80", -1},
                {"\xed\xbf\xbf", -1}, {"\xc2\x80", 2},       {"\xc1\xbf", -1},
                {"\xf4\x8f\xbf\xbf", 4}, {"\xf4\x90\x80\x80", -1}, {"\xe0\x9f\xbf", -1},
                {"a", -1}};
    for (const row& r : rows)
        EXPECT_EQ(run_bytes(all, r.text, 0), r.end) << match_text::show(r.text);
    std::vector<kestrel::utf8_sequence> seqs;
    kestrel::append_utf8_sequences(0x80, 0x10FFFF, seqs);
    for (const auto& s : seqs) {
        if (s.length == 3 && s.ranges[0].lo <= 0xED && s.ranges[0].hi >= 0xED) {
            EXPECT_LT(s.ranges[1].hi, 0xA0) << "a sequence reaches into the surrogates";
        }
    }
}

TEST(ByteProgram, TargetAtTheProgramEndMapsToTheByteProgramEnd) {
    kestrel::byte_set ascii;
    ascii.set('q');
    program p = class_program(ascii, {});
    // klass_cp (4 slots), split to the match or past the end of the program, match.
    p.instructions = {instruction{opcode::klass_cp}, instruction{opcode::byte_set},
                      instruction{opcode::byte_set}, instruction{opcode::byte_set},
                      instruction{opcode::split, 0, 0, 5, 6}, instruction{opcode::match}};
    const byte_program bp = lower_to_bytes(p, false, lazy_budget);
    ASSERT_TRUE(bp.ok);
    ASSERT_EQ(bp.instructions.size(), 4u);  // byte_set, jump, split, match
    EXPECT_EQ(bp.instructions[1].x, 2);
    EXPECT_EQ(bp.instructions[2].x, 3);
    EXPECT_EQ(bp.instructions[2].y, 4);
}

TEST(ByteProgram, LiteralTrieFromSixtyFourBranches) {
    const std::string p63 = keywords("", 63);
    const std::string p64 = keywords("", 64);
    const regex r63(p63);
    const byte_program b63 = lower(p63);
    const byte_program b64 = lower(p64);
    ASSERT_TRUE(b63.ok);
    ASSERT_TRUE(b64.ok);
    // 63 branches: copied one by one.
    EXPECT_EQ(b63.instructions, r63.prog().instructions);
    // 64 branches: one split per edge of a node; the shared "k" costs one byte test.
    EXPECT_LT(b64.instructions.size(), regex(p64).prog().instructions.size());
    EXPECT_EQ(count_op(b64, opcode::byte), 1u + 3u + 64u);  // k, a-c, then the last letters
    const regex r64(p64);
    for (const char* s : {"kaa", "kbl", "kcl", "kcm", "kc", "k", "kaab", "kzz"})
        EXPECT_EQ(run_bytes(b64, s, 0), pike_end(r64.prog(), s, 0)) << s;
}

TEST(ByteProgram, LiteralTrieKeepsPriorityOrder) {
    // An earlier branch, then its prefix, then a later extension of the prefix: the prefix
    // must still lose to the earlier branch and beat the later one.
    for (const char* lead : {"ab|a|ac", "ac|a|ab", "a|ab", "ab|a", "abc|ab|abd|a", ""}) {
        const std::string alt = keywords(lead, 64);
        for (const std::string& pattern : {alt, "(?:" + alt + ")c", "(" + alt + ")(?:c|bc)"}) {
            const regex re(pattern);
            const byte_program bp = lower_to_bytes(re.prog(), false, lazy_budget);
            ASSERT_TRUE(bp.ok);
            ASSERT_LT(bp.instructions.size(), re.prog().instructions.size()) << pattern;
            for (const char* s : {"ab", "ac", "abc", "acc", "abd", "a", "abcc", "abdc", "kab"})
                EXPECT_EQ(run_bytes(bp, s, 0), pike_end(re.prog(), s, 0)) << pattern << " on " << s;
        }
    }
}

TEST(ByteProgram, ByteClasses) {
    struct row {
        const char* pattern;
        bool assertions;
        std::string together;  // bytes that must share one class
        std::string apart;     // bytes that must each be in a class of their own
    } rows[] = {
        {"[a-c]x", false, "abc", "x"},
        {"[a-c][b-d]", false, "bc", "ad"},
        {"\\ba", true, "bc", "\n"},
        {"(?m:^)a", true, "bz", "\n"},
    };
    for (const row& r : rows) {
        const auto map = kestrel::compute_byte_classes(lower(r.pattern, r.assertions));
        for (char c : r.together)
            EXPECT_EQ(map.classes[static_cast<std::uint8_t>(c)],
                      map.classes[static_cast<std::uint8_t>(r.together[0])])
                << r.pattern;
        for (char c : r.apart) {
            int members = 0;
            for (unsigned b = 0; b < 256; ++b)
                members += map.classes[b] == map.classes[static_cast<std::uint8_t>(c)];
            EXPECT_EQ(members, 1) << r.pattern << " byte " << int(c);
        }
        EXPECT_EQ(map.classes[0], 0) << r.pattern;
    }
    // Kinds 9 and 10 (no syntax makes them): "\n" and "\r" together, and nothing else.
    program p;
    p.instructions = {instruction{opcode::assert, 9}, instruction{opcode::byte, 'a'},
                      instruction{opcode::match}};
    const auto map = kestrel::compute_byte_classes(lower_to_bytes(p, true, lazy_budget));
    EXPECT_EQ(map.classes['\n'], map.classes['\r']);
    int members = 0;
    for (unsigned b = 0; b < 256; ++b) members += map.classes[b] == map.classes['\n'];
    EXPECT_EQ(members, 2);
    // Classes are numbered by first appearance; a declined program has none.
    const auto numbered = kestrel::compute_byte_classes(lower("[\\x00-\\x10]z"));
    EXPECT_EQ(numbered.count, 3u);
    EXPECT_EQ(numbered.classes[0x11], 1);
    EXPECT_EQ(numbered.classes['z'], 2);
    EXPECT_EQ(kestrel::compute_byte_classes(lower("(?=a)")).count, 0u);
}

// The lowering keeps the pattern's language and priority order: the byte program, run by the
// interpreter above, ends the whole match where the Pike VM does, on random patterns (without
// asserts in variant 0, with them in variant 1) and random subjects and offsets.
TEST(ByteProgram, InterpreterAgreesWithThePikeVm) {
    const std::uint64_t seed = automata_test::seed(0x627974657331ull);
    std::mt19937_64 rng(seed);
    const int patterns = automata_test::sanitized ? 1500 : 6000;
    int compared = 0;
    for (int k = 0; k < patterns; ++k) {
        const bool assertions = k % 3 == 2;
        automata_test::pattern_generator gen(rng, true, assertions);
        const std::string pattern = gen.next();
        std::unique_ptr<regex> re;
        try {
            re = std::make_unique<regex>(pattern);
        } catch (const kestrel::regex_error&) {
            continue;
        }
        const byte_program bp = lower_to_bytes(re->prog(), assertions, lazy_budget);
        ASSERT_TRUE(bp.ok) << pattern;
        for (int t = 0; t < 6; ++t) {
            const std::string subject = automata_test::random_subject(rng, 8);
            const auto start = static_cast<std::uint32_t>(rng() % (subject.size() + 1));
            ASSERT_EQ(run_bytes(bp, subject, start), pike_end(re->prog(), subject, start))
                << "seed " << seed << " pattern " << match_text::show(pattern) << " subject "
                << match_text::show(subject) << " at " << start;
            ++compared;
        }
    }
    EXPECT_GT(compared, patterns * 5);
}

}  // namespace
