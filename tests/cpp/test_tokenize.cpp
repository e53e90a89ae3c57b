// Eager tokenizing: longest match and ties, skip rules, both error policies, mode changes and
// their limits, the end of the text, and every lexing message with its exact position.
#include <gtest/gtest.h>

#include <stdexcept>

#include "lexer_test_support.h"
#include "tessel/runtime.h"
#include "tessel/step.h"

namespace {

using namespace lexer_test;
using tessel::error_policy;

// The tokens, one per line, or the error.
std::vector<std::string> lex(const tessel::lexer& lx, std::string_view text, bool eof = false) {
    try {
        return show(tessel::tokenize(lx, text, eof));
    } catch (const tessel::lex_error& e) {
        return {"error: " + show(e)};
    }
}

using lines = std::vector<std::string>;

TEST(Tokenize, LongestMatchThenLowerRuleIndex) {
    auto kw_first = make({rule(1, "if"), rule(2, "[a-z]+")});
    auto id_first = make({rule(2, "[a-z]+"), rule(1, "if")});
    EXPECT_EQ(lex(*kw_first, "if"), lines({"1 \"if\" @0 1:1 m0"}));
    EXPECT_EQ(lex(*kw_first, "iff"), lines({"2 \"iff\" @0 1:1 m0"}));
    EXPECT_EQ(lex(*id_first, "if"), lines({"2 \"if\" @0 1:1 m0"}));

    // The tie rule holds between list b and list 256 too, whichever is visited first.
    auto maybe_first = make({rule(3, "x*"), rule(4, "[a-z]+")});
    auto maybe_last = make({rule(4, "[a-z]+"), rule(3, "x*")});
    EXPECT_EQ(lex(*maybe_first, "xx"), lines({"3 \"xx\" @0 1:1 m0"}));
    EXPECT_EQ(lex(*maybe_last, "xx"), lines({"4 \"xx\" @0 1:1 m0"}));
    EXPECT_EQ(lex(*maybe_first, "xab"), lines({"4 \"xab\" @0 1:1 m0"}));

    // A rule contributes its pattern's preferred match, not its longest.
    auto alt = make({rule(5, "a|ab"), rule(6, "b")});
    EXPECT_EQ(lex(*alt, "ab"), lines({"5 \"a\" @0 1:1 m0", "6 \"b\" @1 1:2 m0"}));

    const tessel::best_match m = tessel::longest_match(*maybe_last, 0, reinterpret_cast<const std::uint8_t*>("xx!"), 3, 0);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.rule, 0u);
    EXPECT_EQ(m.length, 2u);
}

TEST(Tokenize, SkipRulesPositionsAndEof) {
    auto lx = make({rule(1, "[a-zé]+"), rule(2, "[ \n]+", true)},
                   options(error_policy::raise, tessel::column_unit::codepoints));
    EXPECT_EQ(lex(*lx, "a b"), lines({"1 \"a\" @0 1:1 m0", "1 \"b\" @2 1:3 m0"}));
    EXPECT_EQ(lex(*lx, "é é\n é", true),
              lines({"1 \"é\" @0 1:1 m0", "1 \"é\" @3 1:3 m0", "1 \"é\" @7 2:2 m0",
                     std::to_string(INT32_MIN) + " \"\" @9 2:3 m0"}));
    EXPECT_EQ(lex(*lx, "", true), lines({std::to_string(INT32_MIN) + " \"\" @0 1:1 m0"}));
    EXPECT_TRUE(lex(*lx, "").empty());
    EXPECT_TRUE(lex(*lx, "  ").empty());
}

TEST(Tokenize, ErrorRuns) {
    const auto token_policy = options(error_policy::token, tessel::column_unit::codepoints);
    const std::string err = std::to_string(tessel::error_kind);
    auto lx = make({rule(1, "[a-z]+")}, token_policy);
    EXPECT_EQ(lex(*lx, "ab12cd"), lines({"1 \"ab\" @0 1:1 m0", err + " \"12\" @2 1:3 m0", "1 \"cd\" @4 1:5 m0"}));
    EXPECT_EQ(lex(*lx, "é\nb"), lines({err + " \"é\n\" @0 1:1 m0", "1 \"b\" @3 2:1 m0"}));
    EXPECT_EQ(lex(*lx, "a!!"), lines({"1 \"a\" @0 1:1 m0", err + " \"!!\" @1 1:2 m0"}));

    // The run goes on past positions where a candidate fails or matches only the empty string.
    auto tried = make({rule(1, "ab"), rule(2, "[0-9]+"), rule(3, "(?<=!)x?")}, token_policy);
    EXPECT_EQ(lex(*tried, "aaab1"), lines({err + " \"aa\" @0 1:1 m0", "1 \"ab\" @2 1:3 m0", "2 \"1\" @4 1:5 m0"}));
    EXPECT_EQ(lex(*tried, "b!!1"), lines({err + " \"b!!\" @0 1:1 m0", "2 \"1\" @3 1:4 m0"}));

    // With no rules at all, the whole text is one run.
    auto none = make({}, token_policy);
    EXPECT_EQ(lex(*none, "xyz", true), lines({err + " \"xyz\" @0 1:1 m0", std::to_string(INT32_MIN) + " \"\" @3 1:4 m0"}));
    auto none_raise = make({});
    EXPECT_EQ(lex(*none_raise, "xyz"), lines({"error: no rule matches in mode 'default' (entered at 1:1) @0 1:1"}));
}

TEST(Tokenize, ModesPushPopSet) {
    auto lx = make({rule(1, "\"", false, {}, push("str")), rule(2, "[a-z]+"), rule(3, "[^\"{]+", false, {"str"}),
                    rule(4, "\"", false, {"str"}, pop()), rule(5, "\\{", false, {"str"}, push("default")),
                    rule(6, "\\}", false, {}, pop()), rule(7, "~", false, {}, set("str")),
                    rule(8, " ", true, {}, push("str"))});
    EXPECT_EQ(lex(*lx, "ab\"x{cd}y\"z"),
              lines({"2 \"ab\" @0 1:1 m0", "1 \"\"\" @2 1:3 m0", "3 \"x\" @3 1:4 m1", "5 \"{\" @4 1:5 m1",
                     "2 \"cd\" @5 1:6 m0", "6 \"}\" @7 1:8 m0", "3 \"y\" @8 1:9 m1", "4 \"\"\" @9 1:10 m1",
                     "2 \"z\" @10 1:11 m0"}));
    // A set on the root changes the root mode: no unterminated mode, eof still in mode 0.
    EXPECT_EQ(lex(*lx, "~a", true), lines({"7 \"~\" @0 1:1 m0", "3 \"a\" @1 1:2 m1",
                                           std::to_string(INT32_MIN) + " \"\" @2 1:3 m0"}));
    // A skip rule's transition takes effect.
    EXPECT_EQ(lex(*lx, "a b\""), lines({"2 \"a\" @0 1:1 m0", "3 \"b\" @2 1:3 m1", "4 \"\"\" @3 1:4 m1"}));
}

TEST(Tokenize, EveryMessageAtItsPosition) {
    auto lx = make({rule(1, "\\(", false, {}, push("p")), rule(2, "[a-z]+", false, {"default", "p"}),
                    rule(3, "\\)", false, {"default", "p"}, pop()), rule(4, "\n", true, {"default", "p"}),
                    rule(5, "%", false, {"p"}, set("q")), rule(6, "z*", false, {"q"}), rule(7, "\n", false, {"q"})});
    auto tokens = make({rule(1, "\\(", false, {}, push("p")), rule(2, "[a-z]+", false, {"p"}),
                        rule(3, "\\)", false, {"default", "p"}, pop()), rule(6, "b*")},
                       options(error_policy::token));
    const struct {
        const tessel::lexer& lx;
        const char* text;
        const char* expected;
    } rows[] = {
        {*lx, "ab!", "no rule matches in mode 'default' (entered at 1:1) @2 1:3"},
        {*lx, "a\n (b!", "no rule matches in mode 'default' (entered at 1:1) @2 2:1"},
        {*lx, "a\n(b!", "no rule matches in mode 'p' (entered at 2:1) @4 2:3"},
        {*lx, "ab)", "cannot pop the mode stack: already at the root mode @2 1:3"},
        {*lx, "a\n\n(bb", "unterminated mode 'p' (entered at 3:1) @3 3:1"},
        {*lx, "(\n%\n", "unterminated mode 'q' (entered at 1:1) @0 1:1"},  // set keeps the entry
        {*lx, "(%a", "zero-length match in mode 'q' (rule never advances) @2 1:3"},
        {*tokens, "bb)", "cannot pop the mode stack: already at the root mode @2 1:3"},
        {*tokens, "c", "zero-length match in mode 'default' (rule never advances) @0 1:1"},
    };
    for (const auto& r : rows) EXPECT_EQ(lex(r.lx, r.text), lines({std::string("error: ") + r.expected})) << r.text;

    // Under errors = token a text that ends in a pushed mode gets an empty error token there.
    EXPECT_EQ(lex(*tokens, "(ab", true),
              lines({"1 \"(\" @0 1:1 m0", "2 \"ab\" @1 1:2 m1", std::to_string(tessel::error_kind) + " \"\" @3 1:4 m1",
                     std::to_string(INT32_MIN) + " \"\" @3 1:4 m0"}));
}

TEST(Tokenize, ModeStackDepth) {
    auto lx = make({rule(1, "a", false, {"default", "in"}, push("in")), rule(2, "b", false, {"in"}, pop())});
    const std::size_t pushes = tessel::max_mode_depth - 1;
    const std::string deepest = std::string(pushes, 'a') + std::string(pushes, 'b');
    const auto all = tessel::tokenize(*lx, deepest, false);
    ASSERT_EQ(all.size(), 2 * pushes);
    EXPECT_EQ(all.back().mode, 1u);
    EXPECT_EQ(lex(*lx, std::string(pushes + 1, 'a')),
              lines({"error: cannot push another mode: the mode stack is 65536 deep (tessel::max_mode_depth) @65535 1:65536"}));
}

// Lexing into a caller's list: the same tokens as tokenize whatever the list held before,
// the list's storage kept when it has the room, and nothing left behind by a failed run.
TEST(TokenizeInto, SameTokensIntoAReusedList) {
    auto modes = make({rule(1, "\"", false, {}, push("str")), rule(2, "[a-z]+"), rule(3, "[^\"{]+", false, {"str"}),
                       rule(4, "\"", false, {"str"}, pop()), rule(5, "\\{", false, {"str"}, push("default")),
                       rule(6, "\\}", false, {}, pop()), rule(7, "~", false, {}, set("str")),
                       rule(8, "[ \n]", true, {}, push("str"))},
                      options(error_policy::token, tessel::column_unit::utf16));
    auto words = make({rule(1, "[a-z\u00e9]+"), rule(2, "[ \n]+", true), rule(3, "[0-9]+")},
                      options(error_policy::token, tessel::column_unit::codepoints));
    struct row {
        const tessel::lexer& lx;
        std::string text;
        bool eof;
    };
    const std::vector<row> rows = {
        {*modes, "ab\"x{cd}y\"z", true},
        {*modes, "~a\n{b c}d", false},
        {*modes, "ab\"unterminated \U0001F600", true},
        {*words, std::string(3000, 'a') + " 12 \xc3\xa9\n!! 7", true},
        {*words, "", true},
        {*words, "x 1\ny", false},
    };
    std::vector<tessel::token> into{tessel::token{99, "stale", {}, 0}};
    for (const row& r : rows) {
        tessel::tokenize_into(r.lx, r.text, r.eof, into);
        EXPECT_EQ(show(into), show(tessel::tokenize(r.lx, r.text, r.eof))) << r.text;
    }

    // A list with room enough keeps its storage.
    std::vector<tessel::token> kept;
    kept.reserve(10000);
    const tessel::token* storage = kept.data();
    tessel::tokenize_into(*words, "a b c", true, kept);
    EXPECT_EQ(kept.data(), storage);
    EXPECT_EQ(kept.size(), 4u);

    // A lex_error leaves the list empty, not half filled.
    auto strict = make({rule(1, "[a-z]+"), rule(2, " ", true)});
    EXPECT_THROW(tessel::tokenize_into(*strict, "ab cd 12", false, kept), tessel::lex_error);
    EXPECT_TRUE(kept.empty());
}

TEST(Tokenize, TextLengthLimit) {
    EXPECT_NO_THROW(tessel::check_text_length(tessel::max_text_bytes));
    for (std::uint64_t limit : {tessel::max_text_bytes, std::uint64_t{5}}) {
        try {
            tessel::check_text_length(limit + 1, limit);
            ADD_FAILURE() << limit;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "text too long: tessel lexes at most " + std::to_string(limit) + " bytes");
        }
    }
}



// Lexing as a whole stays linear where a rule loses after scanning far: the work the engine
// counts for all the per-rule matches of a run over 2n bytes is at most about twice that over
// n bytes.  Each lexer has the rule and a one-character fallback that wins wherever it loses;
// each text makes the rule fail far ahead from nearly every token start.
TEST(LinearLexing, FailedScansAreNotRepeatedAcrossTokens) {
    struct work_case {
        const char* name;
        std::vector<tessel::rule> rules;
        std::string unit;
    };
    const std::vector<work_case> cases = {
        {"block comment", {rule(1, "/\\*[\\s\\S]*?\\*/"), rule(2, "[\\s\\S]")}, "/* "},
        {"nested repeat before $", {rule(1, "(a+)+$"), rule(2, "[\\s\\S]")}, "a"},
        {"words before $", {rule(1, "(\\w+\\s?)+$"), rule(2, "[\\s\\S]")}, "ab "},
        {"lookahead to a word's end", {rule(1, "(?=\\w*x)\\w"), rule(2, "[\\s\\S]")}, "a"},
        {"string before a semicolon", {rule(1, "\"[^\"]*\"(?=;)"), rule(2, "[\\s\\S]")}, "\"ab\" "},
        {"lazy run to a boundary", {rule(1, "a[^z]*?z\\b"), rule(2, "[\\s\\S]")}, "ab"},
        {"match that reads to the end", {rule(1, "a(?:a*b\\b)?"), rule(2, "[\\s\\S]")}, "a"},
    };
    for (const work_case& c : cases) {
        auto lx = make(c.rules);
        auto work = [&](std::size_t bytes) {
            std::string text;
            while (text.size() < bytes) text += c.unit;
            text += "!";
            tessel::dfa_memos memos(lx->mode_count(), static_cast<std::uint32_t>(text.size()));
            std::vector<tessel::mode_entry> stack{tessel::mode_entry{}};
            tessel::detail::run_state run{reinterpret_cast<const std::uint8_t*>(text.data()),
                                          static_cast<std::uint32_t>(text.size()), 0, tessel::position{}, &stack,
                                          &memos};
            tessel::token t;
            std::size_t tokens = 0;
            while (tessel::detail::next_token(*lx, run, t) == tessel::detail::step_result::token) ++tokens;
            EXPECT_GT(tokens, bytes / 4) << c.name;
            return static_cast<double>(memos.match_work());
        };
        const double small = work(20000), large = work(40000);
        EXPECT_GT(small, 0) << c.name;
        EXPECT_LT(large / small, 2.3) << c.name << ": " << small << " then " << large;
    }
}

}  // namespace
