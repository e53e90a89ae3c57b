// The assertion tests shared by all matchers; see assertions.h.
#include "kestrel/assertions.h"

#include "kestrel/unicode.h"

namespace kestrel {

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
    switch (static_cast<assert_kind>(kind)) {
    case assert_kind::text_start:
        return offset == 0;
    case assert_kind::text_end:
        return offset == length;
    case assert_kind::text_end_or_final_newline:
        return offset == length || (offset + 1 == length && s[offset] == '\n');
    case assert_kind::line_start:
        return offset == 0 || s[offset - 1] == '\n';
    case assert_kind::line_end:
        return offset == length || s[offset] == '\n';
    case assert_kind::word_boundary:
        return word_before(s, length, offset, ascii_words) !=
               word_after(s, length, offset, ascii_words);
    case assert_kind::not_word_boundary:
        return word_before(s, length, offset, ascii_words) ==
               word_after(s, length, offset, ascii_words);
    case assert_kind::word_start:
        return !word_before(s, length, offset, ascii_words) &&
               word_after(s, length, offset, ascii_words);
    case assert_kind::word_end:
        return word_before(s, length, offset, ascii_words) &&
               !word_after(s, length, offset, ascii_words);
    case assert_kind::line_start_cr:
        return offset == 0 || s[offset - 1] == '\n' || s[offset - 1] == '\r';
    case assert_kind::line_end_cr:
        return offset == length || s[offset] == '\n' || s[offset] == '\r';
    default:
        return false;
    }
}

}  // namespace kestrel
