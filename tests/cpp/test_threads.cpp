// Threads sharing one freshly built regex and one freshly built lexer.
//
// A regex fills its lazy engine slot (byte programs, class tables, the backtracker's and the
// shapes' tables) on first need, under one of the striped mutexes; a lexer is immutable but
// its rules' regexes are those same lazily filled objects.  Here 8 threads are released at
// once on objects nothing has used yet, so the first builds race, and every answer must be
// the one a single thread gets from an identical object built apart.  Run under
// ThreadSanitizer (the .ci/run block "ThreadSanitizer"), a data race in the lazy builds fails
// the run even when the answers happen to come out right.
#include <gtest/gtest.h>

#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lexer_test_support.h"
#include "kestrel/regex.h"
#include "tessel/stream.h"

namespace {

constexpr int thread_count = 8;

// Runs body(t) on thread_count threads that start together; returns once all have ended.
template <typename Body>
void on_threads_at_once(Body body) {
    std::latch start(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            body(t);
        });
    }
    for (auto& th : threads) th.join();
}

// Every anchored match of the regex over the subject, one line per offset.
std::string every_match(const kestrel::regex& re, const std::string& subject) {
    std::string out;
    for (std::uint32_t at = 0; at <= subject.size(); ++at) {
        const kestrel::match_result r = re.match(at, subject);
        out += r.matched ? std::to_string(r.end()) : "-";
        const kestrel::streaming_match s = re.match_streaming(at, subject);
        out += s.open_end ? "+ " : " ";
    }
    return out;
}

TEST(Threads, EightThreadsMatchOneFreshRegex) {
    const std::string subject = "caf\xC3\xA9 na\xC3\xAFve \xF0\x9F\x98\x80 x_1 \xCE\xB1\xCE\xB2 42 \x80\xC3 end\n";
    const char* patterns[] = {
        "[\\u00e0-\\u00ff\\w]+(?<=\\u00e9)", "\\w+", "\\p{Greek}+", "(?i)CAF\\u00c9|na\\u00efve",
        "[^ ]++", "\\b\\w+\\b", "(a|b|c|\\d)+?x?", ".*(?=end)", "[\\x80-\\xff]+", "\\s+|\\S",
    };
    for (const char* pattern : patterns) {
        SCOPED_TRACE(pattern);
        const std::string expected = every_match(kestrel::regex(pattern), subject);
        const kestrel::regex fresh(pattern);
        std::vector<std::string> got(thread_count);
        on_threads_at_once([&](int t) { got[t] = every_match(fresh, subject); });
        for (const std::string& g : got) EXPECT_EQ(g, expected);
    }
}

TEST(Threads, EightThreadsLexWithOneFreshLexer) {
    using lexer_test::rule;
    auto rules = [] {
        return std::vector<tessel::rule>{
            rule(1, "[\\p{L}_][\\p{L}\\p{N}_]*"), rule(2, "\\d+"), rule(3, "\\s+", true),
            rule(4, "\"", false, {}, lexer_test::push("str")), rule(5, "[^\"\\\\]+", false, {"str"}),
            rule(6, "\\\\.", false, {"str"}), rule(7, "\"", false, {"str"}, lexer_test::pop()),
            rule(8, "(?<=\\d)[a-z]+"), rule(9, "[(){}+*/=-]"),
        };
    };
    std::string text;
    for (int i = 0; i < 40; ++i) text += "x\xC3\xA9" + std::to_string(i) + " = \"a\\\"\xCE\xB1 " + std::to_string(i) + "px\" (y+1)\n";
    text += "@";  // one unlexable byte at the end

    for (tessel::error_policy policy : {tessel::error_policy::token, tessel::error_policy::raise}) {
        const auto options = lexer_test::options(policy, tessel::column_unit::utf16);
        auto run = [&](const std::shared_ptr<const tessel::lexer>& lx) {
            std::string out;
            try {
                for (const auto& t : tessel::tokenize(*lx, text, true)) out += lexer_test::show(t) + "\n";
            } catch (const tessel::lex_error& e) {
                out += lexer_test::show(e) + "\n";
            }
            tessel::token_stream s(lx);
            try {
                for (std::size_t at = 0; at < text.size(); at += 5) {
                    for (const auto& t : s.feed(std::string_view(text).substr(at, 5))) out += lexer_test::show(t) + "\n";
                }
                for (const auto& t : s.finish()) out += lexer_test::show(t) + "\n";
            } catch (const tessel::lex_error& e) {
                out += lexer_test::show(e) + "\n";
            }
            return out;
        };
        const std::string expected = run(lexer_test::make(rules(), options));
        ASSERT_NE(expected.find("px"), std::string::npos);
        const auto fresh = lexer_test::make(rules(), options);
        std::vector<std::string> got(thread_count);
        on_threads_at_once([&](int t) { got[t] = run(fresh); });
        for (const std::string& g : got) EXPECT_EQ(g, expected);
    }
}

}  // namespace
