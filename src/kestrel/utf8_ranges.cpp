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

int utf8_length(std::uint32_t cp) noexcept {
    if (cp < 0x80) return 1;
    if (cp < 0x800) return 2;
    if (cp < 0x10000) return 3;
    return 4;
}

int encode_utf8(std::uint32_t cp, std::uint8_t out[4]) noexcept {
    const int len = utf8_length(cp);
    switch (len) {
        case 1:
            out[0] = static_cast<std::uint8_t>(cp);
            break;
        case 2:
            out[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
            out[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            break;
        case 3:
            out[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
            out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            break;
        default:
            out[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
            out[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
            break;
    }
    return len;
}

std::int32_t decode_utf8_exact(const std::uint8_t* bytes, int length) noexcept {
    if (length < 1 || length > 4) return -1;
    const std::uint8_t lead = bytes[0];
    std::uint32_t cp = 0;
    std::uint32_t minimum = 0;
    int expected = 0;
    if (lead < 0x80) {
        cp = lead;
        expected = 1;
    } else if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1Fu;
        expected = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0Fu;
        expected = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07u;
        expected = 4;
        minimum = 0x10000;
    } else {
        return -1;
    }
    if (expected != length) return -1;
    for (int i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (bytes[i] & 0x3Fu);
    }
    if (cp < minimum || cp > highest_code_point) return -1;
    if (cp >= surrogate_first && cp <= surrogate_last) return -1;
    return static_cast<std::int32_t>(cp);
}

}  // namespace kestrel
