// Range-to-UTF-8 splitting (see utf8_ranges.h).
//
// The cut works from coarse to fine.  First a range is cut where the encoding length
// changes (after U+007F, U+07FF, U+FFFF).  Within one length, a piece encodes as a plain
// chain of byte ranges exactly when, for every number n of trailing continuation bytes, the
// piece either stays inside one block of 2^(6n) code points or covers whole blocks: then
// byte i of the first and of the last code point bound byte i of every member.  So for
// n = 1, 2, 3 the piece is trimmed at its ragged ends (a partial first block split off with
// A | mask, a partial last block with B & ~mask) and the trimmed parts are cut the same way.
// Each cut halves the problem along one byte position, so the recursion is at most a few
// levels deep and the output is in ascending order.
#include "kestrel/utf8_ranges.h"

namespace kestrel {

namespace {

// Code points at which the UTF-8 length grows by one.
constexpr std::array<std::uint32_t, 4> length_limits = {0x7F, 0x7FF, 0xFFFF, 0x10FFFF};

void split_range(std::uint32_t a, std::uint32_t b, std::vector<utf8_sequence>& out) {
    while (a <= b) {
        bool cut = false;
        for (std::uint32_t m : length_limits) {
            if (a <= m && m < b) {
                split_range(a, m, out);
                a = m + 1;
                cut = true;
                break;
            }
        }
        if (cut) continue;
        for (int n = 1; n <= 3 && !cut; ++n) {
            const std::uint32_t mask = (std::uint32_t{1} << (6 * n)) - 1;
            if ((a & ~mask) == (b & ~mask)) continue;
            if ((a & mask) != 0) {
                split_range(a, a | mask, out);
                a = (a | mask) + 1;
                cut = true;
            } else if ((b & mask) != mask) {
                split_range(a, (b & ~mask) - 1, out);
                a = b & ~mask;
                cut = true;
            }
        }
        if (cut) continue;
        std::uint8_t lo[4];
        std::uint8_t hi[4];
        const int len = encode_utf8(a, lo);
        encode_utf8(b, hi);
        utf8_sequence seq;
        seq.length = static_cast<std::uint8_t>(len);
        for (int i = 0; i < len; ++i) seq.ranges[static_cast<std::size_t>(i)] = {lo[i], hi[i]};
        out.push_back(seq);
        return;
    }
}

}  // namespace

void append_utf8_sequences(std::uint32_t first, std::uint32_t last,
                           std::vector<utf8_sequence>& out) {
    if (first > last) return;
    if (last > highest_code_point) last = highest_code_point;
    if (first <= surrogate_last && last >= surrogate_first) {
        if (first < surrogate_first) split_range(first, surrogate_first - 1, out);
        if (last > surrogate_last) split_range(surrogate_last + 1, last, out);
        return;
    }
    split_range(first, last, out);
}

void append_class_sequences(const byte_set& ascii, range_view ranges,
                            std::vector<utf8_sequence>& out) {
    unsigned b = 0;
    while (b < 128) {
        if (!ascii.test(static_cast<std::uint8_t>(b))) {
            ++b;
            continue;
        }
        unsigned e = b;
        while (e + 1 < 128 && ascii.test(static_cast<std::uint8_t>(e + 1))) ++e;
        utf8_sequence seq;
        seq.length = 1;
        seq.ranges[0] = {static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(e)};
        out.push_back(seq);
        b = e + 1;
    }
    for (const code_point_range& r : ranges) append_utf8_sequences(r.first, r.last, out);
}

std::int32_t decode_utf8_exact(const std::uint8_t* bytes, int length) noexcept {
    if (length < 1 || length > 4) return -1;
    const decoded_char c = decode_utf8(bytes, static_cast<std::uint32_t>(length), 0);
    return c.valid && c.length == static_cast<std::uint32_t>(length) ? static_cast<std::int32_t>(c.cp) : -1;
}

}  // namespace kestrel
