// Seeded random construction: random byte strings and near-valid patterns (valid ones with a
// few bytes inserted, deleted or replaced from the regex alphabet) go through regex
// construction.  Each must either compile or throw regex_error with a position inside the
// pattern and the documented what() text; nothing else may escape, crash or hang.  Patterns
// that compile are matched against a few random subjects, and the thread lists, the
// backtracker (where it applies), the selection chain and the streaming match must agree.
//
// The seed is fixed; KESTREL_FUZZ_SEED=<number> replays another one.  Sanitizer builds run
// fewer rounds.
#include <gtest/gtest.h>

#include "match_text.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kestrel/regex.h"
#include "kestrel/regex_error.h"

namespace {

using kestrel::matcher_choice;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

constexpr int rounds_per_kind = sanitized ? 12000 : 50000;
// Matching cost grows with the program; the largest programs (counted repeats of counted
// repeats) only need to construct, not to run.
constexpr std::size_t max_instructions_to_run = 4000;

std::uint64_t fuzz_seed() {
    if (const char* env = std::getenv("KESTREL_FUZZ_SEED")) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 0);
        if (end != env && *end == '\0') return v;
    }
    return 0x6b657374726c31ull;
}

std::string show(const std::string& bytes) { return match_text::show(bytes); }

std::string slots_text(const kestrel::match_result& r) { return match_text::slots(r); }

// Valid patterns that the mutations start from: every construct of the syntax appears.
const std::vector<std::string> seeds = {
    "a", "abc", "a|b|c", "ab|cd", "(a)(b)?", "(?:ab)*c", "a*?b+?c??", "a{2,5}", "a{,3}b{2}",
    "a++b*+c?+", "[a-z]+", "[^\\n\"]*", "[]a-]", "[\\d\\s\\w]", "[\\p{Lu}\\x{e9}]", "\\p{Greek}+",
    "\\P{^L}", ".+", "(?s).", "(?i)k\xc3\x9f", "(?m)^a$", "\\Aa\\Z", "\\ba\\B", "\\<w\\>",
    "a(?=b)", "(?<=ab)c", "(?!x)(?<!y)", "(?P<name>a)(?<other>b)", "(?i:a)(?-i:b)", "(?x) a b # c",
    "(?a)\\w+", "(?U)a*", "\\Qa.b\\E", "\\x41\\xe9\\u00e9\\U0001F600", "\\N{U+41}", "\\101\\0",
    "(?>ab)", "(?>a+)", "(?#note)x", "\xc3\xa9+|\xe4\xb8\xad", "((a|b)*c){1,3}", "\\t\\n\\r",
    "x{1000}", "(?<=a{0,3})b", "a(?=.*z)", "[\\w-]+(?=:)",
};

// Bytes that mutations insert: regex syntax, letters the escapes and flags use, and a few
// bytes of multi-byte and invalid UTF-8.
const std::string alphabet =
    "()[]{}*+?|^$.\\-,:=!<>#&~ PpQEdDwWsSbBAZzxuUNCRaimsxU0123456789_\n\t\xc3\xa9\xe4\xff\x80";

std::string mutate(std::mt19937_64& rng, std::string p) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const int edits = 1 + static_cast<int>(pick(4));
    for (int e = 0; e < edits; ++e) {
        const char c = alphabet[pick(alphabet.size())];
        switch (pick(3)) {
        case 0: p.insert(p.begin() + static_cast<std::ptrdiff_t>(pick(p.size() + 1)), c); break;
        case 1:
            if (!p.empty()) p.erase(pick(p.size()), 1);
            break;
        default:
            if (!p.empty()) p[pick(p.size())] = c;
            break;
        }
    }
    return p;
}

std::string random_bytes(std::mt19937_64& rng, std::size_t max_length) {
    std::string out(static_cast<std::size_t>(rng() % (max_length + 1)), '\0');
    const bool from_alphabet = rng() % 2 == 0;
    for (char& c : out) {
        c = from_alphabet ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() & 0xff);
    }
    return out;
}

std::string random_subject(std::mt19937_64& rng) {
    static const std::vector<std::string> pieces = {
        "a", "b", "c", "ab", "x", "z", "_", "1", " ", "\n", ":", "\"", "\xc3\xa9", "\xe4\xb8\xad",
        "\xf0\x9f\x98\x80", "K", "\xe2\x84\xaa", "\xff", "\xc3",
    };
    std::string out;
    const int n = static_cast<int>(rng() % 9);
    for (int i = 0; i < n; ++i) out += pieces[rng() % pieces.size()];
    return out;
}

struct fuzz_stats {
    int compiled = 0;
    int refused = 0;
    int matched_runs = 0;
};

// Constructs one pattern and checks what happens; returns false after a failure so that the
// caller can stop at the first reproducer.
bool exercise(const std::string& pattern, std::mt19937_64& rng, fuzz_stats& stats,
              const std::string& context) {
    std::optional<kestrel::regex> re;
    try {
        re.emplace(pattern);
    } catch (const kestrel::regex_error& e) {
        ++stats.refused;
        const std::int32_t pos = e.position();
        if (pos < 0 || static_cast<std::size_t>(pos) > pattern.size()) {
            ADD_FAILURE() << context << ": /" << show(pattern) << "/ error position " << pos
                          << " outside the pattern: " << e.what();
            return false;
        }
        const std::string expected_what = "regex_error at " + std::to_string(pos) + ": " + e.message();
        if (e.message().empty() || expected_what != e.what()) {
            ADD_FAILURE() << context << ": /" << show(pattern) << "/ malformed error text: " << e.what();
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        ADD_FAILURE() << context << ": /" << show(pattern) << "/ threw something else: " << e.what();
        return false;
    }
    ++stats.compiled;
    if (re->prog().instructions.size() > max_instructions_to_run) return true;

    for (int k = 0; k < 3; ++k) {
        const std::string subject = random_subject(rng);
        const auto* s = reinterpret_cast<const std::uint8_t*>(subject.data());
        const auto n = static_cast<std::uint32_t>(subject.size());
        const std::uint32_t pos = static_cast<std::uint32_t>(rng() % (n + 1));
        const std::string pike = slots_text(re->match_with(matcher_choice::pike_vm, pos, s, n));
        const std::string chain = slots_text(re->match(pos, s, n));
        const std::string streaming = slots_text(re->match_streaming(pos, s, n).result);
        bool applied = false;
        const auto bt = re->match_with(matcher_choice::backtrack, pos, s, n, &applied);
        ++stats.matched_runs;
        if (chain != pike || streaming != pike || (applied && slots_text(bt) != pike)) {
            ADD_FAILURE() << context << ": /" << show(pattern) << "/ on \"" << show(subject)
                          << "\" at " << pos << ": pike_vm " << pike << ", match " << chain
                          << ", streaming " << streaming << ", backtrack "
                          << (applied ? slots_text(bt) : std::string("n/a"));
            return false;
        }
    }
    return true;
}

TEST(ConstructionFuzz, RandomBytesAndNearValidPatterns) {
    const std::uint64_t seed = fuzz_seed();
    std::mt19937_64 rng(seed);
    fuzz_stats stats;
    const std::string tag = "seed " + std::to_string(seed);
    for (int i = 0; i < rounds_per_kind; ++i) {
        const std::string pattern = random_bytes(rng, 24);
        if (!exercise(pattern, rng, stats, tag + ", random bytes, round " + std::to_string(i))) return;
    }
    for (int i = 0; i < rounds_per_kind; ++i) {
        const std::string pattern = mutate(rng, seeds[rng() % seeds.size()]);
        if (!exercise(pattern, rng, stats, tag + ", mutation, round " + std::to_string(i))) return;
    }
    // Both outcomes must be common, or the generator has stopped exploring.
    EXPECT_GT(stats.compiled, rounds_per_kind / 4) << tag;
    EXPECT_GT(stats.refused, rounds_per_kind / 4) << tag;
    EXPECT_GT(stats.matched_runs, rounds_per_kind / 2) << tag;
}

// Every seed pattern is valid as written (otherwise the mutations start from nothing).
TEST(ConstructionFuzz, SeedPatternsCompile) {
    for (const std::string& p : seeds) {
        EXPECT_NO_THROW(kestrel::regex{p}) << show(p);
    }
}

}  // namespace
