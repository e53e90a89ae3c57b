// The Pike VM and its companions: priorities, streaming's open_end and what it promises, the
// linear bound, the UTF-8 and assertion steps, and concurrent use of one regex.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/assertions.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using kestrel::matcher_choice;
using kestrel::regex;

const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// "start,end" of group 0, or "-" for no match.
std::string span(const kestrel::match_result& r) {
    if (!r.matched) return "-";
    return std::to_string(r.slot(0)) + "," + std::to_string(r.slot(1));
}

TEST(PikeVm, PriorityNotLength) {
    struct row {
        const char* pattern;
        const char* subject;
        std::uint32_t pos;
        const char* expected;
    } rows[] = {
        {"a|ab", "ab", 0, "0,1"},
        {"ab|a", "ab", 0, "0,2"},
        {"a*?", "aaa", 0, "0,0"},
        {"a*", "aaa", 0, "0,3"},
        {"", "", 0, "0,0"},
        {"", "abc", 3, "3,3"},
        {"a", "a", 1, "-"},        // a first byte is known, and none is left at the end
        {"\\Aa", "aa", 1, "-"},
        {"(?<=a)a", "aa", 1, "1,2"},  // lookbehind sees before pos
        {"\\ba", "aa", 1, "-"},       // so do word boundaries
    };
    for (const row& r : rows) {
        regex re(r.pattern);
        const std::string subject = r.subject;
        for (auto choice : {matcher_choice::automatic, matcher_choice::pike_vm}) {
            EXPECT_EQ(span(re.match_with(choice, r.pos, bytes(subject), subject.size())), r.expected)
                << r.pattern << " at " << r.pos << " of " << r.subject;
        }
    }
}

TEST(PikeVm, OffsetPastTheEndGivesTheEmptyResult) {
    regex re("");
    const std::string s = "ab";
    auto r = re.match(3, bytes(s), 2);
    EXPECT_FALSE(r.matched);
    EXPECT_EQ(r.slots.size(), 0u);
    EXPECT_EQ(re.match(2, bytes(s), 2).end(), 2);
}

TEST(PikeVm, ManySlotsComeBackIntact) {
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "(.)";
    const std::string subject(40, 'x');
    regex re(pattern);
    auto r = re.match(0, bytes(subject), subject.size());
    ASSERT_TRUE(r.matched);
    ASSERT_EQ(r.slots.size(), 82u);
    EXPECT_TRUE(r.slots.on_heap());
    for (int g = 1; g <= 40; ++g) {
        EXPECT_EQ(r.slot(2 * g), g - 1);
        EXPECT_EQ(r.slot(2 * g + 1), g);
    }
}

TEST(Utf8, DecodeEdges) {
    struct row {
        std::string text;
        std::uint32_t cp, length;
        bool valid;
    } rows[] = {
        {"a", 'a', 1, true},
        {"\xc3\xa9", 0xE9, 2, true},
        {"\xe2\x82\xac", 0x20AC, 3, true},
        {"\xf0\x9f\x98\x80", 0x1F600, 4, true},
        {"\xc3", 0, 1, false},              // truncated at the end
        {"\xe2\x82", 0, 2, false},
        {"\xe2\x28\xa1", 0, 1, false},      // second byte not a continuation
        {"\xc0\xaf", 0, 2, false},          // overlong
        {"\xe0\x80\xaf", 0, 3, false},
        {"\xed\xa0\x80", 0, 3, false},      // surrogate
        {"\xf4\x90\x80\x80", 0, 4, false},  // above U+10FFFF
        {"\x80", 0, 1, false},
        {"\xff", 0, 1, false},
    };
    for (const row& r : rows) {
        auto d = kestrel::decode_utf8(bytes(r.text), r.text.size(), 0);
        EXPECT_EQ(d.cp, r.cp) << r.text;
        EXPECT_EQ(d.length, r.length) << r.text;
        EXPECT_EQ(d.valid, r.valid) << r.text;
    }
}

TEST(Assertions, WordBoundaryFollowsTheWordDefinition) {
    const std::string s = "a\xc3\xa9 ";  // a, é, space
    // Between "a" and "é": a boundary only when é is not a word character.
    EXPECT_TRUE(kestrel::assertion_holds(5, 1, true, bytes(s), s.size()));
    EXPECT_FALSE(kestrel::assertion_holds(5, 1, false, bytes(s), s.size()));
    // Between "é" and the space: the reverse.
    EXPECT_FALSE(kestrel::assertion_holds(5, 3, true, bytes(s), s.size()));
    EXPECT_TRUE(kestrel::assertion_holds(5, 3, false, bytes(s), s.size()));
    // Inside é (offset 2) there is no character ending there.
    EXPECT_FALSE(kestrel::word_before(bytes(s), s.size(), 2, false));
    const std::string lines = "a\r\nb";
    EXPECT_TRUE(kestrel::assertion_holds(9, 2, true, bytes(lines), lines.size()));
    EXPECT_FALSE(kestrel::assertion_holds(3, 2, true, bytes(lines), lines.size()));
    EXPECT_TRUE(kestrel::assertion_holds(10, 1, true, bytes(lines), lines.size()));
    EXPECT_TRUE(kestrel::assertion_holds(2, 3, true, bytes("ab\n"), 3));
    EXPECT_FALSE(kestrel::assertion_holds(11, 0, true, bytes(lines), lines.size()));
}

TEST(Streaming, OpenEndTable) {
    struct row {
        const char* pattern;
        std::string subject;
        const char* expected;
        bool open_end;
    } rows[] = {
        {"ab", "a", "-", true},
        {"a$", "a", "0,1", true},
        {"a", "ab", "0,1", false},
        {"a", "a", "0,1", false},
        {"a+", "aa", "0,2", true},
        {"a+", "ab", "0,1", false},
        {"a\\b", "a", "0,1", true},
        {"a\\b", "a ", "0,1", false},
        {"a\\Z", "ab", "-", false},
        {"\\w", "\xc3", "-", true},        // an incomplete character
        {"\\w", "\xff", "-", true},        // short and undecodable: still counted incomplete
        {"\\w", "\xff" "abc", "-", false},
        {"(?=abc)a", "ab", "-", true},     // the lookahead reaches the end
        {"(?=ab)a", "abc", "0,1", false},
        {"(?=a*)a", "abcd", "0,1", true},  // unbounded lookahead
        {"(?<=a)b", "ab", "-", false},     // at offset 0: nothing before
        {"a++", "aa", "0,2", true},
        {"a++b", "aab", "0,3", false},
        {"(?m)a$", "a\n", "0,1", false},
        {"a$", "a\n", "0,1", true},        // $ before a final newline: more text could follow
    };
    for (const row& r : rows) {
        regex re(r.pattern);
        auto m = re.match_streaming(0, bytes(r.subject), r.subject.size());
        EXPECT_EQ(span(m.result), r.expected) << r.pattern << " over " << r.subject;
        EXPECT_EQ(m.open_end, r.open_end) << r.pattern << " over " << r.subject;
    }
}

// Random patterns over a two-letter alphabet, from a small grammar.
std::string random_pattern(std::mt19937& rng, int depth = 0) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::string out;
    const int items = 1 + pick(3);
    for (int i = 0; i < items; ++i) {
        std::string atom;
        switch (depth < 2 ? pick(9) : pick(5)) {
        case 0: atom = "a"; break;
        case 1: atom = "b"; break;
        case 2: atom = "[ab]"; break;
        case 3: atom = "."; break;
        case 4: atom = pick(2) ? "\\b" : "$"; break;
        case 5: atom = "(" + random_pattern(rng, depth + 1) + ")"; break;
        case 6: atom = "(?:" + random_pattern(rng, depth + 1) + "|" + random_pattern(rng, depth + 1) + ")"; break;
        case 7: atom = "(?=" + std::string(pick(2) ? "a" : "b") + ")"; break;
        default: atom = "(?<!" + std::string(pick(2) ? "a" : "ab") + ")"; break;
        }
        const char* quantifiers[] = {"", "", "*", "+", "?", "*?", "{1,2}", "++"};
        std::string q = quantifiers[pick(8)];
        if (atom[0] == '\\' || atom[0] == '$' || (atom.size() > 2 && atom[1] == '?' && atom[2] != ':')) q = "";
        out += atom + q;
    }
    return out;
}

TEST(Streaming, NoOpenEndMeansMoreTextChangesNothing) {
    std::mt19937 rng(20261208);
    int checked = 0;
    for (int round = 0; round < 400; ++round) {
        const std::string pattern = random_pattern(rng);
        std::unique_ptr<regex> re;
        try {
            re = std::make_unique<regex>(pattern);
        } catch (const kestrel::regex_error&) {
            continue;  // possessive over a compound body and the like
        }
        std::string text;
        const int n = 1 + static_cast<int>(rng() % 7);
        for (int i = 0; i < n; ++i) text += "ab "[rng() % 3];
        const auto whole = re->match_with(matcher_choice::pike_vm, 0, bytes(text), text.size());
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            for (std::uint32_t pos = 0; pos <= cut; ++pos) {
                auto m = re->match_streaming(pos, bytes(text), cut);
                if (m.open_end) continue;
                auto full = re->match_with(matcher_choice::pike_vm, pos, bytes(text), text.size());
                ASSERT_EQ(span(m.result), span(full))
                    << pattern << " over " << text << " cut at " << cut << " pos " << pos;
                ++checked;
            }
        }
        (void)whole;
    }
    EXPECT_GT(checked, 1000);
}

TEST(LinearTime, StepsGrowWithTheSubject) {
    struct row {
        const char* pattern;
        char fill;
    } rows[] = {
        {"(a+)+$", 'a'},
        {"(a|aa)*b", 'a'},
        {"(x+x+)+y", 'x'},
        {"(?:a*)*b", 'a'},
        {"(?:(?<=a{0,9}a)a|a)*b", 'a'},
        {"(?:a(?=a*))*b", 'a'},
    };
    const std::uint32_t n = 50000;
    for (const row& r : rows) {
        regex re(r.pattern);
        const std::string small(n, r.fill), large(2 * n, r.fill);
        std::uint64_t steps_small = 0, steps_large = 0;
        re.match_with(matcher_choice::pike_vm, 0, bytes(small), small.size(), nullptr, &steps_small);
        re.match_with(matcher_choice::pike_vm, 0, bytes(large), large.size(), nullptr, &steps_large);
        const double ratio = static_cast<double>(steps_large) / static_cast<double>(steps_small);
        EXPECT_GT(ratio, 1.8) << r.pattern;
        EXPECT_LT(ratio, 2.2) << r.pattern;
        EXPECT_LT(steps_large, std::uint64_t{200} * 2 * n) << r.pattern;
    }
}

// A lexer calls match once per token over the whole text: an unbounded lookahead must then
// cost what its body reads, not a pass over the rest of the subject at every call.
TEST(LinearTime, OneCallPerTokenWithAnUnboundedLookahead) {
    // (A body that can read to the end of the text, like (?=[ab ]*c) here, still costs a pass
    // per call: no per-call cache can avoid that.)
    for (const char* pattern : {"a(?= *b)", "a(?! *b)", "a(?=(?:[ ]|a)*b)"}) {
        regex re(pattern);
        auto total_steps = [&](std::uint32_t pairs) {
            std::string subject;
            for (std::uint32_t i = 0; i < pairs; ++i) subject += "a   b ";
            std::uint64_t total = 0;
            for (std::uint32_t pos = 0; pos < subject.size(); pos += 6) {
                std::uint64_t steps = 0;
                re.match_with(matcher_choice::pike_vm, pos, bytes(subject), subject.size(), nullptr, &steps);
                total += steps;
            }
            return total;
        };
        const std::uint64_t small = total_steps(500), large = total_steps(1000);
        const double ratio = static_cast<double>(large) / static_cast<double>(small);
        EXPECT_GT(ratio, 1.8) << pattern;
        EXPECT_LT(ratio, 2.2) << pattern;
    }
}

TEST(Threads, OneRegexManyCallers) {
    // Two-byte characters go through the cached per-class maps, built on first need.
    regex re("[\\u00e0-\\u00ff\\w]+(?<=\\u00e9)");
    std::string subject;
    for (int i = 0; i < 200; ++i) subject += "\xc3\xa0" "b\xc3\xa9";
    const auto expected = re.match_with(matcher_choice::pike_vm, 0, bytes(subject), subject.size());
    const regex fresh(re);  // a copy starts with an empty lazy slot
    std::vector<std::thread> threads;
    std::vector<std::string> results(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k) {
                auto r = fresh.match(0, bytes(subject), subject.size());
                results[t] = span(r);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (const std::string& r : results) EXPECT_EQ(r, span(expected));
    // The cache itself and the one two-byte map of the one class: each built once.
    EXPECT_EQ(fresh.lazy_slot().builds(), 2u);
}

TEST(RegexCopies, ShareTheProgramAndStayUsableAfterAMove) {
    // A lexer whose rules repeat a pattern holds its program once: copies share it.
    regex re("(?:ab|a)c+");
    const regex copy(re);
    EXPECT_EQ(&copy.prog(), &re.prog());
    regex moved(std::move(re));
    EXPECT_EQ(&moved.prog(), &copy.prog());
    // The moved-from regex still matches as before (it keeps sharing the program).
    const std::string subject = "abccx";
    EXPECT_EQ(span(re.match(0, bytes(subject), subject.size())), "0,4");
    regex other("x");
    other = moved;
    EXPECT_EQ(span(other.match(0, bytes(subject), subject.size())), "0,4");
    EXPECT_EQ(other.lazy_slot().builds(), 0u);
}

}  // namespace
