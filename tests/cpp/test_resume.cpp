// Lexing from a saved state and the look-ahead extents: a run from the start gives tokenize's
// tokens; a run from any token boundary, with the stack saved there, gives the rest of them
// (lookbehinds see the text before the cursor); and every extent is sound: changing any byte
// past a token's extent leaves that token and the stack after it unchanged.  Seeded random
// texts over grammars that use the automaton, the per-rule path, lookahead (bounded and not),
// lookbehind, word boundaries, modes and error runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

#include "lexer_test_support.h"
#include "tessel/resume.h"

namespace {

using namespace lexer_test;
using tessel::error_policy;
using tessel::lex_state;
using tessel::lexer;

tessel::resumed_run run_all(const lexer& lx, std::string_view text, const lex_state& from = {}) {
    return tessel::lex_from(lx, text, from, 0xFFFFFFFFu, 0xFFFFFFFFu);
}

std::uint32_t end_of_token(const tessel::token& t) {
    return t.pos.offset + static_cast<std::uint32_t>(t.lexeme.size());
}

TEST(Extents, AutomatonStopsWhereItDies) {
    const auto lx = make({rule(1, "[a-z]+"), rule(2, " ", true)}, options(error_policy::raise));
    ASSERT_FALSE(lx->dfa_modes_active().empty());
    const auto r = run_all(*lx, "ab cd");
    ASSERT_EQ(show(r.tokens), (std::vector<std::string>{"1 \"ab\" @0 1:1 m0", "1 \"cd\" @3 1:4 m0"}));
    // "ab" was decided by the blank at 2; "cd" (after skipping the blank) by the end.
    EXPECT_EQ(r.extents, (std::vector<std::uint32_t>{2, 5}));
    EXPECT_TRUE(r.finished);
}

TEST(Extents, PerRuleReachTable) {
    struct row {
        const char* pattern;
        const char* text;
        std::uint32_t at_least;  // the extent of the first token covers this offset
    };
    const row rows[] = {
        {"a(?=bcd)", "abcdx", 3},   // a bounded lookahead reads its body
        {"a(?=.*z)", "abbbz", 5},   // an unbounded one counts as reading to the end
        {"ab\\b", "ab c", 2},       // the boundary reads the character after it
        {"a|ab", "abx", 1},         // the priority match is a, yet the VM read b
        {"x*+y", "xxxy", 3},        // possessive loops read as they go
    };
    for (const row& r : rows) {
        const auto lx = make({rule(1, r.pattern), rule(2, "[a-z ]", false)}, options(error_policy::raise));
        const auto run = run_all(*lx, r.text);
        ASSERT_FALSE(run.tokens.empty()) << r.pattern;
        EXPECT_GE(run.extents[0], r.at_least) << r.pattern;
        EXPECT_LE(run.extents[0], std::string_view(r.text).size()) << r.pattern;
    }
}

TEST(Extents, ErrorRunReadsTheProbeThatEndsIt) {
    const auto lx = make({rule(1, "[a-z]+")}, options(error_policy::token));
    const auto r = run_all(*lx, "ab12cd");
    ASSERT_EQ(show(r.tokens), (std::vector<std::string>{"1 \"ab\" @0 1:1 m0", "-2147483644 \"12\" @2 1:3 m0",
                                                         "1 \"cd\" @4 1:5 m0"}));
    EXPECT_EQ(r.extents[0], 2u);
    EXPECT_GE(r.extents[1], 4u);
    EXPECT_EQ(r.extents[2], 6u);
    // A run that meets the end saw it.
    EXPECT_EQ(run_all(*lx, "ab12").extents.back(), 4u);
}

TEST(LexFrom, MiddleOfTheTextSeesWhatPrecedes) {
    // "y" is a token only right after an "x": the run that starts at the y must see the x.
    const auto lx = make({rule(1, "(?<=x)y"), rule(2, "[a-z]")}, options(error_policy::raise));
    const std::string text = "xyzy";
    lex_state at1;
    at1.cursor = {1, 1, 2};
    const auto r = run_all(*lx, text, at1);
    EXPECT_EQ(show(r.tokens), (std::vector<std::string>{"1 \"y\" @1 1:2 m0", "2 \"z\" @2 1:3 m0", "2 \"y\" @3 1:4 m0"}));
}

TEST(LexFrom, StackChangesAndTheStateAfter) {
    const auto lx2 = make({rule(1, "\"", false, {}, push("str")), rule(2, "[a-z]+"), rule(3, " ", true),
                           rule(4, "\"", false, {"str"}, pop()), rule(5, "[^\"]+", false, {"str"})},
                          options(error_policy::raise));
    const auto r = run_all(*lx2, "a \"b c\" d");
    ASSERT_EQ(r.tokens.size(), 5u);
    ASSERT_EQ(r.stacks.size(), 2u);
    EXPECT_EQ(r.stacks[0].after, 1u);
    EXPECT_EQ(r.stacks[0].modes, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(r.stacks[1].after, 3u);
    EXPECT_EQ(r.stacks[1].modes, (std::vector<std::uint32_t>{0}));

    // Bounded: stop after two tokens ending at or past offset 3, then go on from there.
    const auto part = tessel::lex_from(*lx2, "a \"b c\" d", lex_state{}, 3, 2);
    ASSERT_EQ(part.tokens.size(), 3u);
    EXPECT_FALSE(part.finished);
    EXPECT_EQ(part.after.cursor, (tessel::position{6, 1, 7}));
    ASSERT_EQ(part.after.stack.size(), 2u);
    EXPECT_EQ(part.after.stack[1].entered, (tessel::position{2, 1, 3}));
    const auto rest = run_all(*lx2, "a \"b c\" d", part.after);
    EXPECT_EQ(show(rest.tokens), (std::vector<std::string>{"4 \"\"\" @6 1:7 m1", "2 \"d\" @8 1:9 m0"}));
    EXPECT_TRUE(rest.finished);
}

TEST(LexFrom, RefusesAStateThatCannotBelongToTheText) {
    const auto lx = make({rule(1, "a")}, options(error_policy::raise));
    const auto message = [&](lex_state s) -> std::string {
        try {
            run_all(*lx, "aaa", s);
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "no error";
    };
    lex_state past;
    past.cursor = {4, 1, 5};
    EXPECT_EQ(message(past), "lex_from: offset 4 is past the end of the text (3 bytes)");
    lex_state zero;
    zero.cursor = {0, 0, 1};
    EXPECT_EQ(message(zero), "lex_from: line and column are 1-based");
    lex_state empty;
    empty.stack.clear();
    EXPECT_EQ(message(empty), "lex_from: the mode stack is empty");
    lex_state unknown;
    unknown.stack.push_back(tessel::mode_entry{7, {}});
    EXPECT_EQ(message(unknown), "lex_from: the mode stack names mode 7, but the lexer has 1");
}

// The grammars of the random test: each mixes several of the ways a matcher reads ahead.
std::vector<std::shared_ptr<const lexer>> random_grammars(error_policy errors) {
    std::vector<std::shared_ptr<const lexer>> out;
    out.push_back(make({rule(1, "[a-c]+"), rule(2, "ab*c"), rule(3, " +", true), rule(4, "\\d+(\\.\\d+)?")},
                       options(errors)));
    out.push_back(make({rule(1, "a(?=b{1,3}c)"), rule(2, "(?<=c)b+"), rule(3, "[abc]"), rule(4, "c\\b"),
                        rule(5, " ", true), rule(6, "b(?=.*1)")},
                       options(errors)));
    out.push_back(make({rule(1, "\"", false, {}, push("s")), rule(2, "[a-z0-9]+"), rule(3, "\\s+", true),
                        rule(4, "\"", false, {"s"}, pop()), rule(5, "\\\\.", false, {"s"}),
                        rule(6, "[^\"\\\\]+", false, {"s"}), rule(7, "/\\*(?:[^*]|\\*(?!/))*\\*/")},
                       options(errors)));
    return out;
}

const char alphabet[] = "abc1.\" \\*/\nz";

TEST(LexFrom, RandomTextsExtentsAreSound) {
    std::mt19937 rng(std::getenv("TESSEL_SEED") ? std::strtoul(std::getenv("TESSEL_SEED"), nullptr, 10) : 17u);
    int checked = 0;
    for (const error_policy errors : {error_policy::token, error_policy::raise}) {
        for (const auto& lx : random_grammars(errors)) {
            for (int round = 0; round < 300; ++round) {
                std::string text;
                const int n = static_cast<int>(rng() % 24);
                for (int i = 0; i < n; ++i) text += alphabet[rng() % (sizeof alphabet - 1)];
                std::vector<tessel::token> full;
                try {
                    full = tessel::tokenize(*lx, text, false);
                } catch (const tessel::lex_error&) {
                    EXPECT_THROW(run_all(*lx, text), tessel::lex_error) << text;
                    continue;
                }
                const auto r = run_all(*lx, text);
                ASSERT_EQ(show(r.tokens), show(full)) << text;
                ASSERT_TRUE(r.finished);
                // From every boundary, with the state the run reported there.
                lex_state at;
                std::size_t change = 0;
                for (std::size_t k = 0; k < r.tokens.size(); ++k) {
                    const auto tail = run_all(*lx, text, at);
                    ASSERT_EQ(show(tail.tokens),
                              show(std::vector<tessel::token>(full.begin() + static_cast<long>(k), full.end())))
                        << text << " from token " << k;
                    // Change the byte just past the extent (and all after it): token k stays.
                    const std::uint32_t x = r.extents[k];
                    ASSERT_GE(x, end_of_token(r.tokens[k])) << text;
                    ASSERT_LE(x, text.size());
                    if (x < text.size()) {
                        std::string other = text.substr(0, x + 1);
                        const int m = static_cast<int>(rng() % 6);
                        for (int i = 0; i < m; ++i) other += alphabet[rng() % (sizeof alphabet - 1)];
                        try {
                            const auto again = tessel::lex_from(*lx, other, at, 0, 1);
                            ASSERT_FALSE(again.tokens.empty()) << text << " / " << other;
                            EXPECT_EQ(show(again.tokens[0]), show(r.tokens[k])) << text << " / " << other;
                            ++checked;
                        } catch (const tessel::lex_error&) {
                            // Only an error later than token k may come of the change.
                            ADD_FAILURE() << "token " << k << " of " << text << " became an error in " << other;
                        }
                    }
                    // Advance the state over token k.
                    const auto step = tessel::lex_from(*lx, text, at, 0, 1);
                    at = step.after;
                    if (change < r.stacks.size() && r.stacks[change].after == k) ++change;
                }
            }
        }
    }
    EXPECT_GT(checked, 1000);
}

}  // namespace
