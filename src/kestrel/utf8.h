// UTF-8: the one decoder and the one encoder of the engine and the lexer.
//
// Every part that reads text - the matchers, the pattern parser, the lexer's column counting -
// must agree to the byte on what a character is, or positions and matches drift apart on
// invalid input.  So there is one definition, here, inline because the matchers call it once
// per non-ASCII character.
//
// A byte below 0x80 is itself.  A lead byte 110xxxxx, 1110xxxx or 11110xxx announces 2, 3 or
// 4 bytes; continuation bytes (10xxxxxx) are read while inside the text.  A missing one makes
// the character invalid with the bytes read so far as its length; a complete sequence is
// invalid (with its full length) when it is overlong, a surrogate or above U+10FFFF.  Any
// other byte of 0x80 or more is an invalid character of length 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrel {

struct decoded_char {
    std::uint32_t cp;      // 0 when invalid
    std::uint32_t length;  // bytes read (1 for a stray byte)
    bool valid;
};

// The character starting at offset (offset < length).
inline decoded_char decode_utf8(const std::uint8_t* s, std::uint32_t length, std::uint32_t offset) noexcept {
    const std::uint8_t lead = s[offset];
    if (lead < 0x80) return {lead, 1, true};
    std::uint32_t need;
    std::uint32_t cp;
    std::uint32_t smallest;
    if ((lead & 0xE0) == 0xC0) {
        need = 2, cp = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 3, cp = lead & 0x0Fu, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 4, cp = lead & 0x07u, smallest = 0x10000;
    } else {
        return {0, 1, false};
    }
    std::uint32_t got = 1;
    while (got < need) {
        if (length - offset <= got || (s[offset + got] & 0xC0) != 0x80) return {0, got, false};
        cp = (cp << 6) | (s[offset + got] & 0x3Fu);
        ++got;
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, need, false};
    return {cp, need, true};
}

// Whether the n bytes at p are all ASCII, read eight at a time.
inline bool all_ascii(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t any = 0;
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + k, 8);
        any |= w;
    }
    for (; k < n; ++k) any |= p[k];
    return (any & 0x8080808080808080ull) == 0;
}

// Length of the UTF-8 encoding of a code point (1 to 4).
constexpr int utf8_length(std::uint32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes the encoding of cp (at most 0x10FFFF) to out; returns its length.
inline int encode_utf8(std::uint32_t cp, std::uint8_t out[4]) noexcept {
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

}  // namespace kestrel
