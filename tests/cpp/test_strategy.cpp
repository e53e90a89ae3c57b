// The selection chain and every matcher it can pick, against the Pike VM's thread lists.
//
// A seeded generator builds random patterns from the constructs where matchers are most
// likely to part ways: nested groups, empty alternatives, lazy and possessive repeats,
// counted repeats, anchors and word boundaries, classes with multi-byte members.  Each
// pattern also gets its twin with every group made non-capturing.  For each (pattern,
// subject, offset) case every matcher that can take the call must return the thread lists'
// slots, the streaming match must return them too, and the twin must give the same whole
// match: a capture group may never change what matches.  Subjects are sometimes padded to a
// few hundred bytes so that the backtracker runs in its window form (the visited map covers
// only part of the rest of the subject) as well as in its whole-subject form.
//
// KESTREL_STRATEGY_SEED=<number> replays another seed; KESTREL_STRATEGY_CASES=<number> runs
// more or fewer cases (the default is 10^6 over all shards, 10^5 under the sanitizers, which
// make each case some twenty times slower; CI runs the full count on an optimised build too).
#include <gtest/gtest.h>

#include "match_text.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <thread>
#include <atomic>
#include <string>
#include <vector>

#include "kestrel/backtrack.h"
#include "kestrel/lazy_engine.h"
#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using kestrel::matcher_choice;
using kestrel::regex;

#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t default_cases = 100000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr std::uint64_t default_cases = 100000;
#else
constexpr std::uint64_t default_cases = 1000000;
#endif
#else
constexpr std::uint64_t default_cases = 1000000;
#endif

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    if (const char* v = std::getenv(name)) {
        char* end = nullptr;
        const unsigned long long n = std::strtoull(v, &end, 0);
        if (end != v && *end == '\0') return n;
    }
    return fallback;
}

// A random pattern and its twin with non-capturing groups, built side by side.
struct pattern_pair {
    std::string capturing;
    std::string plain;
};

class pattern_generator {
public:
    explicit pattern_generator(std::uint64_t seed) : rng_(seed) {}

    pattern_pair make() {
        pattern_pair p;
        node(p, 0);
        return p;
    }

    std::string subject() {
        static const std::vector<std::string> pieces = {
            "a", "b", "c", "x", "ab", "bbc", " ", "\n", "_", "1", "\xc3\xa9", "\xe4\xb8\xad", "\xff", "A",
        };
        std::string s;
        const int n = static_cast<int>(pick(9));
        for (int i = 0; i < n; ++i) s += pieces[pick(pieces.size())];
        return s;
    }

    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

private:
    void both(pattern_pair& p, const std::string& text) {
        p.capturing += text;
        p.plain += text;
    }

    void atom(pattern_pair& p) {
        static const char* atoms[] = {
            "a", "b", "c", "x", "ab", ".", "[ab]", "[^a]", "\\w", "\\d", "\\s", "[a-c\xc3\xa9]",
            "\xc3\xa9", "\\W", "(?i:A)", "[\\x{4e00}-\\x{9fff}]", "\\n", "",
        };
        both(p, atoms[pick(sizeof atoms / sizeof *atoms)]);
    }

    void node(pattern_pair& p, int depth) {
        const std::size_t parts = 1 + pick(3);
        for (std::size_t k = 0; k < parts; ++k) {
            const std::size_t kind = depth >= 3 ? pick(3) : pick(10);
            switch (kind) {
            case 0: case 1: case 2:
                atom(p);
                break;
            case 3: case 4: case 5: {  // a group, capturing in one form only
                p.capturing += "(";
                p.plain += "(?:";
                alternation(p, depth + 1);
                both(p, ")");
                break;
            }
            case 6:
                both(p, "(?:");
                alternation(p, depth + 1);
                both(p, ")");
                break;
            case 7: {
                static const char* anchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\Z"};
                both(p, anchors[pick(6)]);
                break;
            }
            default:
                p.capturing += "(";
                p.plain += "(?:";
                alternation(p, depth + 1);
                both(p, ")");
                break;
            }
            if (pick(2) == 0) {
                static const char* repeats[] = {"*", "+", "?", "*?", "+?", "??", "{0,2}", "{1,3}?", "{2}", "*+", "++"};
                both(p, repeats[pick(sizeof repeats / sizeof *repeats)]);
            }
        }
    }

    void alternation(pattern_pair& p, int depth) {
        const std::size_t branches = 1 + pick(3);
        for (std::size_t b = 0; b < branches; ++b) {
            if (b != 0) both(p, "|");
            if (pick(4) == 0) continue;  // an empty alternative
            node(p, depth);
        }
    }

    std::mt19937_64 rng_;
};

struct compiled {
    std::optional<regex> re;
    std::string error;
};

compiled compile(const std::string& pattern) {
    compiled c;
    try {
        c.re.emplace(pattern);
    } catch (const kestrel::regex_error& e) {
        c.error = e.what();
    }
    return c;
}

std::string slots_text(const kestrel::match_result& r) { return match_text::slots(r); }

// The whole match only: "-" or "start,end".
std::string whole(const kestrel::match_result& r) {
    return r.matched ? std::to_string(r.slot(0)) + "," + std::to_string(r.slot(1)) : "-";
}

const matcher_choice other_matchers[] = {
    matcher_choice::automatic,          matcher_choice::backtrack,          matcher_choice::one_pass,
    matcher_choice::byte_class_run,     matcher_choice::code_point_class_run,
    matcher_choice::possessive_run,     matcher_choice::literal_string,
    matcher_choice::fixed_sequence,     matcher_choice::any_run,
    matcher_choice::straight_alternation, matcher_choice::run_then_lookahead,
};

struct tally {
    std::uint64_t cases = 0;
    std::uint64_t windowed_backtracks = 0;  // the backtracker answered without covering the rest
    std::uint64_t left_window = 0;          // it gave up and the thread lists answered
    std::uint64_t one_pass = 0;             // a usable one-pass table answered
};

// Checks one (pattern, subject, offset) case; returns a failure description or "".
std::string check_case(const regex& re, const regex* twin, const std::string& subject, std::uint32_t offset,
                       tally& t, kestrel::match_scratch& scratch) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    const auto n = static_cast<std::uint32_t>(subject.size());
    const kestrel::match_result reference = re.match_with(matcher_choice::pike_vm, offset, s, n);
    const std::string expected = slots_text(reference);
    ++t.cases;
    for (const matcher_choice m : other_matchers) {
        bool applied = true;
        const kestrel::match_result got = re.match_with(m, offset, s, n, &applied);
        if (m == matcher_choice::backtrack) {
            const kestrel::match_context ctx(kestrel::make_view(re.prog()), nullptr, s, n);
            if (applied && !kestrel::backtrack_covers_subject(ctx, offset)) ++t.windowed_backtracks;
            if (!applied && kestrel::backtrack_applies(ctx, offset)) ++t.left_window;
        }
        if (m == matcher_choice::one_pass && applied) ++t.one_pass;
        if (applied && slots_text(got) != expected) {
            return "matcher " + std::to_string(static_cast<int>(m)) + " gives " + slots_text(got) +
                   ", the thread lists " + expected;
        }
    }
    const kestrel::streaming_match st = re.match_streaming(offset, s, n);
    if (slots_text(st.result) != expected) return "streaming gives " + slots_text(st.result) + ", not " + expected;
    // Storage kept between calls, shared by patterns of every size, changes nothing.
    const kestrel::match_result kept = re.match(offset, s, n, kestrel::captures::all, &scratch);
    if (slots_text(kept) != expected) return "with kept scratch: " + slots_text(kept) + ", not " + expected;
    const kestrel::streaming_match kept_st = re.match_streaming(offset, s, n, kestrel::captures::all, &scratch);
    if (slots_text(kept_st.result) != expected || kept_st.open_end != st.open_end) {
        return "streaming with kept scratch: " + slots_text(kept_st.result) + ", not " + expected;
    }
    // Asked for the whole match only, every matcher gives the same whole match.
    const std::string expected_whole = whole(reference);
    for (const matcher_choice m : {matcher_choice::pike_vm, matcher_choice::automatic, matcher_choice::backtrack}) {
        bool applied = true;
        const kestrel::match_result got = re.match_with(m, offset, s, n, &applied, nullptr,
                                                        kestrel::captures::whole_match_only);
        if (applied && whole(got) != expected_whole) {
            return "whole-match-only matcher " + std::to_string(static_cast<int>(m)) + " gives " + whole(got) +
                   ", not " + expected_whole;
        }
    }
    const kestrel::streaming_match sw = re.match_streaming(offset, s, n, kestrel::captures::whole_match_only);
    if (whole(sw.result) != expected_whole || sw.open_end != st.open_end) {
        return "whole-match-only streaming gives " + whole(sw.result) + ", not " + expected_whole;
    }
    if (twin != nullptr) {
        for (const matcher_choice m : {matcher_choice::pike_vm, matcher_choice::automatic, matcher_choice::backtrack}) {
            bool applied = true;
            const kestrel::match_result a = re.match_with(m, offset, s, n, &applied);
            bool twin_applied = true;
            const kestrel::match_result b = twin->match_with(m, offset, s, n, &twin_applied);
            if (applied && twin_applied && whole(a) != whole(b)) {
                return "a group changes the whole match (matcher " + std::to_string(static_cast<int>(m)) +
                       "): " + whole(a) + " with groups, " + whole(b) + " without";
            }
        }
    }
    return "";
}

// One shard of the random cases.
class RandomAgreement : public ::testing::TestWithParam<int> {};

constexpr int shards = 4;

TEST_P(RandomAgreement, EveryMatcherGivesTheThreadListsAnswer) {
    const std::uint64_t total = env_number("KESTREL_STRATEGY_CASES", default_cases);
    const std::uint64_t seed = env_number("KESTREL_STRATEGY_SEED", 0x73747261746567ull) + static_cast<std::uint64_t>(GetParam());
    const std::uint64_t cases = total / shards;
    pattern_generator gen(seed);
    tally t;
    kestrel::match_scratch scratch;
    int failures = 0;
    std::uint64_t patterns = 0;
    while (t.cases < cases && failures < 10) {
        const pattern_pair p = gen.make();
        const compiled c = compile(p.capturing);
        if (!c.re) continue;  // a construct the random text got wrong, e.g. a repeat of \b
        const compiled twin = compile(p.plain);
        ++patterns;
        for (int k = 0; k < 8 && failures < 10; ++k) {
            std::string subject = gen.subject();
            if (gen.pick(8) == 0) subject += std::string(300 + gen.pick(200), 'a');  // long: a window
            const auto offset = static_cast<std::uint32_t>(gen.pick(subject.size() + 1));
            const std::string failure = check_case(*c.re, twin.re ? &*twin.re : nullptr, subject, offset, t, scratch);
            if (!failure.empty()) {
                ++failures;
                ADD_FAILURE() << "/" << match_text::show(p.capturing) << "/ on \"" << match_text::show(subject)
                              << "\" at " << offset << ": " << failure;
            }
        }
    }
    EXPECT_GE(t.cases, cases);
    // The generator must exercise both forms of the backtracker.
    EXPECT_GT(t.windowed_backtracks, 0u);
    EXPECT_GT(t.one_pass, t.cases / 100);
    RecordProperty("patterns", static_cast<int>(patterns));
    RecordProperty("windowed_backtracks", static_cast<int>(t.windowed_backtracks));
    RecordProperty("one_pass", static_cast<int>(t.one_pass));
    std::printf("shard %d: %llu cases, %llu patterns, %llu windowed backtracks, %llu left the window, "
                "%llu on a one-pass table\n",
                GetParam(), static_cast<unsigned long long>(t.cases), static_cast<unsigned long long>(patterns),
                static_cast<unsigned long long>(t.windowed_backtracks), static_cast<unsigned long long>(t.left_window),
                static_cast<unsigned long long>(t.one_pass));
}

INSTANTIATE_TEST_SUITE_P(Shards, RandomAgreement, ::testing::Range(0, shards));

// A scratch bound to one subject keeps what failed attempts proved (failure_memo.h) and later
// attempts stop where they reach it.  Each random pattern, made to scan far (a repeat of it
// or of any character, before an ending that rarely comes), runs on the thread lists at every offset of a long
// subject, in increasing order as a lexer does and then in decreasing order, and must give
// at each offset what a run without the memo gives, slots included; through the whole chain
// too.  The memo must have been used, or the test proves nothing.
TEST(FailureMemo, BoundScratchGivesTheSameAnswerAtEveryOffset) {
    const std::uint64_t seed = env_number("KESTREL_STRATEGY_SEED", 0x6d656d6fu);
    const std::uint64_t patterns = env_number("KESTREL_MEMO_PATTERNS", default_cases / 5000);
    static const char* const endings[] = {"$", "z", "(?=z)", "\\b!", "(?<=z)"};
    pattern_generator gen(seed);
    std::uint64_t cases = 0, tried = 0, with_records = 0;
    int failures = 0;
    while (tried < patterns && failures < 10) {
        const pattern_pair p = gen.make();
        static const char* const repeats[] = {")*", ")*?", ")+"};
        const std::string pattern =
            gen.pick(4) == 0 ? p.capturing
                             : "(?:" + p.capturing + "|[\\s\\S]" + repeats[gen.pick(3)] + endings[gen.pick(5)];
        const compiled c = compile(pattern);
        if (!c.re) continue;
        ++tried;
        std::string unit;
        while (unit.size() < 4) unit += gen.subject();
        std::string subject;
        while (subject.size() < 300) subject += gen.pick(4) == 0 ? gen.subject() : unit;
        const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
        const auto len = static_cast<std::uint32_t>(subject.size());
        const kestrel::program_view view = kestrel::make_view(c.re->prog());
        std::vector<std::string> expected(len + 1);
        for (std::uint32_t at = 0; at <= len; ++at) {
            kestrel::match_context plain(view, &c.re->lazy_slot(), s, len);
            kestrel::slot_vector out;
            const bool matched = kestrel::pike_vm_match_threads(plain, at, out);
            expected[at] = matched ? slots_text(c.re->match(at, s, len)) : "-";
        }
        kestrel::match_scratch scratch, chain_scratch;
        scratch.failures().bind(s, len);
        chain_scratch.failures().bind(s, len);
        for (int pass = 0; pass < 2 && failures < 10; ++pass) {
            for (std::uint32_t k = 0; k <= len && failures < 10; ++k) {
                const std::uint32_t at = pass == 0 ? k : len - k;
                kestrel::match_context bound(view, &c.re->lazy_slot(), s, len);
                bound.scratch = &scratch;
                kestrel::slot_vector out;
                const bool matched = kestrel::pike_vm_match_threads(bound, at, out);
                const std::string chain = slots_text(c.re->match(at, s, len, kestrel::captures::all, &chain_scratch));
                ++cases;
                if (matched != (expected[at] != "-") || chain != expected[at]) {
                    ++failures;
                    ADD_FAILURE() << "/" << match_text::show(pattern) << "/ at " << at << " of \""
                                  << match_text::show(subject) << "\": " << (matched ? "match" : "no match")
                                  << " on the thread lists, " << chain << " through the chain, not " << expected[at];
                }
            }
        }
        if (scratch.failures().memory_bytes() > 0) ++with_records;
    }
    EXPECT_GT(cases, 300 * patterns);
    EXPECT_GT(with_records, patterns / 4) << "the memo was hardly used";
    std::printf("%llu patterns, %llu with records, %llu cases\n", static_cast<unsigned long long>(tried),
                static_cast<unsigned long long>(with_records), static_cast<unsigned long long>(cases));
}

// The work of trying a pattern at every offset of a text, as the engine counts it.
std::uint64_t work_at_every_offset(const regex& re, const std::string& subject) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    const auto len = static_cast<std::uint32_t>(subject.size());
    kestrel::match_scratch scratch;
    scratch.failures().bind(s, len);
    for (std::uint32_t at = 0; at <= len; ++at) re.match(at, s, len, kestrel::captures::whole_match_only, &scratch);
    return scratch.work;
}

TEST(FailureMemo, LongFailingScansAreNotRepeated) {
    // Each of these fails (or, the last, matches) after reading to the end or far ahead from
    // nearly every offset:
    // without the memo the work of all offsets together grows with the square of the text.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/\\*[\\s\\S]*?\\*/", "/* "},
        {"(a+)+$", "a"},
        {"(\\w+\\s?)+$", "ab "},
        {"(?=\\w*x)\\w", "a"},
        {"a[^z]*?z\\b", "ab"},
        {"a(?:a*b\\b)?", "a"},  // matches at every offset, after reading to the end
        {"\"(?:[^\"\\\\]|\\\\.)*\"(?=;)", "\"a\\\"b"},
    };
    for (const auto& [pattern, unit] : cases) {
        const regex re(pattern);
        std::string small, large;
        while (small.size() < 20000) small += unit;
        large = small + small;
        large += "!";
        small += "!";
        const double ratio = static_cast<double>(work_at_every_offset(re, large)) /
                             static_cast<double>(work_at_every_offset(re, small));
        EXPECT_LT(ratio, 2.3) << pattern;
    }
}

// The backtracker's window: a short token in the middle of a long subject is answered by the
// backtracker, a match longer than the window goes to the thread lists, with equal answers.
TEST(BacktrackWindow, LongSubjectsShortAndLongMatches) {
    const regex re("([a-z]+)(\\d*)");
    ASSERT_TRUE(re.prog().backtrack_allowed);
    const std::uint32_t window = kestrel::backtrack_window(re.prog().instructions.size());
    ASSERT_GT(window, 10u);
    std::string subject(100000, ' ');
    subject.replace(50000, 5, "abc12");
    subject.replace(70000, window + 20, std::string(window + 20, 'q'));
    const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
    const auto n = static_cast<std::uint32_t>(subject.size());
    struct row {
        std::uint32_t offset;
        bool backtracker_answers;
        std::string expected;
    };
    const row rows[] = {
        {50000, true, "50000,50005,50000,50003,50003,50005"},
        {70000, false, "70000," + std::to_string(70000 + window + 20) + ",70000," +
                           std::to_string(70000 + window + 20) + "," + std::to_string(70000 + window + 20) +
                           "," + std::to_string(70000 + window + 20)},
        {10, true, "-"},
    };
    for (const row& r : rows) {
        bool applied = false;
        const auto bt = re.match_with(matcher_choice::backtrack, r.offset, s, n, &applied);
        EXPECT_EQ(applied, r.backtracker_answers) << r.offset;
        if (applied) {
            EXPECT_EQ(slots_text(bt), r.expected) << r.offset;
        }
        EXPECT_EQ(slots_text(re.match(r.offset, s, n)), r.expected) << r.offset;
        EXPECT_EQ(slots_text(re.match_with(matcher_choice::pike_vm, r.offset, s, n)), r.expected) << r.offset;
    }
}

// A failed attempt in the window form costs what it touched, not a pass over the subject.
TEST(BacktrackWindow, WorkDoesNotGrowWithTheSubject) {
    const regex re("(a|b)+c");
    std::uint64_t steps_small = 0, steps_large = 0;
    for (std::size_t size : {1000u, 1000000u}) {
        std::string subject(size, 'x');
        subject.replace(size / 2, 6, "ababac");
        bool applied = false;
        std::uint64_t steps = 0;
        const auto r = re.match_with(matcher_choice::backtrack, static_cast<std::uint32_t>(size / 2),
                                     reinterpret_cast<const std::uint8_t*>(subject.data()),
                                     static_cast<std::uint32_t>(subject.size()), &applied, &steps);
        ASSERT_TRUE(applied);
        EXPECT_TRUE(r.matched);
        (size == 1000 ? steps_small : steps_large) = steps;
    }
    EXPECT_EQ(steps_small, steps_large);
}

// A subject of 4 GiB - 1 bytes (the lexer's limit): the thread lists stop at its end instead
// of wrapping the offset.  The subject is a read-only mapping of zero pages, so nothing of its
// size is allocated.
TEST(LongSubjects, LargestSubjectEndsTheLoop) {
    const std::size_t size = 0xFFFFFFFFu;
    void* mem = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB of address space here";
    const auto* s = static_cast<const std::uint8_t*>(mem);
    const auto n = static_cast<std::uint32_t>(size);
    const regex re("(\\x00)*");
    for (const std::uint32_t start : {n - 3, n - 1, n}) {
        const auto r = re.match_with(matcher_choice::pike_vm, start, s, n);
        ASSERT_TRUE(r.matched) << start;
        // Slots are 32-bit: the end offset 4 GiB - 1 reads back as -1 in a signed slot, and
        // the lexer takes it modulo 2^32.
        EXPECT_EQ(static_cast<std::uint32_t>(r.slot(1)), n) << start;
        const auto st = re.match_streaming(start, s, n);
        EXPECT_EQ(static_cast<std::uint32_t>(st.result.slot(1)), n) << start;
    }
    munmap(mem, size);
}

// Assigning to a regex leaves its lazy slot empty: tables built for the old program must
// never serve the new one.
TEST(LazySlot, AssignmentEmptiesTheSlot) {
    regex a("[\\x{100}-\\x{200}]+x");
    const std::string text = "\xc4\x80\xc4\x81x";
    EXPECT_TRUE(a.match(0, text).matched);
    ASSERT_TRUE(a.lazy_slot().has_class_tables());
    a = regex("[\\x{300}-\\x{400}]+x");
    EXPECT_FALSE(a.lazy_slot().has_class_tables());
    EXPECT_FALSE(a.match(0, text).matched);
    const regex b("\\x{3ff}x");
    a = b;
    EXPECT_FALSE(a.lazy_slot().has_class_tables());
    EXPECT_TRUE(a.match(0, "\xcf\xbfx").matched);
}

// The one-pass table waits for one_pass_use_threshold eligible calls: the calls before run on
// the Pike VM, the one after builds the table, and all give the same answer.
TEST(OnePassRow, BuiltAfterTheThresholdWithEqualResults) {
    const regex re("(a|b)+(c)");
    const std::string subject = "abbac";
    const std::string expected = "0,5,3,4,4,5";
    for (std::uint32_t call = 0; call < kestrel::one_pass_use_threshold; ++call) {
        ASSERT_EQ(slots_text(re.match(0, subject)), expected) << call;
    }
    EXPECT_EQ(re.lazy_slot().one_pass_builds(), 0u);
    EXPECT_EQ(slots_text(re.match(0, subject)), expected);
    EXPECT_EQ(re.lazy_slot().one_pass_builds(), 1u);
    EXPECT_EQ(re.lazy_slot().byte_program_builds(), 1u);
    ASSERT_TRUE(re.lazy_slot().one_pass(re.prog()).usable());
    for (const std::string s : {"abbac", "cab", "", "aac", "ab"}) {
        EXPECT_EQ(slots_text(re.match(0, s)), slots_text(re.match_with(matcher_choice::pike_vm, 0,
                  reinterpret_cast<const std::uint8_t*>(s.data()), static_cast<std::uint32_t>(s.size())))) << s;
    }
    // Asking for the whole match only never counts a use: the chain skips the table then.
    const regex other("(a|b)+(c)");
    for (std::uint32_t call = 0; call < kestrel::one_pass_use_threshold + 10; ++call) {
        ASSERT_TRUE(other.match(0, subject, kestrel::captures::whole_match_only).matched);
    }
    EXPECT_EQ(other.lazy_slot().one_pass_builds(), 0u);
}

// Several threads on a fresh regex: the byte programs and the one-pass table are built once,
// and every call gives the same answer.
TEST(OnePassRow, ThreadsBuildEachPieceOnce) {
    const regex re("([a-z]+)=([0-9]+)");
    const std::string subject = "key=123;";
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                if (slots_text(re.match(0, subject)) != "0,7,0,3,4,7") ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(re.lazy_slot().byte_program_builds(), 1u);
    EXPECT_EQ(re.lazy_slot().one_pass_builds(), 1u);
}

}  // namespace
