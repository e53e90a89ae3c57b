// The DFA and the longest-agreement check: construction, the five build messages, the memo and
// its two messages, and seeded comparisons against an oracle for the longest match built from
// the regex itself (the pattern followed by an end-of-text test, run on every prefix).
#include <gtest/gtest.h>

#include "match_corpus.h"
#include "match_text.h"

#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/agreement_check.h"
#include "kestrel/dfa.h"
#include "kestrel/literal_trie.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using kestrel::agreement;

const std::uint8_t* bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// Compiled patterns and their DFA, kept together so the programs outlive the build.
struct built {
    std::vector<kestrel::regex> regexes;
    std::unique_ptr<kestrel::dfa> automaton;

    explicit built(const std::vector<std::string>& patterns, const std::vector<bool>& escapes = {}) {
        for (const std::string& p : patterns) regexes.emplace_back(p);
        std::vector<const kestrel::program*> programs;
        for (const kestrel::regex& r : regexes) programs.push_back(&r.prog());
        automaton = std::make_unique<kestrel::dfa>(programs, escapes);
    }

    kestrel::dfa_match_result run(const std::string& text, std::uint32_t at = 0) const {
        kestrel::dfa_memo memo(static_cast<std::uint32_t>(text.size()));
        return automaton->match(at, memo, bytes(text), static_cast<std::uint32_t>(text.size()));
    }
};

std::string build_error(const std::vector<std::string>& patterns) {
    try {
        built b(patterns);
    } catch (const kestrel::dfa_error& e) {
        return e.what();
    }
    return "built";
}

agreement check(const std::string& pattern) { return kestrel::longest_agreement_check(kestrel::regex(pattern).prog()); }

TEST(Dfa, LongestMatchWinsOverPriorityOrder) {
    const built b({"a|ab"});
    const auto r = b.run("abc");
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(r.rule, 0);
    EXPECT_EQ(check("a|ab"), agreement::differs);
    EXPECT_EQ(check("ab|a"), agreement::agrees);
}

TEST(Dfa, EqualLengthGoesToTheLowerRule) {
    const built b({"[a-z]+", "if", "[a-z][a-z]"});
    EXPECT_EQ(b.run("if").rule, 0);
    const built k({"if", "[a-z]+"});
    EXPECT_EQ(k.run("if").rule, 0);
    EXPECT_EQ(k.run("iff").rule, 1);
    EXPECT_EQ(k.run("iff").length, 3u);
    EXPECT_EQ(k.run("i").rule, 1);
}

TEST(Dfa, RefusedConstructsNameThemselves) {
    const struct {
        const char* pattern;
        const char* message;
    } cases[] = {
        {"a\\b", kestrel::dfa_message_assertion},
        {"a$", kestrel::dfa_message_assertion},
        {"(?m)^a", kestrel::dfa_message_assertion},
        {"a(?=b)", kestrel::dfa_message_lookaround},
        {"(?<=b)a", kestrel::dfa_message_lookaround},
        {"a*+", kestrel::dfa_message_possessive},
        {"[ab]++c", kestrel::dfa_message_possessive},
        {"\\w+", kestrel::dfa_message_expansion},
        {"[ab]*a[ab]{16}", kestrel::dfa_message_states},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(build_error({"x", c.pattern}), c.message) << c.pattern;
    }
    // The first offending instruction decides.
    EXPECT_EQ(build_error({"(?=a)a\\b"}), kestrel::dfa_message_lookaround);
    EXPECT_EQ(build_error({"a\\b(?=a)"}), kestrel::dfa_message_assertion);
    // The agreement check refuses the same patterns with the same messages.
    try {
        check("a(?=b)");
        ADD_FAILURE() << "no dfa_error";
    } catch (const kestrel::dfa_error& e) {
        EXPECT_STREQ(e.what(), kestrel::dfa_message_lookaround);
    }
    // ASCII word characters lower within the budget.
    EXPECT_EQ(build_error({"[A-Za-z_][A-Za-z_0-9]*", "(?a)\\w+"}), "built");
}

TEST(Dfa, StartAnchorHoldsAtTheScanStart) {
    const built b({"\\Aab", "b"});
    EXPECT_EQ(b.run("ab").length, 2u);
    // The automaton cannot know the offset's place in the text: the anchor holds wherever a
    // scan starts.  (The lexer keeps anchored rules off its automata for that reason.)
    const auto r = b.run("xab", 1);
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.rule, 0);
    EXPECT_EQ(r.length, 2u);
}

TEST(Dfa, EndOfSubjectAndOpenEnd) {
    const built b({"ab", "a"});
    auto r = b.run("ab", 2);
    EXPECT_FALSE(r.matched);
    EXPECT_TRUE(r.open_end);  // the start state reads a
    r = b.run("a");
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.length, 1u);
    EXPECT_TRUE(r.open_end);  // ab may still come
    r = b.run("ac");
    EXPECT_EQ(r.length, 1u);
    EXPECT_FALSE(r.open_end);  // died on c
    r = b.run("ab");
    EXPECT_FALSE(r.open_end);  // nothing goes on after ab
    const built e({"a*"});
    r = e.run("b");
    EXPECT_FALSE(r.matched);  // only non-empty matches are reported
}

TEST(Dfa, MinimisationMergesEquivalentStates) {
    const built b({"ab|cb|db"});
    // Before: dead, start, three states after a/c/d (each with its own closure), three match
    // states.  After: dead, start, "b expected", accept.
    EXPECT_EQ(b.automaton->states_before_minimisation(), 8u);
    EXPECT_EQ(b.automaton->state_count(), 4u);
    EXPECT_EQ(b.automaton->accepting(0), -1);
    for (std::uint32_t c = 0; c < b.automaton->class_count(); ++c) EXPECT_EQ(b.automaton->next(0, c), 0u);
    // Each literal byte is a class of its own; every other byte shares class 0 with byte 0.
    EXPECT_EQ(b.automaton->class_count(), 5u);
    EXPECT_EQ(b.automaton->class_map()[0], 0u);
    EXPECT_EQ(b.automaton->class_map()['e'], 0u);
    // Bytes that only a set tests, all alike, share one class.
    const built s({"[acd]b"});
    EXPECT_EQ(s.automaton->class_count(), 3u);
    EXPECT_EQ(s.automaton->class_map()['a'], s.automaton->class_map()['d']);
    EXPECT_NE(s.automaton->class_map()['a'], s.automaton->class_map()['b']);
    const std::string dump = kestrel::dump_dfa(*b.automaton);
    EXPECT_NE(dump.find("states 4 (before minimisation"), std::string::npos) << dump;
    EXPECT_NE(dump.find("accepts rule 0"), std::string::npos) << dump;
}

TEST(DfaMemo, FailingTailIsRecordedOnceAndHitsFromEveryLaterOffset) {
    const built b({"[a-z]+!"});
    const std::string text(10000, 'q');
    const auto n = static_cast<std::uint32_t>(text.size());
    kestrel::dfa_memo memo(n);
    auto r = b.automaton->match(0, memo, bytes(text), n);
    EXPECT_FALSE(r.matched);
    EXPECT_TRUE(r.open_end);
    EXPECT_TRUE(memo.tail_alive());
    // 10,000 positions of one state: three blocks of 4,096 positions, not 10,001 bits per state.
    EXPECT_EQ(memo.blocks(), 3u);
    EXPECT_LT(memo.memory_bytes(), 16384u);
    // Every later scan stops after one byte: a recorded (state, position).  A tail that stops
    // on a hit after fewer than 33 bytes is not recorded again.
    for (std::uint32_t at = 1; at < n; ++at) {
        r = b.automaton->match(at, memo, bytes(text), n);
        ASSERT_FALSE(r.matched) << at;
        ASSERT_TRUE(r.open_end) << at;
    }
    EXPECT_EQ(memo.blocks(), 3u);
    // A copy keeps the recorded pairs in blocks of its own.
    kestrel::dfa_memo copy(memo);
    EXPECT_EQ(copy.blocks(), 3u);
    EXPECT_TRUE(b.automaton->match(5000, copy, bytes(text), n).open_end);
    memo = kestrel::dfa_memo(n);
    EXPECT_EQ(copy.blocks(), 3u);
    EXPECT_EQ(memo.blocks(), 0u);
}

TEST(DfaMemo, BlocksBehindTheScanStartAreDropped) {
    const built b({"[a-z]+!"});
    const std::string text(300000, 'q');
    const auto n = static_cast<std::uint32_t>(text.size());
    kestrel::dfa_memo memo(n);
    b.automaton->match(0, memo, bytes(text), n);
    EXPECT_EQ(memo.blocks(), (n >> 12) + 1);  // one state, every block of the text
    const std::size_t full = memo.memory_bytes();
    for (std::uint32_t at = 1; at < n; at += 97) {
        const auto r = b.automaton->match(at, memo, bytes(text), n);
        ASSERT_FALSE(r.matched);
        ASSERT_TRUE(r.open_end);  // still a hit: the blocks ahead of the start are kept
        const std::size_t ahead = (n >> 12) - (at >> 12) + 1;  // blocks from the start's on
        ASSERT_GE(memo.blocks(), ahead) << at;
        ASSERT_LE(memo.blocks(), ahead + kestrel::dfa_memo::blocks_per_prune()) << at;
    }
    EXPECT_LT(memo.blocks(), 20u);
    // A tail recorded later reuses the dropped blocks' storage.
    const std::string late = text.substr(0, n - 100) + "!" + std::string(99, 'q');
    kestrel::dfa_memo fresh(n);
    EXPECT_EQ(b.automaton->match(0, fresh, bytes(late), n).length, n - 99);
    EXPECT_LE(memo.memory_bytes(), full);
}

TEST(DfaMemo, TailsThatEndInAnAcceptAreNotRecorded) {
    // Only pairs after which nothing accepts may be recorded: here every scan reaches the !.
    const built b({"[a-z]+!", "[a-z]"});
    std::string text(200, 'q');
    text += '!';
    const auto n = static_cast<std::uint32_t>(text.size());
    kestrel::dfa_memo memo(n);
    for (std::uint32_t at = 0; at + 1 < n; ++at) {
        const auto r = b.automaton->match(at, memo, bytes(text), n);
        ASSERT_TRUE(r.matched) << at;
        ASSERT_EQ(r.length, n - at) << at;  // the ! is reachable from every letter
    }
    EXPECT_EQ(memo.blocks(), 0u);  // every tail accepted: nothing recorded
}

TEST(DfaMemo, DeadTailsAreClosed) {
    const built b({"\"[a-z ]*\"", "[a-z]+"});
    std::string text = "\"" + std::string(100, 'a') + "1 trailing";
    const auto n = static_cast<std::uint32_t>(text.size());
    kestrel::dfa_memo memo(n);
    auto r = b.automaton->match(0, memo, bytes(text), n);
    EXPECT_FALSE(r.matched);
    EXPECT_FALSE(r.open_end);  // died on the digit
    EXPECT_FALSE(memo.tail_alive());
    EXPECT_GT(memo.blocks(), 0u);
    r = b.automaton->match(1, memo, bytes(text), n);  // identifiers are another path
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(r.length, 100u);
}

TEST(DfaMemo, RefusedCallsLeaveTheMemoAlone) {
    const built b({"a+"});
    const built c({"b+"});
    const std::string text = "aaa";
    kestrel::dfa_memo memo(3);
    try {
        b.automaton->match(0, memo, bytes(text), 2);
        ADD_FAILURE() << "another length was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "kestrel::dfa::match: the memo belongs to another subject, or the offset is past it");
    }
    EXPECT_THROW(b.automaton->match(4, memo, bytes(text), 3), std::invalid_argument);
    // Neither refusal bound the memo, so another DFA may still take it; then the first may not.
    EXPECT_EQ(c.automaton->match(0, memo, bytes(text), 3).matched, false);
    try {
        b.automaton->match(0, memo, bytes(text), 3);
        ADD_FAILURE() << "another DFA's memo was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "kestrel::dfa::match: the memo belongs to another DFA");
    }
}

TEST(Agreement, AnswersForLoopsAndAlternations) {
    const struct {
        const char* pattern;
        agreement expected;
    } cases[] = {
        {"a|ab", agreement::differs},
        {"ab|a", agreement::agrees},
        {"a*", agreement::agrees},
        {"a*?", agreement::differs},
        {"a+?", agreement::differs},
        {"a??", agreement::differs},
        {"a?", agreement::agrees},
        {"(a|ab)(c|bcd)", agreement::agrees},  // on abcd the priority order also reaches abcd
        {"(a|ab)(c|bcd)?", agreement::differs},
        {"[a-z]+|if", agreement::agrees},
        {"if|[a-z]+", agreement::differs},
        {"\"[^\"]*\"", agreement::agrees},
        {"\"(?:[^\"\\\\]|\\\\.)*\"", agreement::agrees},
        {"/\\*.*?\\*/", agreement::differs},  // the lazy comment stops at the first */
        {"/\\*(?:[^*]|\\*+[^*/])*\\*+/", agreement::agrees},
        {"(a*)*", agreement::agrees},
        {"(?:a|b)*c", agreement::agrees},
        {"[0-9]+(?:\\.[0-9]+)?", agreement::agrees},
    };
    for (const auto& c : cases) EXPECT_EQ(check(c.pattern), c.expected) << c.pattern;
}

TEST(Agreement, CaptureGroupsDoNotChangeTheAnswer) {
    const char* pairs[][2] = {
        {"(a|(|b))*", "(?:a|(?:|b))*"},
        {"(a|ab)(c|bcd)", "(?:a|ab)(?:c|bcd)"},
        {"((a)*)*b", "(?:(?:a)*)*b"},
        {"(a?)+?b", "(?:a?)+?b"},
    };
    for (const auto& p : pairs) EXPECT_EQ(check(p[0]), check(p[1])) << p[0];
}

// ---- the lean scan of eager lexing ----

// dfa::longest must give match's rule, length and escape at every call, and leave the memo
// as match leaves it, whether the memo is still empty (its own loop) or has records (match).
struct longest_case {
    const char* name;
    std::vector<std::string> patterns;
    std::vector<bool> escapes;
    std::string text;
};

class DfaLongest : public ::testing::TestWithParam<longest_case> {};

TEST_P(DfaLongest, AgreesWithMatchAndRecordsTheSameTails) {
    const longest_case& c = GetParam();
    const built b(c.patterns, c.escapes);
    const auto n = static_cast<std::uint32_t>(c.text.size());
    // Two runs over the text: one stepping as a lexer does (past each match, else one byte),
    // one asking at every offset.
    for (const bool every_offset : {false, true}) {
        kestrel::dfa_memo lean(n), full(n);
        int recorded_calls = 0;
        for (std::uint32_t at = 0; at <= n;) {
            const kestrel::dfa_longest l = b.automaton->longest(at, lean, bytes(c.text), n);
            const kestrel::dfa_match_result m = b.automaton->match(at, full, bytes(c.text), n);
            const std::string where = std::string(c.name) + " at " + std::to_string(at);
            ASSERT_EQ(l.escaped, m.escaped) << where;
            ASSERT_EQ(l.rule, m.matched ? m.rule : -1) << where;
            ASSERT_EQ(l.length, m.length) << where;
            ASSERT_EQ(lean.blocks(), full.blocks()) << where;
            ASSERT_EQ(lean.tail_alive(), full.tail_alive()) << where;
            if (lean.blocks() > 0) ++recorded_calls;
            at += every_offset || l.rule < 0 ? 1 : l.length;
        }
        // Where the text has a long failing tail, the memo was in use for part of the run.
        if (c.text.find('"') != std::string::npos || c.text.find('?') != std::string::npos) {
            EXPECT_GT(recorded_calls, 0) << c.name;
        }
    }
}

std::string repeated(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += s;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DfaLongest,
    ::testing::Values(
        longest_case{"words", {"[a-z]+", "[0-9]+", " +"}, {}, "abc 123 de  4 f"},
        longest_case{"unterminated_strings", {"\"[^\"\\n]*\"", "[a-z]+", "[ \\n\"]"}, {},
                     repeated("abc \"def ghi jkl mno pqr stu vwx yz abc def\n", 5) + "\"ok\" x"},
        longest_case{"near_literal", {"abcdefghijklmnopqrstuvwxyz0123456789!", "[a-z0-9?]"}, {},
                     repeated("abcdefghijklmnopqrstuvwxyz0123456789?", 4) + "abcdefghijklmnopqrstuvwxyz0123456789!"},
        longest_case{"tail_to_the_end", {"<[a-z ]*>", "[a-z ]"}, {}, "ab <" + repeated("xyz ", 20)},
        longest_case{"escaping_rule", {"[a-z\\x{80}-\\x{10ffff}]+", "'[^']*'", " "}, {true, false, false},
                     "ab 'c\xc3\xa9' d\xc3\xa9 'unterminated " + repeated("abcd", 10)}),
    [](const ::testing::TestParamInfo<longest_case>& i) { return std::string(i.param.name); });

// ---- seeded comparisons against an oracle ----

// A random pattern over a, b and c: alternation, concatenation, groups (capturing or not),
// greedy and lazy repeats, classes.
std::string random_pattern(std::mt19937& rng, int depth) {
    std::uniform_int_distribution<int> pick(0, 99);
    const int p = pick(rng);
    if (depth <= 0 || p < 30) {
        static const char* atoms[] = {"a", "b", "c", "[ab]", "[^a]", "."};
        return atoms[rng() % 6];
    }
    if (p < 50) return random_pattern(rng, depth - 1) + random_pattern(rng, depth - 1);
    if (p < 65) return random_pattern(rng, depth - 1) + "|" + random_pattern(rng, depth - 1);
    const std::string inner = random_pattern(rng, depth - 1);
    const std::string group = (rng() % 2) ? "(" + inner + ")" : "(?:" + inner + ")";
    static const char* reps[] = {"*", "+", "?", "*?", "+?", "??", "{1,2}", "{0,2}?", ""};
    return group + reps[rng() % 9];
}

// One to three random patterns, the rules of one automaton.
std::vector<std::string> random_patterns(std::mt19937& rng) {
    std::vector<std::string> patterns;
    const int rules = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < rules; ++k) patterns.push_back(random_pattern(rng, 3));
    return patterns;
}

std::string random_subject(std::mt19937& rng) {
    std::string s;
    const int n = static_cast<int>(rng() % 9);
    for (int i = 0; i < n; ++i) s.push_back("abc"[rng() % 3]);
    return s;
}

// The longest match of `pattern` at `at`: the largest end e such that the pattern followed by
// an end-of-text test matches on the text cut at e; -1 when none.
std::int64_t oracle_longest(const kestrel::regex& anchored_end, const std::string& text, std::uint32_t at) {
    for (std::int64_t e = static_cast<std::int64_t>(text.size()); e >= at; --e) {
        if (anchored_end.match(at, bytes(text), static_cast<std::uint32_t>(e)).matched) return e - at;
    }
    return -1;
}

std::uint32_t seed() {
    const char* env = std::getenv("TESSEL_SEED");
    return env != nullptr ? static_cast<std::uint32_t>(std::stoul(env)) : 20261208u;
}

TEST(DfaSeeded, LongestMatchOfSeveralRulesMatchesTheOracle) {
    std::mt19937 rng(seed());
    int compared = 0;
    for (int round = 0; round < 400; ++round) {
        const std::vector<std::string> patterns = random_patterns(rng);
        std::unique_ptr<built> b;
        try {
            b = std::make_unique<built>(patterns);
        } catch (const kestrel::dfa_error& e) {
            ADD_FAILURE() << patterns[0] << ": " << e.what();
            continue;
        }
        std::vector<kestrel::regex> oracles;
        for (const std::string& p : patterns) oracles.emplace_back("(?:" + p + ")\\Z");
        for (int t = 0; t < 6; ++t) {
            const std::string text = random_subject(rng);
            kestrel::dfa_memo memo(static_cast<std::uint32_t>(text.size()));
            for (std::uint32_t at = 0; at <= text.size(); ++at) {
                std::int64_t best = 0;
                std::int32_t rule = -1;
                for (std::size_t k = 0; k < oracles.size(); ++k) {
                    const std::int64_t len = oracle_longest(oracles[k], text, at);
                    if (len > best) {
                        best = len;
                        rule = static_cast<std::int32_t>(k);
                    }
                }
                const auto r = b->automaton->match(at, memo, bytes(text), static_cast<std::uint32_t>(text.size()));
                std::string where;
                for (const auto& p : patterns) where += "/" + p + "/ ";
                where += "on \"" + text + "\" at " + std::to_string(at);
                ASSERT_EQ(r.matched, rule >= 0) << where;
                if (rule >= 0) {
                    ASSERT_EQ(r.rule, rule) << where;
                    ASSERT_EQ(r.length, best) << where;
                }
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 5000);
}

// A resumable scan fed a subject that grows a byte at a time (and sometimes not at all) must
// give, after each call, the answer a fresh scan of the subject as it then is gives, with the
// same open end, and read each byte once.
TEST(DfaSeeded, ResumedScansAnswerAsFreshScansOfEachPrefix) {
    std::mt19937 rng(seed() + 7);
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        const std::vector<std::string> patterns = random_patterns(rng);
        std::unique_ptr<built> b;
        try {
            b = std::make_unique<built>(patterns);
        } catch (const kestrel::dfa_error&) {
            continue;
        }
        const std::string text = random_subject(rng) + random_subject(rng);
        for (std::uint32_t at = 0; at <= text.size(); ++at) {
            kestrel::dfa_scan scan = b->automaton->begin_scan(at);
            for (std::uint32_t len = at; len <= text.size(); len += rng() % 3 == 0 ? 0 : 1) {
                const auto resumed = b->automaton->continue_scan(scan, bytes(text), len);
                kestrel::dfa_memo memo(len);
                const auto fresh = b->automaton->match(at, memo, bytes(text), len);
                std::string where;
                for (const auto& p : patterns) where += "/" + p + "/ ";
                where += "on \"" + text.substr(0, len) + "\" at " + std::to_string(at);
                ASSERT_EQ(resumed.matched, fresh.matched) << where;
                ASSERT_EQ(resumed.rule, fresh.rule) << where;
                ASSERT_EQ(resumed.length, fresh.length) << where;
                ASSERT_EQ(resumed.open_end, fresh.open_end) << where;
                ASSERT_EQ(resumed.reach, fresh.reach) << where;
                ASSERT_EQ(resumed.scanned, fresh.scanned) << where;
                ++compared;
                if (!resumed.open_end && len == text.size()) break;
            }
        }
    }
    EXPECT_GT(compared, 3000);
    // A subject shorter than what the scan read is refused.
    built b({"a+"});
    kestrel::dfa_scan scan = b.automaton->begin_scan(0);
    b.automaton->continue_scan(scan, bytes("aaa"), 3);
    EXPECT_THROW(b.automaton->continue_scan(scan, bytes("aaa"), 2), std::invalid_argument);
}

// The lean scan reads four bytes between tests; random rules and subjects long enough to
// stop at every place within a group, at the end, and after failing tails past 32 bytes.
TEST(DfaSeeded, LongestAgreesWithMatchAtEveryOffset) {
    std::mt19937 rng(seed() + 2);
    int compared = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> patterns = random_patterns(rng);
        if (rng() % 3 == 0) patterns.push_back("a[abc]{40}c");  // keeps scans alive far past an accept
        std::unique_ptr<built> b;
        try {
            b = std::make_unique<built>(patterns);
        } catch (const kestrel::dfa_error&) {
            continue;
        }
        std::string text;
        const int n = static_cast<int>(rng() % 90);
        for (int i = 0; i < n; ++i) text.push_back("abcd"[rng() % 4]);
        const auto len = static_cast<std::uint32_t>(text.size());
        kestrel::dfa_memo lean(len), full(len);
        for (std::uint32_t at = 0; at <= len; ++at) {
            const kestrel::dfa_longest l = b->automaton->longest(at, lean, bytes(text), len);
            const kestrel::dfa_match_result m = b->automaton->match(at, full, bytes(text), len);
            ASSERT_EQ(l.rule, m.matched ? m.rule : -1) << patterns[0] << " on " << text << " at " << at;
            ASSERT_EQ(l.length, m.length) << patterns[0] << " on " << text << " at " << at;
            ASSERT_EQ(lean.blocks(), full.blocks()) << patterns[0] << " on " << text << " at " << at;
            ++compared;
        }
    }
    EXPECT_GT(compared, 5000);
}

TEST(DfaSeeded, AgreeingPatternsHavePriorityMatchEqualToLongest) {
    std::mt19937 rng(seed() + 1);
    int agreeing = 0, differing = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::string pattern = random_pattern(rng, 4);
        const kestrel::regex re(pattern);
        const agreement a = kestrel::longest_agreement_check(re.prog());
        if (a != agreement::agrees) {
            ++differing;
            continue;
        }
        ++agreeing;
        const kestrel::regex oracle("(?:" + pattern + ")\\Z");
        for (int t = 0; t < 12; ++t) {
            const std::string text = random_subject(rng);
            for (std::uint32_t at = 0; at <= text.size(); ++at) {
                const kestrel::match_result m = re.match(at, bytes(text), static_cast<std::uint32_t>(text.size()));
                const std::int64_t longest = oracle_longest(oracle, text, at);
                const std::int64_t priority = m.matched ? m.end() - static_cast<std::int64_t>(at) : -1;
                ASSERT_EQ(priority, longest) << "/" << pattern << "/ on \"" << text << "\" at " << at;
            }
        }
    }
    // Both answers must be common for the comparison to mean anything.
    EXPECT_GT(agreeing, 300);
    EXPECT_GT(differing, 100);
}

// Every corpus pattern a DFA takes gives, where its priority match is its longest, the same
// non-empty match as the regex.
TEST(DfaCorpus, AgreesWithTheRegexOnTheMatchCorpus) {
    std::vector<std::string> problems;
    const auto cases = match_corpus::load_corpus(problems);
    for (const std::string& p : problems) ADD_FAILURE() << p;
    int compared = 0;
    for (const auto& c : cases) {
        if (c.offset > c.subject.size()) continue;
        std::optional<kestrel::regex> re;
        try {
            re.emplace(c.pattern);
        } catch (const kestrel::regex_error&) {
            continue;
        }
        bool anchored = false;
        for (const auto& in : re->prog().instructions) anchored |= in.op == kestrel::opcode::assert;
        if (anchored) continue;  // the automaton tests \A at the scan start, not the text start
        try {
            if (kestrel::longest_agreement_check(re->prog()) != agreement::agrees) continue;
        } catch (const kestrel::dfa_error&) {
            continue;
        }
        const kestrel::dfa d({&re->prog()});
        kestrel::dfa_memo memo(static_cast<std::uint32_t>(c.subject.size()));
        const auto r = d.match(c.offset, memo, bytes(c.subject), static_cast<std::uint32_t>(c.subject.size()));
        const kestrel::match_result m = re->match(c.offset, c.subject);
        const bool nonempty = m.matched && m.end() > static_cast<std::int32_t>(c.offset);
        const std::string where = "match_corpus.txt:" + std::to_string(c.line) + " /" + match_text::show(c.pattern) + "/";
        EXPECT_EQ(r.matched, nonempty) << where;
        if (nonempty && r.matched) {
            EXPECT_EQ(static_cast<std::int32_t>(r.length), m.end() - static_cast<std::int32_t>(c.offset)) << where;
        }
        ++compared;
    }
    EXPECT_GT(compared, 150);
}

// An escaping rule: wherever it is still alive, a byte from 0x80 up stops the scan with
// `escaped`; where it has died, the other rules read such bytes as usual.
TEST(DfaEscape, NonAsciiBytesEscapeOnlyWhileTheEscapingRuleIsAlive) {
    const built b({"[a-z\\x{80}-\\x{10ffff}]+", "'[^']*'", "[ ]"}, {true, false, false});
    const kestrel::dfa& d = *b.automaton;
    ASSERT_TRUE(d.escape_state().has_value());
    EXPECT_EQ(*d.escape_state(), 1u);
    EXPECT_EQ(d.accepting(1), -1);
    for (std::uint32_t c = 0; c < d.class_count(); ++c) EXPECT_EQ(d.next(1, c), 0u);
    // No class mixes ASCII with the bytes above it.
    for (unsigned lo = 0; lo < 0x80; ++lo) EXPECT_NE(d.class_map()[lo], d.class_map()[0x80]) << lo;
    EXPECT_NE(kestrel::dump_dfa(d).find(" escape"), std::string::npos);

    auto r = b.run("abc d");
    EXPECT_TRUE(r.matched && !r.escaped);
    EXPECT_EQ(r.length, 3u);
    for (const std::string text : {"ab\xc3\xa9", "\xc3\xa9", "a\xff"}) {
        r = b.run(text);
        EXPECT_TRUE(r.escaped) << text;
        EXPECT_FALSE(r.matched) << text;
    }
    // Inside a string the escaping rule is dead: the string reads the non-ASCII bytes.
    r = b.run("'\xc3\xa9' x");
    EXPECT_TRUE(r.matched && !r.escaped);
    EXPECT_EQ(r.rule, 1);
    EXPECT_EQ(r.length, 4u);
    // Without escapes the same rules read through.
    const built plain({"[a-z\\x{80}-\\x{10ffff}]+", "'[^']*'", "[ ]"});
    EXPECT_FALSE(plain.automaton->escape_state().has_value());
    r = plain.run("ab\xc3\xa9");
    EXPECT_TRUE(r.matched && !r.escaped);
    EXPECT_EQ(r.length, 4u);
}

TEST(DfaEscape, AnEscapedScanRecordsNoTail) {
    // A string that never ends keeps the scan alive past 32 bytes; escaping there records
    // nothing, since the scan did not learn where its rules end.
    const built b({"\"[a-z\\x{80}-\\x{10ffff}]*\"", "[a-z]"}, {true, false});
    const std::string text = "\"" + std::string(100, 'q') + "\xc3\xa9";
    const auto n = static_cast<std::uint32_t>(text.size());
    kestrel::dfa_memo memo(n);
    auto r = b.automaton->match(0, memo, bytes(text), n);
    EXPECT_TRUE(r.escaped);
    EXPECT_EQ(memo.blocks(), 0u);
    // The same text with an ASCII end is a failing tail, and is recorded.
    const std::string ascii = "\"" + std::string(100, 'q') + "!";
    kestrel::dfa_memo memo2(static_cast<std::uint32_t>(ascii.size()));
    r = b.automaton->match(0, memo2, bytes(ascii), static_cast<std::uint32_t>(ascii.size()));
    EXPECT_FALSE(r.matched || r.escaped);
    EXPECT_GT(memo2.blocks(), 0u);
}

}  // namespace

namespace {

TEST(LiteralTrie, LongestLiteralLowestNumberOpenEndAndReach) {
    const kestrel::literal_trie trie({"if", "in", "int", "interface", "in", "", "x"});
    struct probe {
        const char* text;
        std::uint32_t at;
        bool found;
        std::uint32_t id, length;
        bool open_end;
        std::uint32_t reach;
    };
    const probe probes[] = {
        {"int x", 0, true, 2, 3, false, 3},       // "int" beats "in"; read the space after it
        {"inter", 0, true, 2, 3, true, 5},        // "int" so far, "interface" still possible
        {"interfaces", 0, true, 3, 9, false, 8},  // the longest, a leaf: the "s" is not read
        {"in", 0, true, 1, 2, true, 2},           // "in" given twice: the first, number 1
        {"ix", 0, false, 0, 0, false, 1},         // "i" alone is no literal
        {"ax", 1, true, 6, 1, false, 1},          // a leaf: nothing read past it
        {"q", 0, false, 0, 0, false, 0},          // no literal starts with q
        {"if", 2, false, 0, 0, true, 2},          // at the end: more text could start one
    };
    for (const probe& p : probes) {
        const std::string text = p.text;
        const kestrel::literal_match m =
            trie.match(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()), p.at);
        EXPECT_EQ(m.found, p.found) << p.text;
        if (p.found) {
            EXPECT_EQ(m.id, p.id) << p.text;
            EXPECT_EQ(m.length, p.length) << p.text;
        }
        EXPECT_EQ(m.open_end, p.open_end) << p.text;
        EXPECT_EQ(m.reach, p.reach) << p.text;
    }
}

}  // namespace
