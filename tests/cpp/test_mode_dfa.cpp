// The per-mode DFA fast path: which rules and modes get an automaton, the combination with the
// per-rule path, and tokens identical to a lexer built with no automaton at all.
#include <gtest/gtest.h>

#include "lexer_test_support.h"

#include <random>
#include <string>
#include <vector>

#include "tessel/mode_dfa.h"
#include "tessel/stream.h"

namespace {

using lexer_test::make;
using lexer_test::options;
using lexer_test::pop;
using lexer_test::push;
using lexer_test::rule;
using lexer_test::show;

tessel::lexer_options none(tessel::error_policy errors = tessel::error_policy::raise) {
    tessel::lexer_options o = options(errors);
    o.dfa = tessel::dfa_choice::requested;
    return o;
}

// Tokens, or the error, as text.
std::vector<std::string> lex(const tessel::lexer& lx, const std::string& text) {
    try {
        return show(tessel::tokenize(lx, text, true));
    } catch (const tessel::lex_error& e) {
        return {show(e)};
    }
}

TEST(ModeDfa, KeywordAgainstIdentifierOfEqualLength) {
    auto kw_first = make({rule(1, "if"), rule(2, "[a-z]+"), rule(0, " ", true)});
    EXPECT_EQ(kw_first->dfa_modes_active(), std::vector<std::string>({"default"}));
    EXPECT_TRUE(kw_first->pike_rules("default").empty());
    EXPECT_EQ(lex(*kw_first, "if iff i"),
              std::vector<std::string>({"1 \"if\" @0 1:1 m0", "2 \"iff\" @3 1:4 m0", "2 \"i\" @7 1:8 m0",
                                        "-2147483648 \"\" @8 1:9 m0"}));
    auto id_first = make({rule(2, "[a-z]+"), rule(1, "if")});
    EXPECT_EQ(lex(*id_first, "if"), std::vector<std::string>({"2 \"if\" @0 1:1 m0", "-2147483648 \"\" @2 1:3 m0"}));
}

TEST(ModeDfa, PriorityRuleStaysPerRuleAndContributesItsOwnMatch) {
    auto lx = make({rule(1, "a|ab"), rule(2, "b")});
    EXPECT_EQ(lx->pike_rules("default"), std::vector<std::int32_t>({0}));
    EXPECT_EQ(lex(*lx, "ab"),
              std::vector<std::string>({"1 \"a\" @0 1:1 m0", "2 \"b\" @1 1:2 m0", "-2147483648 \"\" @2 1:3 m0"}));
    auto longer = make({rule(1, "a|ab"), rule(2, "ab")});
    EXPECT_EQ(lex(*longer, "ab"), std::vector<std::string>({"2 \"ab\" @0 1:1 m0", "-2147483648 \"\" @2 1:3 m0"}));
    // Equal length: the per-rule rule's lower index wins over the automaton's rule.
    auto tie = make({rule(1, "a|ab"), rule(2, "a")});
    EXPECT_EQ(lex(*tie, "a"), std::vector<std::string>({"1 \"a\" @0 1:1 m0", "-2147483648 \"\" @1 1:2 m0"}));
}

TEST(ModeDfa, AssertionsAndLookaroundsStayPerRule) {
    auto lx = make({rule(1, "[a-z]+\\b"), rule(2, "[0-9]+(?=;)"), rule(3, "[a-z0-9]+"), rule(4, ";"),
                    rule(5, "^#")});
    EXPECT_EQ(lx->pike_rules("default"), std::vector<std::int32_t>({0, 1, 4}));
    EXPECT_EQ(lex(*lx, "#ab12;"),
              std::vector<std::string>({"5 \"#\" @0 1:1 m0", "3 \"ab12\" @1 1:2 m0", "4 \";\" @5 1:6 m0",
                                        "-2147483648 \"\" @6 1:7 m0"}));
    // The start anchor holds only at the start of the text, even though the automaton could
    // have tested it at any scan start.
    EXPECT_EQ(lex(*lx, "a#"), std::vector<std::string>({"no rule matches in mode 'default' (entered at 1:1) @1 1:2"}));
    auto all_asserted = make({rule(1, "a\\b"), rule(2, "b(?=a)", false, {"m"})});
    EXPECT_TRUE(all_asserted->dfa_modes_active().empty());
    EXPECT_EQ(all_asserted->pike_rules("m"), std::vector<std::int32_t>({1}));
}

TEST(ModeDfa, EmptyMatchingRuleAnswersWithLengthZero) {
    auto lx = make({rule(1, "a*"), rule(2, "b")});
    EXPECT_TRUE(lx->pike_rules("default").empty());
    EXPECT_EQ(lex(*lx, "aab"),
              std::vector<std::string>({"1 \"aa\" @0 1:1 m0", "2 \"b\" @2 1:3 m0", "-2147483648 \"\" @3 1:4 m0"}));
    EXPECT_EQ(lex(*lx, "c"),
              std::vector<std::string>({"zero-length match in mode 'default' (rule never advances) @0 1:1"}));
}

TEST(ModeDfa, ChoiceOfModes) {
    auto requested_none = make({rule(1, "a"), rule(2, "b", false, {"m"})}, none());
    EXPECT_TRUE(requested_none->dfa_modes_active().empty());
    EXPECT_EQ(requested_none->pike_rules("default"), std::vector<std::int32_t>({0}));
    tessel::lexer_options o = none();
    o.dfa_modes = {"m"};
    auto requested_m = make({rule(1, "a"), rule(2, "b", false, {"m"})}, o);
    EXPECT_EQ(requested_m->dfa_modes_active(), std::vector<std::string>({"m"}));
    for (tessel::dfa_choice choice : {tessel::dfa_choice::automatic, tessel::dfa_choice::requested}) {
        tessel::lexer_options bad = options(tessel::error_policy::raise, tessel::column_unit::bytes, {"nope"});
        bad.dfa = choice;
        try {
            make({rule(1, "a")}, bad);
            ADD_FAILURE() << "unknown mode accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "dfa_modes names an unknown mode: nope");
        }
    }
}

TEST(ModeDfa, ModeOverTheStateBudgetFallsBackWithUnchangedTokens) {
    // Each rule alone is small (at most 8,193 states) and agrees; together the automaton must
    // track all three at once, 8,192 x 3 x 5 states, past the budget.
    std::vector<tessel::rule> rules;
    rules.push_back(rule(1, "[ab]*a[ab]{12}"));
    rules.push_back(rule(2, "(?:[ab]{3})*b"));
    rules.push_back(rule(3, "(?:[ab]{5})*a"));
    rules.push_back(rule(4, "c"));
    auto lx = make(rules);
    EXPECT_TRUE(lx->dfa_modes_active().empty());
    EXPECT_EQ(lx->pike_rules("default"), std::vector<std::int32_t>({0, 1, 2, 3}));
    const std::vector<tessel::mode_placement> places = lx->placements();
    const tessel::mode_placement& place = places.at(0);
    ASSERT_EQ(place.rules.size(), 4u);
    for (const auto& p : place.rules) EXPECT_EQ(p.reason, kestrel::dfa_message_states);
    auto plain = make(rules, none());
    const std::string text = "abababababababababbbbbcab" + std::string(40, 'a') + "cbbbabc";
    EXPECT_EQ(lex(*lx, text), lex(*plain, text));
    // Without the third rule the mode fits.
    rules.erase(rules.begin() + 2);
    EXPECT_EQ(make(rules)->dfa_modes_active(), std::vector<std::string>({"default"}));
}

TEST(ModeDfa, DescribeModesNamesEveryRuleAndWhy) {
    auto lx = make({rule(1, "[a-z]+"), rule(2, "a|ab"), rule(3, "x\\b", false, {"default", "m"}),
                    rule(4, "y", false, {"m"})});
    const std::string text = tessel::describe_modes(*lx);
    EXPECT_NE(text.find("mode 'default': DFA of"), std::string::npos) << text;
    EXPECT_NE(text.find("rule 0 /[a-z]+/: dfa"), std::string::npos) << text;
    EXPECT_NE(text.find("rule 1 /a|ab/: per-rule (longest_agreement_check: differs"), std::string::npos) << text;
    EXPECT_NE(text.find("rule 2 /x\\b/: per-rule (pattern has a zero-width assertion"), std::string::npos) << text;
    EXPECT_NE(text.find("mode 'm': DFA of"), std::string::npos) << text;
}

// ---- seeded: the same tokens and errors with and without automata, eager and streamed ----

std::string random_pattern(std::mt19937& rng) {
    static const char* pieces[] = {"a", "b", "ab", "[ab]", "[a-c]+", "a*", "b?", "(?:ab)+", "c", "a|ab",
                                   "a\\b", "b(?=a)", "(?<=a)b", "^a", "\"[^\"]*\"", "[ab]*?c", "a{2,3}"};
    std::string p = pieces[rng() % 17];
    if (rng() % 3 == 0) p += pieces[rng() % 17];
    return p;
}

// Tokens of a scan, then the error if one ends it.
std::vector<std::string> scanned(std::shared_ptr<const tessel::lexer> lx, const std::string& text) {
    tessel::scan_cursor cur(lx, text, true);
    std::vector<std::string> out;
    try {
        for (cur.advance(); !cur.exhausted(); cur.advance()) out.push_back(show(cur.current()));
    } catch (const tessel::lex_error& e) {
        out.push_back(show(e));
    }
    return out;
}

std::vector<std::string> streamed(std::shared_ptr<const tessel::lexer> lx, const std::string& text, std::mt19937& rng) {
    tessel::token_stream s(lx);
    std::vector<std::string> out;
    try {
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + rng() % 5);
            for (const auto& t : s.feed(std::string_view(text).substr(at, n))) out.push_back(show(t));
            at += n;
        }
        for (const auto& t : s.finish()) out.push_back(show(t));
    } catch (const tessel::lex_error& e) {
        for (const auto& t : e.tokens) out.push_back(show(t));
        out.push_back(show(e));
    }
    return out;
}

TEST(ModeDfaSeeded, SameTokensWithAndWithoutAutomata) {
    std::mt19937 rng(20261208);
    int compared = 0, with_dfa = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<tessel::rule> rules;
        const int count = 2 + static_cast<int>(rng() % 4);
        for (int k = 0; k < count; ++k) {
            std::vector<std::string> modes;
            if (rng() % 3 == 0) modes.push_back("m");
            std::optional<tessel::transition> action;
            if (rng() % 5 == 0) action = modes.empty() ? push("m") : pop();
            rules.push_back(rule(k + 1, random_pattern(rng), rng() % 5 == 0, modes, action));
        }
        rules.push_back(rule(9, "[ab]", false, {"m"}));
        rules.push_back(rule(8, "c", false, {"m"}, pop()));
        const auto errors = rng() % 2 ? tessel::error_policy::raise : tessel::error_policy::token;
        std::shared_ptr<const tessel::lexer> fast, plain;
        try {
            fast = make(rules, options(errors));
            plain = make(rules, none(errors));
        } catch (const std::invalid_argument&) {
            continue;  // a transition with an empty pattern
        }
        with_dfa += !fast->dfa_modes_active().empty();
        for (int t = 0; t < 8; ++t) {
            std::string text;
            const int n = static_cast<int>(rng() % 14);
            for (int i = 0; i < n; ++i) text.push_back("abc\" x"[rng() % 6]);
            ASSERT_EQ(lex(*fast, text), lex(*plain, text)) << text;
            const auto expected = scanned(plain, text);
            ASSERT_EQ(scanned(fast, text), expected) << text;
            // Streams drop the end_of_input token.
            std::vector<std::string> eager = expected;
            if (!eager.empty() && eager.back().rfind("-2147483648 ", 0) == 0) eager.pop_back();
            ASSERT_EQ(streamed(fast, text, rng), eager) << text;
            ++compared;
        }
    }
    EXPECT_GT(compared, 1500);
    EXPECT_GT(with_dfa, 200);
}

}  // namespace

namespace {

// Modes with the same rules share one automaton (a grammar may name a rule in thousands of
// modes); modes with other rules get their own, and lexing is the same either way.
TEST(ModeDfa, ModesWithTheSameRulesShareTheirAutomaton) {
    const auto rules = [] {
        return std::vector<tessel::rule>{
            rule(1, "[a-z]+", false, {"x", "y", "z", "w"}), rule(2, "[0-9]+", false, {"x", "y", "w"}),
            rule(3, "[0-9]+", false, {"z"}), rule(4, "<", false, {}, push("x")),
            rule(5, ">", false, {"x", "y", "z", "w"}, pop()), rule(6, "!", false, {"x"}, push("y")),
            rule(7, "%", false, {"y"}, push("w"))};
    };
    auto lx = make(rules());
    const std::uint32_t x = *lx->mode_index("x"), y = *lx->mode_index("y"), z = *lx->mode_index("z"),
                        w = *lx->mode_index("w");
    ASSERT_NE(lx->automaton(x), nullptr);
    ASSERT_NE(lx->automaton(z), nullptr);
    EXPECT_NE(lx->automaton(x), lx->automaton(y));  // x also has the "!" rule, y the "%" rule
    EXPECT_NE(lx->automaton(x), lx->automaton(w));  // x also has the "!" rule
    EXPECT_NE(lx->automaton(y), lx->automaton(z));  // z's digits are another rule
    EXPECT_NE(lx->automaton(w), lx->automaton(z));
    // Two modes with exactly the same rules.
    auto shared = make({rule(1, "[a-z]+", false, {"p", "q"}), rule(2, "[0-9]+", false, {"p", "q"}),
                        rule(3, "<", false, {}, push("p")), rule(4, "!", false, {"p", "q"}, push("q")),
                        rule(5, ">", false, {"p", "q"}, pop())});
    EXPECT_EQ(shared->automaton(*shared->mode_index("p")), shared->automaton(*shared->mode_index("q")));
    EXPECT_NE(shared->automaton(*shared->mode_index("p")), shared->automaton(0));
    auto plain = make({rule(1, "[a-z]+", false, {"p", "q"}), rule(2, "[0-9]+", false, {"p", "q"}),
                       rule(3, "<", false, {}, push("p")), rule(4, "!", false, {"p", "q"}, push("q")),
                       rule(5, ">", false, {"p", "q"}, pop())},
                      none());
    for (const std::string text : {"<ab12!cd34>>", "<1!2!3>>>", "<x!y!z>>>"}) {
        EXPECT_EQ(lex(*shared, text), lex(*plain, text)) << text;
    }
    auto plain_xyzw = make(rules(), none());
    for (const std::string text : {"<ab12!cd%34>>>", "<1!2%3>>>"}) {
        EXPECT_EQ(lex(*lx, text), lex(*plain_xyzw, text)) << text;
    }
}

TEST(ModeDfa, ManyModesOfOneRuleHoldOneAutomaton) {
    std::vector<std::string> modes;
    for (int i = 0; i < 2000; ++i) modes.push_back("m" + std::to_string(i));
    auto lx = make({rule(1, "a", false, modes), rule(2, "b", false, {}, push("m1999"))});
    const tessel::mode_dfa* first = lx->automaton(*lx->mode_index("m0"));
    ASSERT_NE(first, nullptr);
    for (const std::string& m : modes) EXPECT_EQ(lx->automaton(*lx->mode_index(m)), first) << m;
}

TEST(ModeDfa, ModesWhoseRulesHaveTheSamePatternsShareTheAutomaton) {
    // Each mode has rules of its own, so each has its own mode_dfa (the rule indices
    // differ), but the automaton depends only on the patterns and is built once.
    std::vector<tessel::rule> rules;
    for (int i = 0; i < 50; ++i) {
        const std::string m = "m" + std::to_string(i);
        rules.push_back(rule(1 + 2 * i, "[a-z]+", false, {m}));
        rules.push_back(rule(2 + 2 * i, "[0-9]+", false, {m}, i == 49 ? pop() : push("m" + std::to_string(i + 1))));
    }
    rules.push_back(rule(200, "=", false, {}, push("m0")));
    rules.push_back(rule(201, "q[0-9]", false, {"m7"}));
    auto lx = make(rules, options(tessel::error_policy::token));
    const tessel::mode_dfa* a = lx->automaton(*lx->mode_index("m3"));
    const tessel::mode_dfa* b = lx->automaton(*lx->mode_index("m40"));
    const tessel::mode_dfa* c = lx->automaton(*lx->mode_index("m7"));
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->automaton, b->automaton);
    EXPECT_NE(a->automaton, c->automaton);  // m7 has one more pattern
    EXPECT_EQ(b->dfa_rules, std::vector<std::uint32_t>({80, 81}));
    // The tokens name each mode's own rules, and equal those of the per-rule path.
    auto plain = make(rules, none(tessel::error_policy::token));
    std::string text = "=";
    for (int i = 0; i < 50; ++i) text += "ab" + std::to_string(i) + (i == 7 ? "q1" : "");
    const std::vector<std::string> tokens = lex(*lx, text);
    EXPECT_GT(tokens.size(), 100u);
    EXPECT_EQ(tokens, lex(*plain, text));
}

}  // namespace
