// The one-pass matcher: golden tables and refusals (one pattern per refusal reason), the
// limits at their edges, and the table against the Pike VM on seeded random patterns with
// groups.  The match corpus runs through the table in test_match_corpus.cpp.
#include <gtest/gtest.h>

#include "automata_test_support.h"
#include "match_text.h"

#include <memory>
#include <string>
#include <vector>

#include "kestrel/byte_program.h"
#include "kestrel/one_pass.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using automata_test::bytes;
using kestrel::one_pass_table;
using kestrel::regex;

one_pass_table table_of(const std::string& pattern) {
    return kestrel::build_one_pass(regex(pattern).prog());
}

// "end:slot,slot,..." of a one-pass run, "-" for no match.
std::string one_pass_text(const one_pass_table& t, const std::string& subject,
                          std::uint32_t start) {
    kestrel::slot_vector out;
    const std::int64_t end =
        t.run(start, out, bytes(subject), static_cast<std::uint32_t>(subject.size()));
    if (end < 0) return "-";
    std::string text = std::to_string(end) + ":";
    for (std::size_t i = 0; i < out.size(); ++i) text += (i ? "," : "") + std::to_string(out[i]);
    return text;
}

// The same for the Pike VM's thread lists.
std::string pike_text(const regex& re, const std::string& subject, std::uint32_t start) {
    kestrel::slot_vector out;
    if (!automata_test::pike_match(re.prog(), subject, start, out)) return "-";
    std::string text = std::to_string(out[1]) + ":";
    for (std::size_t i = 0; i < out.size(); ++i) text += (i ? "," : "") + std::to_string(out[i]);
    return text;
}

// A capture group around an alternation of `count` distinct words of 8 letters and digits,
// chosen by a fixed generator: a trie that minimisation cannot shrink much.
std::string many_words(std::size_t count) {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::mt19937_64 rng(99);
    std::string out = "(";
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) out += "|";
        for (int k = 0; k < 8; ++k) out += alphabet[rng() % (sizeof alphabet - 1)];
    }
    return out + ")";
}

TEST(OnePass, GoldenTables) {
    automata_test::check_golden("one_pass_dumps.txt", [](const automata_test::golden_case& c) {
        return kestrel::dump_one_pass(table_of(c.pattern));
    });
}

TEST(OnePass, RefusalReasonsAndDetails) {
    struct row {
        std::string pattern;
        const char* reason;
        std::int32_t d1, d2, d3;
    } rows[] = {
        {"(?=a)(a)", "the byte-program is itself ineligible (a lookaround, or a word-ness-flipped "
                     "assertion)", -1, -1, -1},
        {"(a)(b)(c)(d)(e)", "too many capture slots: the general Pike VM keeps these", 12, -1, -1},
        {"(a*)*", "epsilon cycle (a nullable loop): not one-pass", -1, -1, 1},
        {"(a|ab)(c)", "byte-class conflict: not one-pass", 0, 1, 5},
        {"(?:()|)", "second distinct match: not one-pass", 0, -1, -1},
        {"(a)" + std::string(65100, 'b'), "node cap exceeded", 65001, -1, -1},
    };
    for (const row& r : rows) {
        const one_pass_table t = table_of(r.pattern);
        const std::string shown = r.pattern.substr(0, 40);
        EXPECT_FALSE(t.is_one_pass()) << shown;
        EXPECT_FALSE(t.usable()) << shown;
        EXPECT_EQ(t.reason(), r.reason) << shown;
        EXPECT_EQ(t.detail(1), r.d1) << shown;
        EXPECT_EQ(t.detail(2), r.d2) << shown;
        EXPECT_EQ(t.detail(3), r.d3) << shown;
        kestrel::slot_vector out;
        EXPECT_EQ(t.run(0, out, bytes("ab"), 2), -1) << shown;
    }
}

TEST(OnePass, MinimisationBudgetAndTableSize) {
    // A chain of 60,000 nodes over 63 classes: every pass of the refinement separates one
    // more node from the end, so the passes run out of budget long before it settles.
    std::string chain = "(a)";
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (std::size_t i = 0; i < 60000; ++i) chain += letters[(i * 7) % (sizeof letters - 1)];
    const one_pass_table slow = table_of(chain);
    EXPECT_EQ(slow.reason(), "one-pass minimization exceeded its work budget: not one-pass");
    EXPECT_EQ(slow.detail(1), 60002);  // the start, the node after "a", one per letter

    // A trie of 3,000 random words settles in a few passes but keeps too many nodes.
    const one_pass_table big = table_of(many_words(3000));
    EXPECT_EQ(big.reason(), "one-pass table too large after minimization (MB)");
    EXPECT_GT(big.detail(1), 8);
    // 300 of them fit.
    const one_pass_table fits = table_of(many_words(300));
    EXPECT_TRUE(fits.usable()) << fits.reason();
    EXPECT_LE(std::size_t{fits.node_count()} * fits.class_count() * 24,
              one_pass_table::max_table_bytes);
}

TEST(OnePass, UnexpectedOpInAByteProgram) {
    kestrel::byte_program bp;
    bp.ok = true;
    bp.instructions = {kestrel::instruction{kestrel::opcode::save},
                       kestrel::instruction{kestrel::opcode::klass_cp},
                       kestrel::instruction{kestrel::opcode::match}};
    one_pass_table t;
    t.build(bp, kestrel::compute_byte_classes(bp));
    EXPECT_EQ(t.reason(), "unexpected op in byte-program (lookaround/klass_cp should be absent)");
    EXPECT_EQ(t.detail(1), -1);
}

TEST(OnePass, EdgeCases) {
    const one_pass_table ab = table_of("(a)(b)");
    EXPECT_TRUE(ab.usable());
    EXPECT_EQ(one_pass_text(ab, "ab", 0), "2:0,2,0,1,1,2");
    EXPECT_EQ(one_pass_text(ab, "xab", 1), "3:1,3,1,2,2,3");
    EXPECT_EQ(one_pass_text(ab, "ab", 3), "-");  // past the end

    EXPECT_TRUE(table_of("(a)(b)(c)(d)").usable());  // 10 slots
    EXPECT_EQ(table_of("(a)(b)(c)(d)").slot_count(), 10u);

    EXPECT_EQ(one_pass_text(table_of("(a+)"), "aaa", 0), "3:0,3,0,3");

    // After "a" the match lies between "b" and "c" in priority order: built, not enabled,
    // and the Pike VM answers.
    const one_pass_table between = table_of("(a)(?:b||c)");
    EXPECT_TRUE(between.is_one_pass());
    EXPECT_FALSE(between.enabled());
    EXPECT_FALSE(between.usable());
    EXPECT_EQ(one_pass_text(between, "ab", 0), "-");
    const regex re("(a)(?:b||c)");
    EXPECT_EQ(pike_text(re, "ab", 0), "2:0,2,0,1");
    EXPECT_EQ(pike_text(re, "ac", 0), "1:0,1,0,1");

    // A run that goes on past a match and then fails returns the match's slots, not those
    // written on the way.
    EXPECT_EQ(one_pass_text(table_of("(a)(?:(b)c)?"), "abx", 0), "1:0,1,0,1,-1,-1");
    // Assertions are tested at the offset they stand at, both on transitions and on matches.
    const one_pass_table anchored = table_of("^(a)$");
    EXPECT_EQ(one_pass_text(anchored, "a", 0), "1:0,1,0,1");
    EXPECT_EQ(one_pass_text(anchored, "a\n", 0), "1:0,1,0,1");
    EXPECT_EQ(one_pass_text(anchored, "aa", 1), "-");
    EXPECT_EQ(one_pass_text(anchored, "ab", 0), "-");
    EXPECT_EQ(one_pass_text(table_of("(a)\\b"), "a\xc3\xa9", 0), "-");       // Unicode words
    EXPECT_EQ(one_pass_text(table_of("(?a)(a)\\b"), "a\xc3\xa9", 0), "1:0,1,0,1");  // ASCII
    // Invalid UTF-8 never matches a class.
    EXPECT_EQ(one_pass_text(table_of("(.)"), "\xed\xa0\x80", 0), "-");
    EXPECT_EQ(one_pass_text(table_of("(.)"), "\xed\x9f\xbf", 0), "3:0,3,0,3");
}

// The table against the Pike VM on seeded random patterns with groups: every pattern whose
// table is usable runs on random subjects at random offsets, and end and slots must agree.
TEST(OnePass, AgreesWithThePikeVmOnRandomPatterns) {
    const std::uint64_t seed = automata_test::seed(0x6f6e65706173ull);
    std::mt19937_64 rng(seed);
    const int wanted = automata_test::sanitized ? 20000 : 100000;
    const int per_pattern = 20;
    int compared = 0;
    int patterns = 0;
    int usable = 0;
    while (compared < wanted && patterns < 400000) {
        ++patterns;
        automata_test::pattern_generator gen(rng, true, patterns % 4 == 0);
        const std::string pattern = gen.next();
        const std::unique_ptr<regex> re = automata_test::try_compile(pattern);
        if (!re) continue;
        if (re->prog().slot_count <= 2) continue;
        const one_pass_table t = kestrel::build_one_pass(re->prog());
        if (!t.usable()) continue;
        ++usable;
        for (int k = 0; k < per_pattern; ++k) {
            const std::string subject = automata_test::random_subject(rng, 8);
            const auto start = static_cast<std::uint32_t>(rng() % (subject.size() + 1));
            ASSERT_EQ(one_pass_text(t, subject, start), pike_text(*re, subject, start))
                << "seed " << seed << " pattern " << match_text::show(pattern) << " subject "
                << match_text::show(subject) << " at " << start;
            ++compared;
        }
    }
    EXPECT_GE(compared, wanted) << "only " << usable << " usable tables in " << patterns
                                << " patterns";
    std::printf("one-pass: %d cases on %d usable tables of %d patterns\n", compared, usable,
                patterns);
}

}  // namespace
