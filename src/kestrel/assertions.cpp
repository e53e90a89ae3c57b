// UTF-8 decoding and assertion tests shared by all matchers; see assertions.h.
#include "kestrel/assertions.h"

#include "kestrel/unicode.h"

namespace kestrel {

decoded_char decode_utf8(const std::uint8_t* s, std::uint32_t length,
                         std::uint32_t offset) noexcept {
    const std::uint8_t lead = s[offset];
    if (lead < 0x80) return {lead, 1, true};
    std::uint32_t need;
    std::uint32_t cp;
    std::uint32_t smallest;
    if ((lead & 0xE0) == 0xC0) {
        need = 2, cp = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 3, cp = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 4, cp = lead & 0x07, smallest = 0x10000;
    } else {
        return {0, 1, false};
    }
    std::uint32_t got = 1;
    while (got < need) {
        if (offset + got >= length || (s[offset + got] & 0xC0) != 0x80) return {0, got, false};
        cp = (cp << 6) | (s[offset + got] & 0x3F);
        ++got;
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, need, false};
    return {cp, need, true};
}

namespace {

bool ascii_word(std::uint8_t b) noexcept {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
           b == '_';
}

}  // namespace

bool word_after(const std::uint8_t* s, std::uint32_t length, std::uint32_t offset,
                bool ascii_words) noexcept {
    if (offset >= length) return false;
    if (s[offset] < 0x80) return ascii_word(s[offset]);
    if (ascii_words) return false;
    const decoded_char c = decode_utf8(s, length, offset);
    return c.valid && is_word_char(c.cp, true);
}

bool word_before(const std::uint8_t* s, std::uint32_t length, std::uint32_t offset,
                 bool ascii_words) noexcept {
    if (offset == 0 || offset > length) return false;
    const std::uint8_t last = s[offset - 1];
    if (last < 0x80) return ascii_word(last);
    if (ascii_words) return false;
    // Step back over at most three continuation bytes to the lead byte, then require a valid
    // character that ends exactly here.
    std::uint32_t start = offset - 1;
    for (int back = 0; back < 3 && start > 0 && (s[start] & 0xC0) == 0x80; ++back) --start;
    const decoded_char c = decode_utf8(s, length, start);
    return c.valid && start + c.length == offset && is_word_char(c.cp, true);
}

bool assertion_holds(std::uint8_t kind, std::uint32_t offset, bool ascii_words,
                     const std::uint8_t* s, std::uint32_t length) noexcept {
    switch (kind) {
    case 0:
        return offset == 0;
    case 1:
        return offset == length;
    case 2:
        return offset == length || (offset + 1 == length && s[offset] == '\n');
    case 3:
        return offset == 0 || s[offset - 1] == '\n';
    case 4:
        return offset == length || s[offset] == '\n';
    case 5:
        return word_before(s, length, offset, ascii_words) !=
               word_after(s, length, offset, ascii_words);
    case 6:
        return word_before(s, length, offset, ascii_words) ==
               word_after(s, length, offset, ascii_words);
    case 7:
        return !word_before(s, length, offset, ascii_words) &&
               word_after(s, length, offset, ascii_words);
    case 8:
        return word_before(s, length, offset, ascii_words) &&
               !word_after(s, length, offset, ascii_words);
    case 9:
        return offset == 0 || s[offset - 1] == '\n' || s[offset - 1] == '\r';
    case 10:
        return offset == length || s[offset] == '\n' || s[offset] == '\r';
    default:
        return false;
    }
}

}  // namespace kestrel
