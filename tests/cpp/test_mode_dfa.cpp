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

// The eager loop makes tokens from each automaton rule's packed action: it must carry the
// rule's kind, skip flag, transition and resolved target, rule for rule in dfa_rules order.
TEST(ModeDfa, PackedActionsFollowTheirRules) {
    auto lx = make({rule(1, "[a-z]+", false, {"default", "q"}), rule(2, " ", true), rule(3, "\\(", false, {}, push("p")),
                    rule(4, "\\)", false, {"p"}, pop()), rule(5, "~", true, {}, lexer_test::set("q")),
                    rule(-7, "[0-9]", false, {"p"})});
    struct expected {
        std::int32_t kind;
        std::uint8_t skip, action;
        const char* target;  // nullptr: no target
    };
    const std::vector<std::pair<const char*, std::vector<expected>>> modes = {
        {"default",
         {{1, 0, tessel::dfa_rule_action::none, nullptr},
          {2, 1, tessel::dfa_rule_action::none, nullptr},
          {3, 0, tessel::dfa_rule_action::push, "p"},
          {5, 1, tessel::dfa_rule_action::set, "q"}}},
        {"p", {{4, 0, tessel::dfa_rule_action::pop, nullptr}, {-7, 0, tessel::dfa_rule_action::none, nullptr}}},
        {"q", {{1, 0, tessel::dfa_rule_action::none, nullptr}}},
    };
    for (const auto& [name, want] : modes) {
        const tessel::mode_dfa* md = lx->automaton(*lx->mode_index(name));
        ASSERT_NE(md, nullptr) << name;
        ASSERT_EQ(md->dfa_actions.size(), md->dfa_rules.size()) << name;
        ASSERT_EQ(md->dfa_actions.size(), want.size()) << name;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const tessel::dfa_rule_action& a = md->dfa_actions[i];
            EXPECT_EQ(a.kind, want[i].kind) << name << " " << i;
            EXPECT_EQ(a.skip, want[i].skip) << name << " " << i;
            EXPECT_EQ(a.action, want[i].action) << name << " " << i;
            if (want[i].target != nullptr) {
                EXPECT_EQ(a.target, *lx->mode_index(want[i].target)) << name << " " << i;
            }
        }
    }
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

// Eager, scanned and streamed (in random chunks), the lexer with automata gives what the one
// without gives.
void expect_same_tokens(const std::shared_ptr<const tessel::lexer>& fast, const std::shared_ptr<const tessel::lexer>& plain,
                        const std::string& text, std::mt19937& rng) {
    ASSERT_EQ(lex(*fast, text), lex(*plain, text)) << text;
    const auto expected = scanned(plain, text);
    ASSERT_EQ(scanned(fast, text), expected) << text;
    // Streams drop the end_of_input token.
    std::vector<std::string> eager = expected;
    if (!eager.empty() && eager.back().rfind("-2147483648 ", 0) == 0) eager.pop_back();
    ASSERT_EQ(streamed(fast, text, rng), eager) << text;
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
            ASSERT_NO_FATAL_FAILURE(expect_same_tokens(fast, plain, text, rng));
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

namespace {

// ---- rules too large for an automaton that run on it through an ASCII stand-in ----

const char* const identifier = "[\\p{XID_Start}_]\\p{XID_Continue}*";

TEST(ModeDfaEscape, UnicodeIdentifierRuleJoinsTheAutomatonForAscii) {
    auto lx = make({rule(1, "if"), rule(2, identifier), rule(3, " +", true)});
    ASSERT_EQ(lx->dfa_modes_active(), std::vector<std::string>({"default"}));
    EXPECT_TRUE(lx->pike_rules("default").empty());
    const tessel::rule_placement p = lx->placements().at(0).rules.at(1);
    EXPECT_TRUE(p.on_dfa);
    EXPECT_EQ(p.reason.rfind(tessel::ascii_only_reason, 0), 0u) << p.reason;
    EXPECT_NE(p.reason.find("byte expansion is too large"), std::string::npos) << p.reason;
    EXPECT_TRUE(lx->automaton(0)->automaton->escape_state().has_value());
    // A stand-in too large as well stays per rule, for the first reason.
    auto big = make({rule(1, "\\p{L}{80}"), rule(2, "x")});
    EXPECT_EQ(big->pike_rules("default"), std::vector<std::int32_t>({0}));
    EXPECT_EQ(big->placements().at(0).rules.at(0).reason, kestrel::dfa_message_expansion);
}

TEST(ModeDfaEscape, NonAsciiIdentifiersAtEveryPlaceLexAsPerRule) {
    const std::vector<tessel::rule> rules = {rule(1, "if|else"), rule(2, identifier), rule(3, "[0-9]+"),
                                             rule(4, "[ \\n]+", true), rule(5, "'[^'\\n]*'"), rule(6, "[=+]")};
    auto fast = make(rules, options(tessel::error_policy::token, tessel::column_unit::codepoints));
    tessel::lexer_options o = none(tessel::error_policy::token);
    o.columns = tessel::column_unit::codepoints;
    auto plain = make(rules, o);
    ASSERT_TRUE(fast->pike_rules("default").empty());
    for (const std::string text : {
             "\xc3\xa9t\xc3\xa9 = 1",            // non-ASCII first
             "caf\xc3\xa9 + x",                   // last
             "na\xc3\xafve",                      // middle
             "if\xc3\xa9 = else\xe4\xb8\x96",     // after a keyword prefix
             "x\xe4\xb8\x96\xe7\x95\x8cy 1",      // three-byte characters
             "\xf0\x9d\x90\x80 = 2",              // a four-byte letter (mathematical bold A)
             "'\xc3\xa9' x",                      // inside a string: no identifier is alive
             "a\xc2\xb7" "b",                     // a middle dot continues, never starts
             "\xc2\xb7" "a",                      // ... so here it is an error
             "a\xff" "b \xc3",                    // malformed UTF-8 after and alone
             "ifx\xcc\x81 if\n\xc3\xa9",          // a combining mark continues an identifier
         }) {
        EXPECT_EQ(lex(*fast, text), lex(*plain, text)) << text;
        EXPECT_EQ(scanned(fast, text), scanned(plain, text)) << text;
    }
    // Spelled out for one text: the identifiers keep their non-ASCII characters, and columns
    // count code points.
    EXPECT_EQ(lex(*fast, "if\xc3\xa9 caf\xc3\xa9"),
              std::vector<std::string>({"2 \"if\xc3\xa9\" @0 1:1 m0", "2 \"caf\xc3\xa9\" @5 1:5 m0",
                                        "-2147483648 \"\" @10 1:9 m0"}));
}

TEST(ModeDfaEscape, StreamsAgreeAcrossEveryChunking) {
    const std::vector<tessel::rule> rules = {rule(1, identifier), rule(2, " ", true), rule(3, "'[^']*'"),
                                             rule(4, "\\(", false, {}, push("in")),
                                             rule(5, "\\)", false, {"in"}, pop()),
                                             rule(6, identifier, false, {"in"})};
    auto fast = make(rules, options(tessel::error_policy::token));
    auto plain = make(rules, none(tessel::error_policy::token));
    std::mt19937 rng(7);
    for (const std::string text : {"ab\xc3\xa9 (c\xe4\xb8\x96 d) 'x\xc3\xa9'", "(\xc3\xa9\xc3\xa9\xc3\xa9)", "a\xc3"}) {
        auto expected = scanned(plain, text);
        ASSERT_EQ(scanned(fast, text), expected) << text;
        expected.pop_back();  // streams make no end_of_input token
        for (int k = 0; k < 20; ++k) ASSERT_EQ(streamed(fast, text, rng), expected) << text;
    }
}

// Random grammars with Unicode classes and texts with non-ASCII characters: the same tokens
// and errors with and without automata, eager, scanned and streamed.
TEST(ModeDfaSeeded, SameTokensWithUnicodeClassesAndText) {
    static const char* pieces[] = {identifier, "\\p{L}+", "\\w+", "[a-c]+", "a", "ab", "\xc3\xa9", "[^ab]",
                                   "'[^']*'", "\\p{Lu}\\p{Ll}*", "[\\x{e9}-\\x{4e16}]", "b|ba", "c"};
    static const char* alphabet[] = {"a", "b", "c", "'", " ", "\xc3\xa9", "\xe4\xb8\x96", "\xc3", "A", "\xc3\x89"};
    std::mt19937 rng(20261209);
    int compared = 0, escaping = 0;
    for (int round = 0; round < 150; ++round) {
        std::vector<tessel::rule> rules;
        const int count = 2 + static_cast<int>(rng() % 4);
        for (int k = 0; k < count; ++k) {
            std::vector<std::string> modes;
            if (rng() % 4 == 0) modes.push_back("m");
            std::optional<tessel::transition> action;
            if (rng() % 6 == 0) action = modes.empty() ? push("m") : pop();
            std::string p = pieces[rng() % 13];
            if (rng() % 3 == 0) p += pieces[rng() % 13];
            rules.push_back(rule(k + 1, p, rng() % 5 == 0, modes, action));
        }
        rules.push_back(rule(9, identifier, false, {"m"}));
        rules.push_back(rule(8, " ", false, {"m"}, pop()));
        const auto errors = rng() % 2 ? tessel::error_policy::raise : tessel::error_policy::token;
        const auto unit = static_cast<tessel::column_unit>(rng() % 3);
        std::shared_ptr<const tessel::lexer> fast, plain;
        try {
            fast = make(rules, options(errors, unit));
            tessel::lexer_options o = none(errors);
            o.columns = unit;
            plain = make(rules, o);
        } catch (const std::invalid_argument&) {
            continue;
        }
        for (std::size_t m = 0; m < fast->mode_count(); ++m) {
            const tessel::mode_dfa* md = fast->automaton(static_cast<std::uint32_t>(m));
            escaping += md != nullptr && md->automaton->escape_state().has_value();
        }
        for (int t = 0; t < 8; ++t) {
            std::string text;
            const int n = static_cast<int>(rng() % 12);
            for (int i = 0; i < n; ++i) text += alphabet[rng() % 10];
            ASSERT_NO_FATAL_FAILURE(expect_same_tokens(fast, plain, text, rng));
            ++compared;
        }
    }
    EXPECT_GT(compared, 900);
    EXPECT_GT(escaping, 100);
}

// ---- the automaton's answer standing alone where no per-rule rule can begin ----

TEST(ModeDfa, PerRuleBytesAreTheDispatchListsOfThePerRuleRules) {
    auto lx = make({rule(1, "[a-z]+"), rule(2, "a|ab"), rule(3, "x\\b", false, {"default", "m"}),
                    rule(4, "(?=q)q|z", false, {"m"}), rule(5, "y*\\b", false, {"n"}), rule(6, "[0-9]", false, {"n"}),
                    rule(7, "<", false, {}, push("m")), rule(8, ">", false, {}, push("n")), rule(9, "w", false, {"m"})});
    int checked = 0;
    for (std::uint32_t m = 0; m < lx->mode_count(); ++m) {
        const tessel::mode_dfa* md = lx->automaton(m);
        if (md == nullptr) continue;
        const tessel::dispatch_table table = lx->dispatch(m);
        for (unsigned b = 0; b < 256; ++b) {
            bool any = false;
            for (const auto list : {table[b], table[tessel::no_first_byte_list]}) {
                for (std::uint32_t r : list) any = any || md->on_per_rule_path(r);
            }
            ASSERT_EQ(md->needs_per_rule(static_cast<std::uint8_t>(b)), any) << "mode " << m << " byte " << b;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 3 * 256);
    // Mode n's per-rule rule y*\b may be empty: it has no first byte, so every byte needs it.
    const tessel::mode_dfa* n = lx->automaton(*lx->mode_index("n"));
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->needs_per_rule('5'));
}

// The eager loop over the automata hands every refusal back to the general step, whose
// messages and positions are the ones to get.
TEST(ModeDfa, EagerLoopLeavesErrorsToTheGeneralStep) {
    using tessel::error_policy;
    const std::vector<tessel::rule> rules = {rule(1, "[a-z]+"), rule(2, "\\(", false, {"default", "in"}, push("in")),
                                             rule(3, "\\)", false, {"default", "in"}, pop()),
                                             rule(4, "[a-z]+", false, {"in"}), rule(5, "\n", true, {"default", "in"})};
    for (const error_policy errors : {error_policy::raise, error_policy::token}) {
        auto fast = make(rules, options(errors));
        auto plain = make(rules, none(errors));
        for (const std::string text : {"ab)", "a(b(c)d)e", "a(b", "ab!!cd", "a\n(b\n!)", ")"}) {
            EXPECT_EQ(lex(*fast, text), lex(*plain, text)) << text;
        }
    }
    auto fast = make(rules, options(error_policy::raise));
    EXPECT_EQ(lex(*fast, "ab\n)"), std::vector<std::string>({"cannot pop the mode stack: already at the root mode @3 2:1"}));
    // Pushing past the depth limit, deep inside a run the automata lex alone.
    const std::string deep(tessel::max_mode_depth, '(');
    EXPECT_EQ(lex(*fast, deep).back().rfind("cannot push another mode: the mode stack is 65536 deep", 0), 0u);
}

}  // namespace
