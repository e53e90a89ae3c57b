// The two steps every matcher shares: decoding one UTF-8 character of the subject, and
// testing a zero-width assertion at an offset.  Keeping one definition of each is what lets
// the Pike VM, the backtracker, the special shapes, the lookarounds and the DFA agree to the
// byte on invalid UTF-8 and on word boundaries.
#pragma once

#include <cstdint>

namespace kestrel {

struct decoded_char {
    std::uint32_t cp;     // 0 when invalid
    std::uint32_t length;  // bytes read (1 for a stray byte)
    bool valid;
};

// The character starting at offset (offset < length).  A byte below 0x80 is itself.  A lead
// byte announces 2, 3 or 4 bytes; continuation bytes are read while inside the subject and
// while they are 10xxxxxx; a short sequence is (0, bytes read, invalid); a complete one is
// invalid when overlong, a surrogate or above 0x10FFFF.  Any other byte >= 0x80 is (0, 1,
// invalid).
decoded_char decode_utf8(const std::uint8_t* subject, std::uint32_t length,
                         std::uint32_t offset) noexcept;

// Whether the character that ends exactly at offset (stepping back over at most three
// continuation bytes) / starts at offset is a word character.  A missing or invalid
// character is not; with ascii_words only [0-9A-Za-z_] count.
bool word_before(const std::uint8_t* subject, std::uint32_t length, std::uint32_t offset,
                 bool ascii_words) noexcept;
bool word_after(const std::uint8_t* subject, std::uint32_t length, std::uint32_t offset,
                bool ascii_words) noexcept;

// Assertion kinds 0-10 of the program (assert_kind); any other kind never holds.
bool assertion_holds(std::uint8_t kind, std::uint32_t offset, bool ascii_words,
                     const std::uint8_t* subject, std::uint32_t length) noexcept;

// ascii_words for an assert instruction: Unicode words when exactly one of the program's
// unicode flag and the instruction's flip is set.
constexpr bool ascii_words_for(bool program_unicode, std::uint16_t flip) noexcept {
    return !(program_unicode != (flip != 0));
}

}  // namespace kestrel
