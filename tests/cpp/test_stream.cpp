// Scan cursors and token streams: the end state, what a stream holds back and when it lets go,
// errors carrying the tokens decided before them, misuse, the length limit, and a seeded
// comparison of streams fed in random chunks with eager lexing of the whole text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "lexer_test_support.h"
#include "tessel/stream.h"

namespace {

using namespace lexer_test;
using lines = std::vector<std::string>;
using tessel::error_policy;
using tessel::token_stream;

// What one feed (or finish, for a null chunk) returns, or its lex_error and the tokens it carries.
lines call(token_stream& s, const char* chunk) {
    try {
        return show(chunk ? s.feed(chunk) : s.finish());
    } catch (const tessel::lex_error& e) {
        lines out = show(e.tokens);
        out.push_back("error: " + show(e));
        return out;
    }
}

std::string logic_error_of(token_stream& s, bool feed) {
    try {
        feed ? s.feed("x") : s.finish();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(ScanCursor, YieldsTheEagerTokensThenEofOnceThenTheEndState) {
    auto lx = make({rule(1, "[a-z]+"), rule(2, " ", true)});
    const std::string text = "ab cd";
    tessel::scan_cursor scan(lx, text, true), twin(lx, text, true);
    const tessel::scan_cursor end;
    EXPECT_FALSE(scan == end);
    std::vector<tessel::token> got;
    for (scan.advance(); !scan.exhausted(); scan.advance()) {
        EXPECT_FALSE(scan == end);
        got.push_back(scan.current());
    }
    EXPECT_EQ(show(got), show(tessel::tokenize(*lx, text, true)));
    EXPECT_TRUE(scan == end);
    scan.advance();  // stays at the end
    EXPECT_TRUE(scan == end);
    twin.advance();
    twin.advance();
    EXPECT_FALSE(twin == end);
    tessel::scan_cursor other(lx, text, false);
    other.advance();
    EXPECT_FALSE(twin == other);  // at "cd" versus at "ab"
    other.advance();
    EXPECT_TRUE(twin == other);
}

TEST(ScanCursor, AnErrorLeavesItExhausted) {
    auto lx = make({rule(1, "[a-z]+")});
    tessel::scan_cursor scan(lx, "ab!", false);
    scan.advance();
    EXPECT_EQ(show(scan.current()), "1 \"ab\" @0 1:1 m0");
    EXPECT_THROW(scan.advance(), tessel::lex_error);
    EXPECT_TRUE(scan.exhausted());
    EXPECT_TRUE(scan == tessel::scan_cursor());
    EXPECT_NO_THROW(scan.advance());
}

TEST(TokenStream, HoldsBackWhatMoreTextCouldChange) {
    auto a_ab = make({rule(1, "a"), rule(2, "ab")});
    token_stream s1(a_ab);
    EXPECT_EQ(call(s1, "a"), lines{});
    EXPECT_EQ(s1.buffered(), 1u);
    EXPECT_EQ(call(s1, "c"), lines({"1 \"a\" @0 1:1 m0",
                                    "error: no rule matches in mode 'default' (entered at 1:1) @1 1:2"}));
    EXPECT_TRUE(s1.finished());
    EXPECT_TRUE(s1.failed());
    EXPECT_EQ(logic_error_of(s1, true), "stream_feed: the stream ended with an error");
    EXPECT_EQ(logic_error_of(s1, false), "stream_finish: the stream ended with an error");
    token_stream s2(a_ab);
    EXPECT_EQ(call(s2, "a"), lines{});
    EXPECT_EQ(call(s2, nullptr), lines({"1 \"a\" @0 1:1 m0"}));
    EXPECT_FALSE(s2.failed());
    EXPECT_EQ(logic_error_of(s2, true), "stream_feed: the stream is finished");
    EXPECT_EQ(logic_error_of(s2, false), "stream_finish: the stream is finished");

    auto words = make({rule(1, "[a-z]+"), rule(2, " ", true)});
    token_stream s3(words);
    EXPECT_EQ(call(s3, "abc"), lines{});
    EXPECT_EQ(s3.buffered(), 3u);
    EXPECT_EQ(call(s3, " "), lines({"1 \"abc\" @0 1:1 m0"}));
    EXPECT_EQ(s3.buffered(), 1u);  // a skip match at the end could still grow
    EXPECT_EQ(call(s3, "d e!f"), lines({"1 \"d\" @4 1:5 m0", "1 \"e\" @6 1:7 m0",
                                        "error: no rule matches in mode 'default' (entered at 1:1) @7 1:8"}));
    EXPECT_EQ(logic_error_of(s3, true), "stream_feed: the stream ended with an error");
}

TEST(TokenStream, IncompleteCharacterWaitsInThePendingTail) {
    auto lx = make({rule(1, "[a-zé]+"), rule(2, " ", true)}, options(error_policy::raise, tessel::column_unit::codepoints));
    token_stream s(lx);
    EXPECT_EQ(call(s, "ab \xC3"), lines({"1 \"ab\" @0 1:1 m0"}));
    EXPECT_EQ(s.buffered(), 2u);  // the blank and the held-back lead byte
    EXPECT_EQ(call(s, "\xA9 x"), lines({"1 \"é\" @3 1:4 m0"}));
    EXPECT_EQ(call(s, nullptr), lines({"1 \"x\" @6 1:6 m0"}));
    EXPECT_EQ(s.buffered(), 0u);
    EXPECT_EQ(show(tessel::tokenize(*lx, "ab \xC3\xA9 x", false)),
              lines({"1 \"ab\" @0 1:1 m0", "1 \"é\" @3 1:4 m0", "1 \"x\" @6 1:6 m0"}));

    // A raw-byte rule decides a lone lead byte at once; its width (two UTF-16 units when it
    // begins a four-byte character) must wait for the bytes after it.
    auto raw = make({rule(1, "\\xF0"), rule(2, "\\x9F\\x98\\x80"), rule(3, "x")},
                    options(error_policy::raise, tessel::column_unit::utf16));
    token_stream r(raw);
    EXPECT_EQ(call(r, "\xF0"), lines{});
    EXPECT_EQ(r.buffered(), 1u);
    EXPECT_EQ(call(r, "\x9F\x98\x80x"),
              lines({"1 \"\xF0\" @0 1:1 m0", "2 \"\x9F\x98\x80\" @1 1:3 m0", "3 \"x\" @4 1:3 m0"}));
}

TEST(TokenStream, ErrorRunsAndModesAtTheEnd) {
    const std::string err = std::to_string(tessel::error_kind);
    auto lx = make({rule(1, "[a-z]+")}, options(error_policy::token));
    token_stream ended_by_finish(lx), ended_by_feed(lx);
    for (token_stream* s : {&ended_by_finish, &ended_by_feed}) {
        EXPECT_EQ(call(*s, "ab!!"), lines({"1 \"ab\" @0 1:1 m0"}));
        EXPECT_EQ(call(*s, "!"), lines{});
    }
    EXPECT_EQ(call(ended_by_finish, nullptr), lines({err + " \"!!!\" @2 1:3 m0"}));
    // The run ends where a match begins, once that match is decided too.
    EXPECT_EQ(call(ended_by_feed, "c"), lines{});
    EXPECT_EQ(call(ended_by_feed, "d!"), lines({err + " \"!!!\" @2 1:3 m0", "1 \"cd\" @5 1:6 m0"}));

    std::vector<tessel::rule> rules;
    rules.push_back(rule(1, "\\(", false, {}, push("p")));
    rules.push_back(rule(2, "[a-z]+", false, {"p"}));
    for (error_policy policy : {error_policy::raise, error_policy::token}) {
        token_stream s(make(rules, options(policy)));
        EXPECT_EQ(call(s, "(ab"), lines({"1 \"(\" @0 1:1 m0"}));
        EXPECT_EQ(call(s, nullptr),
                  lines({"2 \"ab\" @1 1:2 m1", policy == error_policy::raise
                                                   ? "error: unterminated mode 'p' (entered at 1:1) @0 1:1"
                                                   : err + " \"\" @3 1:4 m1"}));
    }
}

TEST(TokenStream, ModeChangesBeforeAnUndecidedTokenStand) {
    auto lx = make({rule(1, "[a-z]+"), rule(2, "\\(", true, {}, push("p")), rule(3, "[a-z]+", false, {"p"}),
                    rule(4, "\\)", true, {"p"}, pop()), rule(5, "!", true, {}, set("p"))});
    token_stream s(lx);
    EXPECT_EQ(call(s, "(ab"), lines{});  // the push is made; the word waits, in the pushed mode
    EXPECT_EQ(s.buffered(), 3u);        // the skipped ( counts until the word is handed out
    EXPECT_EQ(call(s, ")cd"), lines({"3 \"ab\" @1 1:2 m1"}));
    EXPECT_EQ(call(s, "!e"), lines({"1 \"cd\" @4 1:5 m0"}));  // and so does the set
    EXPECT_EQ(call(s, nullptr), lines({"3 \"e\" @7 1:8 m1"}));
}

TEST(TokenStream, LengthLimit) {
    auto lx = make({rule(1, "[a-zé]+")}, options(error_policy::raise, tessel::column_unit::utf16));
    token_stream s(lx, 6);
    EXPECT_EQ(call(s, "abc\xC3"), lines{});  // the held-back byte counts too
    try {
        s.feed("def");
        ADD_FAILURE() << "no throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "text too long: tessel lexes at most 6 bytes");
    }
    EXPECT_FALSE(s.finished());
    EXPECT_EQ(s.buffered(), 4u);  // the refused chunk left no trace
    EXPECT_THROW(s.check_feed(3), std::invalid_argument);
    EXPECT_NO_THROW(s.check_feed(2));
    EXPECT_EQ(call(s, "\xA9" "d"), lines{});
    EXPECT_EQ(call(s, nullptr), lines({"1 \"abcéd\" @0 1:1 m0"}));
}

// A refused feed, whatever the reason, leaves the stream exactly as it was: the buffer does not
// grow, and check_feed refuses the same chunk with the same message before anything is touched.
TEST(TokenStream, RefusedFeedsChangeNothing) {
    auto lx = make({rule(1, "a"), rule(2, "ab")});
    const std::string big(1 << 20, 'a');
    struct case_ {
        const char* what;
        const char* before;  // fed first; nullptr: finish
        const char* message;
    };
    for (const case_& c : {case_{"after finish", nullptr, "stream_feed: the stream is finished"},
                           case_{"after an error", "a!", "stream_feed: the stream ended with an error"}}) {
        SCOPED_TRACE(c.what);
        token_stream s(lx);
        call(s, "a");
        call(s, c.before);
        const std::size_t held = s.buffered();
        for (int i = 0; i < 3; ++i) {
            try {
                s.feed(big);
                ADD_FAILURE() << "no throw";
            } catch (const std::logic_error& e) {
                EXPECT_STREQ(e.what(), c.message);
            }
            EXPECT_EQ(s.buffered(), held);
        }
        EXPECT_THROW(s.check_feed(0), std::logic_error);
    }
}

// ---- streams fed in random chunks against eager lexing ----

struct outcome {
    lines tokens;
    std::string error;
};

// Eager lexing, keeping the tokens before an error (a scan yields them one at a time).
outcome eager(const std::shared_ptr<const tessel::lexer>& lx, const std::string& text) {
    outcome o;
    tessel::scan_cursor scan(lx, text, false);
    try {
        for (scan.advance(); !scan.exhausted(); scan.advance()) o.tokens.push_back(show(scan.current()));
    } catch (const tessel::lex_error& e) {
        o.error = show(e);
    }
    return o;
}

outcome streamed(const std::shared_ptr<const tessel::lexer>& lx, const std::string& text, std::mt19937& rng) {
    outcome o;
    token_stream s(lx);
    try {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % 7, text.size() - at);
            for (const auto& t : s.feed(std::string_view(text).substr(at, n))) o.tokens.push_back(show(t));
            at += n;
        }
        for (const auto& t : s.finish()) o.tokens.push_back(show(t));
        EXPECT_EQ(s.buffered(), 0u);
    } catch (const tessel::lex_error& e) {
        for (const auto& t : e.tokens) o.tokens.push_back(show(t));
        o.error = show(e);
        EXPECT_TRUE(s.finished());
    }
    return o;
}

TEST(TokenStream, RandomChunksGiveTheEagerTokens) {
    const char* env = std::getenv("TESSEL_TEST_SEED");
    const unsigned seed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : 7031u;
    std::mt19937 rng(seed);
    const std::vector<const char*> singles = {"[a-z]+", "[0-9]+", "if", "é+", "\\w+", "\\bx", "(?<=a)b",
                                              "a|ab", "ab", "x$", "😀", ".", "[^a-z ]", "b*",
                                              "\\xC3", "\\xA9", "\\xF0", "\\x9F\\x98", "\\x80+"};
    const std::vector<const char*> pieces = {"a", "b", "x", "i", "f", "1", " ", "\n", "é", "😀", "<", ">",
                                             "(", ")", "\xC3", "\x80", "!", "\xF0\x9F", "\x98\x80"};
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<tessel::rule> rules;
        for (int i = 1 + rng() % 5; i > 0; --i) rules.push_back(rule(trial % 50 + i, singles[rng() % singles.size()]));
        rules.push_back(rule(90, "[ \n]+", true));
        if (rng() % 2) {  // a mode entered and left by tokens
            rules.push_back(rule(91, "<", false, {}, push("tag")));
            rules.push_back(rule(92, "[a-z ]+", false, {"tag"}));
            rules.push_back(rule(93, ">", false, {"tag"}, pop()));
        }
        if (rng() % 2) {  // and one entered and left by skips
            rules.push_back(rule(94, "\\(", true, {"default", "tag"}, push("paren")));
            rules.push_back(rule(95, "[a-z1]+|é", false, {"paren"}));
            rules.push_back(rule(96, "\\)", true, {"paren"}, pop()));
        }
        std::shuffle(rules.begin(), rules.end(), rng);
        std::string described;  // for failure messages
        for (const auto& r : rules) described += " " + std::to_string(r.kind) + ":" + r.pattern;
        auto lx = make(std::move(rules), options(static_cast<error_policy>(rng() % 2),
                                                 static_cast<tessel::column_unit>(rng() % 3)));
        std::string text;
        for (int i = rng() % 30; i > 0; --i) text += pieces[rng() % pieces.size()];

        const outcome want = eager(lx, text);
        for (int split = 0; split < 3; ++split) {
            const outcome got = streamed(lx, text, rng);
            ASSERT_EQ(got.tokens, want.tokens) << "seed " << seed << " trial " << trial << " text "
                                               << testing::PrintToString(text) << described
                                               << " error " << want.error << " / " << got.error;
            ASSERT_EQ(got.error, want.error) << "seed " << seed << " trial " << trial << described;
        }
    }
}

// A token that stays undecided over many chunks is not lexed again from its start on every
// call: the automaton's scan goes on from where it stopped, an error run from where it got
// to, and skip matches made before it stand.  The stream's work count (bytes the automata
// read, per-rule matcher steps) at twice the text must stay about twice, in one-byte and in
// 4 KiB chunks; restarting gives four times.
TEST(TokenStream, LongUndecidedTokensCostLinearWork) {
    struct work_case {
        const char* name;
        std::vector<tessel::rule> rules;
        std::string head, unit;
        error_policy errors = error_policy::token;
    };
    std::vector<tessel::rule> pushed;
    pushed.push_back(rule(1, "\\(", false, {}, push("p")));
    pushed.push_back(rule(2, "[a-z]+", false, {"p"}));
    const std::vector<work_case> cases = {
        {"unterminated string", {rule(1, "\"(?:[^\"\\\\]|\\\\.)*\""), rule(2, "[a-z]+"), rule(3, " ", true)}, "ab \"", "ab "},
        {"unterminated comment",
         {rule(1, "/\\*(?:[^*]|\\*+[^*/])*\\*+/"), rule(2, "[\\s\\S]")}, "", "/* "},
        {"long skip run", {rule(1, "[a-z]+"), rule(2, " +", true)}, "ab", " "},
        {"error run", {rule(1, "[a-z]+")}, "ab", "!?"},
        {"token in a pushed mode", pushed, "(", "a"},
    };
    for (const work_case& c : cases) {
        auto lx = make(c.rules, options(c.errors));
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{4096}}) {
            auto work = [&](std::size_t bytes) {
                std::string text = c.head;
                while (text.size() < bytes) text += c.unit;
                token_stream s(lx);
                std::vector<std::string> got;
                for (std::size_t at = 0; at < text.size(); at += chunk) {
                    for (const auto& t : s.feed(std::string_view(text).substr(at, chunk))) got.push_back(show(t));
                }
                for (const auto& t : s.finish()) got.push_back(show(t));
                EXPECT_EQ(got, show(tessel::tokenize(*lx, text, false))) << c.name;
                return static_cast<double>(s.match_work());
            };
            const double small = work(20000), large = work(40000);
            EXPECT_GT(small, 10000) << c.name;
            EXPECT_LT(large / small, 2.3) << c.name << ", chunks of " << chunk << ": " << small << " then " << large;
        }
    }
}

}  // namespace
