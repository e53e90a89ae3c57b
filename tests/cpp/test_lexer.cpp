// Lexer compilation: mode numbering, dispatch lists, the order and wording of every check,
// insignificant modes, the per-rule path report and the context a stream must keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "lexer_test_support.h"
#include "tessel/lexer.h"

namespace {

using namespace lexer_test;
using tessel::lexer;

std::string compile_error(std::vector<tessel::rule> rules, tessel::lexer_options options = {}) {
    try {
        lexer lx(std::move(rules), std::move(options));
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "compiled";
}

tessel::lexer_options requested(std::vector<std::string> dfa_modes) {
    tessel::lexer_options o = options(tessel::error_policy::raise, {}, std::move(dfa_modes));
    o.dfa = tessel::dfa_choice::requested;
    return o;
}

TEST(LexerCompile, ModesAreNumberedByFirstMention) {
    lexer lx({rule(1, "a", false, {"str", "code"}),
              rule(2, "b", false, {"mid"}, push("late")),  // the target counts after own modes
              rule(3, "c", false, {"tail"}, set("str")),
              rule(4, "d", false, {"late"}, pop())},
             {});
    const std::vector<std::string> names = {"default", "str", "code", "mid", "late", "tail"};
    ASSERT_EQ(lx.mode_count(), names.size());
    for (std::uint32_t m = 0; m < names.size(); ++m) {
        EXPECT_EQ(lx.mode_name(m), names[m]);
        EXPECT_EQ(lx.mode_index(names[m]), m);
    }
    EXPECT_FALSE(lx.mode_index("nope"));
    EXPECT_EQ(lx.rules()[1].action->target_index, 4u);
    EXPECT_EQ(lx.rules()[2].action->target_index, 1u);

    lexer empty({}, {});
    EXPECT_EQ(empty.mode_count(), 1u);
    EXPECT_EQ(empty.mode_name(0), "default");
}

std::vector<std::uint32_t> as_vector(tessel::dispatch_table::list l) { return {l.begin(), l.end()}; }

TEST(LexerCompile, DispatchListsFollowTheFirstBytes) {
    lexer lx({rule(1, "if"),                                  // single first byte
              rule(2, "[a-c]x", false, {"default", "x", "x"}),  // a set; two modes, x named twice
              rule(3, "b*"),                                  // can be empty: no known first byte
              rule(4, "bb")},
             {});
    using list = std::vector<std::uint32_t>;
    const tessel::dispatch_table d = lx.dispatch(0);
    EXPECT_EQ(as_vector(d['i']), list({0}));
    EXPECT_EQ(as_vector(d['a']), list({1}));
    EXPECT_EQ(as_vector(d['b']), list({1, 3}));
    EXPECT_EQ(as_vector(d['c']), list({1}));
    EXPECT_EQ(as_vector(d[tessel::no_first_byte_list]), list({2}));
    for (unsigned b = 0; b < 256; ++b) {
        if (b != 'i' && (b < 'a' || b > 'c')) {
            EXPECT_TRUE(d[b].empty()) << b;
        }
    }
    const tessel::dispatch_table x = lx.dispatch(1);
    EXPECT_EQ(as_vector(x['a']), list({1}));
    EXPECT_TRUE(x['i'].empty() && x[tessel::no_first_byte_list].empty());

    const kestrel::byte_set& open = lx.opening_bytes(0);
    EXPECT_EQ(open.count(), 4);
    EXPECT_TRUE(open.test('i') && open.test('a') && open.test('b') && open.test('c'));
    EXPECT_EQ(d.opening().count(), 4);
}

// The compact tables must say exactly what 257 plain lists per mode would: checked here
// against such lists built naively from the first-byte analysis, over modes that share
// tables, share only their byte split, or share nothing.
TEST(LexerCompile, CompactTablesEqualPlainLists) {
    std::vector<tessel::rule> rules;
    const char* patterns[] = {"[a-f]+", "a", "x|y", "[^a]", "b*", "\\d", "(?i)k", "ab|cd"};
    std::vector<std::vector<std::string>> modes_of = {{}, {"p", "q"}, {"q"}, {"p"}, {"r", "default"}, {"s"}, {"s", "r"}, {"t"}};
    for (std::size_t i = 0; i < std::size(patterns); ++i) rules.push_back(rule(std::int32_t(i), patterns[i], false, modes_of[i]));
    rules.push_back(rule(100, "[a-f]+", false, {"u"}));  // u's table equals default's in shape
    lexer lx(rules, {});
    for (std::uint32_t m = 0; m < lx.mode_count(); ++m) {
        std::array<std::vector<std::uint32_t>, 257> plain;
        for (std::uint32_t i = 0; i < lx.rules().size(); ++i) {
            const auto& r = lx.rules()[i];
            const bool in = r.in_mode.empty() ? m == 0
                                              : std::find(r.in_mode.begin(), r.in_mode.end(), lx.mode_name(m)) != r.in_mode.end();
            if (!in) continue;
            const auto& facts = r.regex.prog().facts;
            if (!facts.first_bytes_known) {
                plain[256].push_back(i);
                continue;
            }
            for (unsigned b = 0; b < 256; ++b) {
                if (facts.first_bytes.test(static_cast<std::uint8_t>(b))) plain[b].push_back(i);
            }
        }
        const tessel::dispatch_table t = lx.dispatch(m);
        for (unsigned b = 0; b <= 256; ++b) {
            EXPECT_EQ(as_vector(t[b]), plain[b]) << lx.mode_name(m) << " byte " << b;
            if (b < 256) {
                EXPECT_EQ(lx.opening_bytes(m).test(static_cast<std::uint8_t>(b)), !plain[b].empty());
            }
        }
    }
}

// Many small modes cost a few dozen bytes each, not a wide table each; modes with equal
// tables share one.
TEST(LexerCompile, SmallModesStaySmall) {
    constexpr std::size_t modes = 20000;
    std::vector<tessel::rule> distinct, alike;
    const tessel::rule one = rule(0, "a");
    for (std::size_t i = 0; i < modes; ++i) {
        tessel::rule r{std::int32_t(i), "a", one.regex, false, {"m" + std::to_string(i)}, std::nullopt};
        distinct.push_back(r);
        r.in_mode = {"m" + std::to_string(i), "n" + std::to_string(i)};
        alike.push_back(std::move(r));
    }
    const lexer a(std::move(distinct), {});
    EXPECT_LT(a.dispatch_bytes(), 80 * (modes + 1));
    const lexer b(std::move(alike), {});
    // Modes m_i and n_i have equal tables: the second of each pair costs only its index.
    EXPECT_LT(b.dispatch_bytes(), a.dispatch_bytes() + 8 * modes);
    EXPECT_EQ(as_vector(b.dispatch(*b.mode_index("n7"))['a']), std::vector<std::uint32_t>{7});
}

TEST(LexerCompile, EveryMessageInCheckOrder) {
    struct row {
        const char* what;
        std::vector<tessel::rule> rules;
        tessel::lexer_options options;
        std::string expected;
    };
    std::vector<row> rows;
    rows.push_back({"lowest free kind", {rule(-2147483643, "a")}, {}, "compiled"});
    rows.push_back({"error kind", {rule(1, "a"), rule(-2147483644, "b")}, {},
                    "rule 1: kind -2147483644 is reserved (tessel::end_of_input to tessel::error)"});
    rows.push_back({"first reserved rule wins", {rule(INT32_MIN, "a"), rule(-2147483645, "b")}, {},
                    "rule 0: kind -2147483648 is reserved (tessel::end_of_input to tessel::error)"});
    rows.push_back({"kinds before transitions", {rule(1, "", false, {}, push("default")), rule(INT32_MIN, "b")},
                    {}, "rule 1: kind -2147483648 is reserved (tessel::end_of_input to tessel::error)"});
    rows.push_back({"empty push pattern, target exists", {rule(1, "", false, {}, push("default"))}, {},
                    "a transition rule must consume input (empty pattern)"});
    rows.push_back({"empty pop pattern", {rule(1, "a"), rule(2, "", false, {}, pop())}, {},
                    "a transition rule must consume input (empty pattern)"});
    rows.push_back({"a* is not literally empty", {rule(1, "a*", false, {}, push("default"))}, {}, "compiled"});
    rows.push_back({"push to a mode with no rule", {rule(1, "a", false, {}, push("x"))}, {},
                    "a transition targets the empty mode 'x' (no rule is active in it)"});
    rows.push_back({"set to a mode with no rule", {rule(1, "a", false, {}, set("y"))}, {},
                    "a transition targets the empty mode 'y' (no rule is active in it)"});
    rows.push_back({"push to default with no default rule", {rule(1, "a", false, {"x"}, push("default"))}, {},
                    "a transition targets the empty mode 'default' (no rule is active in it)"});
    rows.push_back({"push to default named explicitly", {rule(1, "a", false, {"default"}, push("default"))}, {},
                    "compiled"});
    rows.push_back({"pop needs no target", {rule(1, "a", false, {}, pop())}, {}, "compiled"});
    rows.push_back({"transitions in rule order",
                    {rule(1, "a", false, {}, push("x")), rule(2, "", false, {}, pop())}, {},
                    "a transition targets the empty mode 'x' (no rule is active in it)"});
    rows.push_back({"unknown insignificant", {rule(1, "a")}, options(tessel::error_policy::raise, {}, {}, {"default", "nope"}),
                    "insignificant_modes names an unknown mode: nope"});
    rows.push_back({"unknown dfa mode, auto", {rule(1, "a")}, options(tessel::error_policy::raise, {}, {"nope"}),
                    "dfa_modes names an unknown mode: nope"});
    rows.push_back({"unknown dfa mode, requested", {rule(1, "a")},
                    requested({"default", ""}),
                    "dfa_modes names an unknown mode: "});
    rows.push_back({"insignificant before dfa", {rule(1, "a")},
                    options(tessel::error_policy::raise, {}, {"d"}, {"i"}),
                    "insignificant_modes names an unknown mode: i"});
    for (row& r : rows) {
        EXPECT_EQ(compile_error(std::move(r.rules), std::move(r.options)), r.expected) << r.what;
    }
}

TEST(LexerCompile, InsignificantModesAndAccessors) {
    lexer lx({rule(1, "a", false, {"x", "y"})},
             options(tessel::error_policy::token, tessel::column_unit::utf16, {"x"}, {"y"}));
    EXPECT_TRUE(lx.significant(0));
    EXPECT_TRUE(lx.significant(1));
    EXPECT_FALSE(lx.significant(2));
    EXPECT_EQ(lx.errors(), tessel::error_policy::token);
    EXPECT_EQ(lx.columns(), tessel::column_unit::utf16);
    // Mode 0 has no rule, so no automaton; x and y have one each (dfa = auto).
    EXPECT_EQ(lx.dfa_modes_active(), std::vector<std::string>({"x", "y"}));
    EXPECT_EQ(lx.automaton(0), nullptr);
    EXPECT_NE(lx.automaton(1), nullptr);
}

TEST(LexerCompile, PikeRulesListEveryRuleOfTheMode) {
    // Only x is requested: default and t run every rule per rule; x runs per rule only the
    // rule that its automaton cannot take (a word boundary).
    tessel::lexer_options o = options(tessel::error_policy::raise, {}, {"x"});
    o.dfa = tessel::dfa_choice::requested;
    lexer lx({rule(1, "a"), rule(2, "b", false, {"default", "x"}), rule(3, "c\\b", false, {"x"}, push("t")),
              rule(4, "d", false, {"t"})},
             std::move(o));
    EXPECT_EQ(lx.pike_rules("default"), std::vector<std::int32_t>({0, 1}));
    EXPECT_EQ(lx.pike_rules("x"), std::vector<std::int32_t>({2}));
    EXPECT_EQ(lx.pike_rules("t"), std::vector<std::int32_t>({3}));
    EXPECT_EQ(lx.dfa_modes_active(), std::vector<std::string>({"x"}));
    try {
        lx.pike_rules("nope");
        ADD_FAILURE() << "no throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "pike_rules names an unknown mode: nope");
    }
}

TEST(LexerCompile, ContextBytes) {
    struct row {
        std::vector<const char*> patterns;
        std::uint32_t expected;
    } rows[] = {
        {{"a", "b+"}, 0},
        {{"a$", "a\\Z", "(?m)a$"}, 0},  // end tests look forward only
        {{"\\bx"}, 4},
        {{"\\Bx"}, 4},
        {{"^a"}, 4},
        {{"(?m)^a"}, 4},
        {{"(?=\\b)a"}, 4},  // a boundary inside a lookahead still looks back
        {{"(?<=abcdefghij)x"}, 14},
        {{"(?<=ab|c)x", "\\bq", "(?<=é)y"}, 6},
        {{"x(?<!ab)", "(?=abcdefgh)x"}, 6},  // lookaheads add nothing
    };
    for (const row& r : rows) {
        std::vector<tessel::rule> rules;
        for (const char* p : r.patterns) rules.push_back(rule(1, p));
        EXPECT_EQ(lexer(std::move(rules), {}).context_bytes(), r.expected) << r.patterns[0];
    }
}

}  // namespace
