// The two steps every matcher shares: decoding one UTF-8 character of the subject (utf8.h),
// and testing a zero-width assertion at an offset.  Keeping one definition of each is what lets
// the Pike VM, the backtracker, the special shapes, the lookarounds and the DFA agree to the
// byte on invalid UTF-8 and on word boundaries.
#pragma once

#include <cstdint>

#include "kestrel/program.h"
#include "kestrel/utf8.h"

namespace kestrel {


// Whether the character that ends exactly at offset (stepping back over at most three
// continuation bytes) / starts at offset is a word character.  A missing or invalid
// character is not; with ascii_words only [0-9A-Za-z_] count.
bool word_before(const std::uint8_t* subject, std::uint32_t length, std::uint32_t offset,
                 bool ascii_words) noexcept;
bool word_after(const std::uint8_t* subject, std::uint32_t length, std::uint32_t offset,
                bool ascii_words) noexcept;

// Assertion kinds 0-10 of the program (assert_kind, program.h); any other kind never holds.
bool assertion_holds(std::uint8_t kind, std::uint32_t offset, bool ascii_words,
                     const std::uint8_t* subject, std::uint32_t length) noexcept;

// ascii_words for an assert instruction: Unicode words when exactly one of the program's
// unicode flag and the instruction's flip is set.
constexpr bool ascii_words_for(bool program_unicode, std::uint16_t flip) noexcept {
    return !(program_unicode != (flip != 0));
}

}  // namespace kestrel
