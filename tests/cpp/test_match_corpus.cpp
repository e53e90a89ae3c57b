// The shared matcher corpus (tests/data/match_corpus.txt): every matcher that can take a case
// must return its expected slots.  For each case the selection chain, the thread lists, the
// bounded backtracker (where it applies), each of the special shapes whose analysis fact is set
// for the pattern, and the streaming match run separately, so a disagreement names the matcher
// and the corpus line.  The file's format is described in its header.
#include <gtest/gtest.h>

#include "match_corpus.h"
#include "match_text.h"
#include "shape_matchers.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/one_pass.h"
#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using kestrel::matcher_choice;

using match_corpus::corpus_case;
using match_corpus::load_corpus;

std::string show(const std::string& bytes) { return match_text::show(bytes); }

std::string show(const kestrel::match_result& r) { return match_text::slots(r); }

std::string show(const corpus_case& c) {
    if (!c.matches) return "-";
    std::string out;
    for (std::size_t i = 0; i < c.slots.size(); ++i) {
        if (i != 0) out += ',';
        out += std::to_string(c.slots[i]);
    }
    return out;
}

// Why a result does not fit the case, or nothing when it does.  A failed match must still
// hold the program's slot count, every slot -1, except past the end of the subject, where
// the result has no slots at all.
std::optional<std::string> mismatch(const corpus_case& c, const kestrel::match_result& r,
                                    std::size_t slot_count) {
    if (c.matches) {
        if (!r.matched) return "no match, expected " + show(c);
        if (r.slots.size() != c.slots.size() ||
            !std::equal(c.slots.begin(), c.slots.end(), r.slots.begin())) {
            return "got " + show(r) + ", expected " + show(c);
        }
        return std::nullopt;
    }
    if (r.matched) return "got " + show(r) + ", expected no match";
    const std::size_t want = c.offset > c.subject.size() ? 0 : slot_count;
    if (r.slots.size() != want) {
        return "no match as expected, but " + std::to_string(r.slots.size()) + " slots instead of " +
               std::to_string(want);
    }
    for (std::int32_t v : r.slots) {
        if (v != -1) return "no match as expected, but slots " + show(r) + " are set";
    }
    return std::nullopt;
}

using match_text::shape_matchers;

TEST(MatchCorpus, EveryMatcherAgreesWithTheExpectedSlots) {
    std::vector<std::string> problems;
    const std::vector<corpus_case> cases = load_corpus(problems);
    for (const std::string& p : problems) ADD_FAILURE() << "match_corpus.txt: " << p;
    // The corpus holds several hundred cases; far fewer means it was cut or misread.
    ASSERT_GE(cases.size(), 800u);

    std::map<std::string, int> runs;  // how many cases each matcher answered
    int open_checked = 0;
    for (const corpus_case& c : cases) {
        const std::string where = "match_corpus.txt:" + std::to_string(c.line) + ": /" +
                                  show(c.pattern) + "/ on \"" + show(c.subject) + "\" at " +
                                  std::to_string(c.offset);
        std::optional<kestrel::regex> re;
        try {
            re.emplace(c.pattern);
        } catch (const kestrel::regex_error& e) {
            ADD_FAILURE() << where << ": the pattern does not compile: " << e.what();
            continue;
        }
        const std::size_t slot_count = re->prog().slot_count;
        if (c.matches && c.slots.size() != slot_count) {
            ADD_FAILURE() << where << ": the case lists " << c.slots.size()
                          << " slots, the pattern has " << slot_count;
            continue;
        }
        const auto* s = reinterpret_cast<const std::uint8_t*>(c.subject.data());
        const auto n = static_cast<std::uint32_t>(c.subject.size());
        auto check = [&](const char* name, const kestrel::match_result& r) {
            ++runs[name];
            if (auto why = mismatch(c, r, slot_count)) ADD_FAILURE() << where << " [" << name << "]: " << *why;
        };

        check("match", re->match(c.offset, s, n));
        check("pike_vm", re->match_with(matcher_choice::pike_vm, c.offset, s, n));
        bool applied = false;
        const auto bt = re->match_with(matcher_choice::backtrack, c.offset, s, n, &applied);
        if (applied) check("backtrack", bt);
        for (const auto& [choice, name] : shape_matchers) {
            const auto r = re->match_with(choice, c.offset, s, n, &applied);
            if (applied) check(name, r);
        }
        // The one-pass table, wherever the pattern gets a usable one (the chain asks for it
        // only with capture groups, but the table must be right for any pattern).
        const kestrel::one_pass_table table = kestrel::build_one_pass(re->prog());
        if (table.usable() && c.offset <= n) {
            kestrel::match_result r;
            const std::int64_t end = table.run(c.offset, r.slots, s, n);
            r.matched = end >= 0;
            check("one_pass", r);
            if (r.matched) {
                EXPECT_EQ(end, r.slot(1)) << where << " [one_pass]: end";
            }
            if (re->prog().slot_count > 2) ++runs["one_pass with groups"];
        }
        const kestrel::streaming_match m = re->match_streaming(c.offset, s, n);
        check("streaming", m.result);
        if (c.open_end) {
            ++open_checked;
            EXPECT_EQ(m.open_end, *c.open_end) << where << " [streaming]: open_end";
        }
    }

    // Each matcher must have met the corpus; a shape that no case reaches any more means the
    // corpus (or the analysis that recognises the shape) has drifted.
    for (const char* name : {"match", "pike_vm", "backtrack", "streaming"}) {
        EXPECT_GT(runs[name], 100) << name;
    }
    for (const auto& [choice, name] : shape_matchers) {
        EXPECT_GE(runs[name], 5) << "special shape " << name << " takes too few corpus cases";
    }
    EXPECT_GE(open_checked, 40);
    EXPECT_GE(runs["one_pass"], 500);
    EXPECT_GE(runs["one_pass with groups"], 50);
    std::printf("corpus cases on a usable one-pass table: %d (%d with groups)\n", runs["one_pass"],
                runs["one_pass with groups"]);
}

}  // namespace
