// byte_set: a set of byte values as 256 bits in four 64-bit words.
//
// Classes over bytes appear everywhere in the engine (the ASCII part of a character class,
// first-byte sets, byte_set instructions), so the representation is fixed and cheap to copy,
// compare and hash; membership is one shift and one mask.
#pragma once

#include <array>
#include <cstdint>

namespace kestrel {

struct byte_set {
    std::array<std::uint64_t, 4> words{};

    constexpr void set(std::uint8_t b) noexcept { words[b >> 6] |= std::uint64_t{1} << (b & 63); }
    constexpr void reset(std::uint8_t b) noexcept { words[b >> 6] &= ~(std::uint64_t{1} << (b & 63)); }
    constexpr bool test(std::uint8_t b) const noexcept {
        return (words[b >> 6] >> (b & 63)) & 1u;
    }
    // Adds every byte from lo to hi inclusive (nothing when lo > hi).
    constexpr void set_range(std::uint8_t lo, std::uint8_t hi) noexcept {
        for (unsigned b = lo; b <= hi; ++b) set(static_cast<std::uint8_t>(b));
    }
    constexpr void merge(const byte_set& other) noexcept {
        for (int i = 0; i < 4; ++i) words[i] |= other.words[i];
    }
    constexpr bool empty() const noexcept {
        return (words[0] | words[1] | words[2] | words[3]) == 0;
    }
    constexpr int count() const noexcept {
        int n = 0;
        for (auto w : words) n += __builtin_popcountll(w);
        return n;
    }
    friend constexpr bool operator==(const byte_set&, const byte_set&) = default;
};

}  // namespace kestrel
