// Helpers shared by the fuzz targets: a failure that stops the run with a readable account,
// a small deterministic random source seeded from the input, and the reader that splits an
// input into its parts.
//
// A target states a property of the code under test; when it does not hold, `fuzz_fail`
// prints what was expected and what happened and aborts, which libFuzzer (and the replay
// driver) records as a crash together with the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool holds, const std::string& what) {
    if (!holds) fail(what);
}

// splitmix64: a fixed, portable generator, so an input always replays the same way.
class random {
public:
    explicit random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); n > 0.
    std::uint64_t below(std::uint64_t n) noexcept { return next() % n; }

private:
    std::uint64_t state_;
};

// FNV-1a of the bytes: the seed of an input's random choices.
inline std::uint64_t hash(std::string_view bytes) noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : bytes) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

// The input before the first NUL, and after it (empty when there is none).
inline std::pair<std::string_view, std::string_view> split_at_nul(std::string_view input) noexcept {
    const std::size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return {input, {}};
    return {input.substr(0, nul), input.substr(nul + 1)};
}

// Bytes as C escapes, for failure reports.
inline std::string shown(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace fuzz
