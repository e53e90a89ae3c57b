// Shared by the byte-program and one-pass tests: seeded random patterns and subjects, the
// Pike VM as reference, and golden dump files.
//
// Golden files (tests/data/*_dumps.txt) hold cases as
//   === PATTERN <TAB> TAG
//   dump lines ...
// up to the next "===" line; lines starting with "#" before the first case are comments.
// With KESTREL_UPDATE_GOLDEN=1 in the environment a test rewrites its file from what the
// code prints now (for review with git diff) instead of comparing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kestrel/match_context.h"
#include "kestrel/pike_vm.h"
#include "kestrel/program.h"

#ifndef TESSEL_TEST_DATA_DIR
#error "TESSEL_TEST_DATA_DIR must name the tests/data folder"
#endif

namespace automata_test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

// The fixed seed of the random tests, or KESTREL_AUTOMATA_SEED from the environment.
inline std::uint64_t seed(std::uint64_t fixed) {
    if (const char* env = std::getenv("KESTREL_AUTOMATA_SEED")) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(env, &end, 0);
        if (end != env && *end == '\0') return v;
    }
    return fixed;
}

inline const std::uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// The Pike VM's thread lists on prog: true and the slots on a match.
inline bool pike_match(const kestrel::program& prog, const std::string& subject,
                       std::uint32_t start, kestrel::slot_vector& out) {
    kestrel::match_context ctx(kestrel::make_view(prog), nullptr, bytes(subject),
                               static_cast<std::uint32_t>(subject.size()));
    return kestrel::pike_vm_match_threads(ctx, start, out);
}

// Random patterns over a small alphabet with multi-byte characters, classes that expand to
// byte automata, case folding, groups, alternations and repeats.  An unbounded repeat never
// gets a body that can match empty (the empty-iteration rules are not what these tests are
// about, and the one-pass builder refuses such loops anyway).
class pattern_generator {
public:
    pattern_generator(std::mt19937_64& rng, bool captures, bool assertions)
        : rng_(rng), captures_(captures), assertions_(assertions) {}

    std::string next() {
        bool nullable = false;
        return node(0, nullable);
    }

private:
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }

    std::string atom(bool& nullable) {
        static const char* const solid[] = {
            "a", "b", "c", "a", "b", "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "[ab]",
            "[^a]", "[a-c\xc3\xa9]", "[\xce\xb1-\xcf\x89]", ".", "\\d", "(?i:k)",
            "(?i:\xc3\xa9)", "[^\\n]", "[\xc3\xa0-\xe4\xb8\xad]", "(?s:.)", "\\p{Greek}",
            "[b\xe2\x84\xaa]", "(?i:s)"};
        static const char* const zero_width[] = {"\\b", "\\B", "^", "$", "\\A", "\\Z",
                                                 "(?m:^)", "(?m:$)"};
        if (assertions_ && pick(8) == 0) {
            nullable = true;
            return zero_width[pick(std::size(zero_width))];
        }
        if (pick(20) == 0) {
            nullable = true;
            return "";
        }
        nullable = false;
        return solid[pick(std::size(solid))];
    }

    std::string node(int depth, bool& nullable) {
        const std::size_t kind = depth >= 4 ? 0 : pick(10);
        switch (kind) {
            case 0:
            case 1:
            case 2:
                return atom(nullable);
            case 3:
            case 4: {  // concatenation
                const std::size_t n = 2 + pick(2);
                std::string out;
                nullable = true;
                for (std::size_t i = 0; i < n; ++i) {
                    bool child = false;
                    out += node(depth + 1, child);
                    nullable = nullable && child;
                }
                return out;
            }
            case 5: {  // alternation
                const std::size_t n = 2 + pick(2);
                std::string out;
                nullable = false;
                for (std::size_t i = 0; i < n; ++i) {
                    bool child = false;
                    if (i != 0) out += "|";
                    out += node(depth + 1, child);
                    nullable = nullable || child;
                }
                return "(?:" + out + ")";
            }
            case 6:
            case 7: {  // group
                const std::string inner = node(depth + 1, nullable);
                return (captures_ && pick(3) != 0 ? "(" : "(?:") + inner + ")";
            }
            default: {  // repeat
                bool body_nullable = false;
                const std::string body = node(depth + 1, body_nullable);
                static const char* const bounded[] = {"?", "??", "{0,2}", "{1,3}", "{2}", "{1,2}?"};
                static const char* const unbounded[] = {"*", "*?", "+", "+?", "{2,}"};
                const std::string wrapped = "(?:" + body + ")";
                if (body_nullable || pick(2) == 0) {
                    const std::string q = bounded[pick(std::size(bounded))];
                    nullable = body_nullable || q[0] == '?' || q[1] == '0';
                    return wrapped + q;
                }
                const std::string q = unbounded[pick(std::size(unbounded))];
                nullable = q[0] == '*';
                return wrapped + q;
            }
        }
    }

    std::mt19937_64& rng_;
    bool captures_;
    bool assertions_;
};

// Random subjects built from pieces the patterns care about, invalid UTF-8 included.
inline std::string random_subject(std::mt19937_64& rng, std::size_t max_pieces) {
    static const char* const pieces[] = {
        "a", "b", "c", "a", "b", "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "k", "K",
        "\xe2\x84\xaa", "1", "\n", "\xce\xb1", "\xcf\x89", "\xff", "\xc3", "\xed\xa0\x80", " ",
        "_", "s", "\xc5\xbf", "\xc3\x89"};
    std::string out;
    const std::size_t n = static_cast<std::size_t>(rng() % (max_pieces + 1));
    for (std::size_t i = 0; i < n; ++i) out += pieces[rng() % std::size(pieces)];
    return out;
}

struct golden_case {
    std::string pattern;
    std::string tag;
    std::string expected;
};

inline std::string golden_path(const char* name) {
    return std::string(TESSEL_TEST_DATA_DIR) + "/" + name;
}

// The cases of a golden file, and its comment header in `header`.
inline std::vector<golden_case> read_golden(const char* name, std::string& header) {
    std::ifstream in(golden_path(name), std::ios::binary);
    std::vector<golden_case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("=== ", 0) == 0) {
            const std::size_t tab = line.find('\t');
            golden_case c;
            c.pattern = line.substr(4, tab == std::string::npos ? std::string::npos : tab - 4);
            c.tag = tab == std::string::npos ? "" : line.substr(tab + 1);
            cases.push_back(std::move(c));
        } else if (cases.empty()) {
            header += line + "\n";
        } else {
            cases.back().expected += line + "\n";
        }
    }
    return cases;
}

// Compares every case of the golden file `name` with dump(case), or rewrites the file when
// KESTREL_UPDATE_GOLDEN is set.
template <class Dump>
void check_golden(const char* name, Dump&& dump) {
    std::string header;
    std::vector<golden_case> cases = read_golden(name, header);
    ASSERT_GE(cases.size(), 12u) << "golden file " << name << " is missing or was cut";
    if (std::getenv("KESTREL_UPDATE_GOLDEN") != nullptr) {
        std::ofstream out(golden_path(name), std::ios::binary);
        out << header;
        for (const golden_case& c : cases)
            out << "=== " << c.pattern << "\t" << c.tag << "\n" << dump(c);
        return;
    }
    for (const golden_case& c : cases) {
        EXPECT_EQ(dump(c), c.expected) << name << ": " << c.pattern << " [" << c.tag << "]";
    }
}

}  // namespace automata_test
