// Splitting code-point ranges into UTF-8 byte-range sequences.
//
// A range of code points that share one UTF-8 length and differ only in their trailing
// bytes in a regular way encodes as a fixed chain of byte ranges, for example U+0800-U+0FFF
// as [E0][A0-BF][80-BF].  Any range can be cut into such pieces; the compiler uses them to
// spell out "every non-ASCII character" as byte tests, and the byte-program lowering uses the
// same cut for every code-point class.  Surrogates (U+D800-U+DFFF) are never produced:
// they are not well-formed UTF-8 and no matcher decodes them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kestrel/byte_set.h"
#include "kestrel/unicode.h"

namespace kestrel {

struct byte_range {
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
    friend constexpr bool operator==(const byte_range&, const byte_range&) = default;
};

// One to four byte ranges; the byte at position i of an encoding lies in ranges[i].
struct utf8_sequence {
    std::array<byte_range, 4> ranges{};
    std::uint8_t length = 0;
    friend constexpr bool operator==(const utf8_sequence&, const utf8_sequence&) = default;
};

inline constexpr std::uint32_t highest_code_point = 0x10FFFF;
inline constexpr std::uint32_t surrogate_first = 0xD800;
inline constexpr std::uint32_t surrogate_last = 0xDFFF;

// Appends to `out`, in ascending code-point order, the sequences that together encode every
// non-surrogate code point of [first, last] (both at most 0x10FFFF).  Nothing for an empty
// range or one that holds only surrogates.
void append_utf8_sequences(std::uint32_t first, std::uint32_t last,
                           std::vector<utf8_sequence>& out);

// Appends the sequences of a whole character class: first every maximal run of members
// among bytes 0-127 of `ascii` as a one-byte sequence, then the sequences of each range of
// `ranges` (sorted, disjoint, all >= 128) in order.  An empty result means the class holds
// no well-formed character (for example only surrogates).
void append_class_sequences(const byte_set& ascii, range_view ranges,
                            std::vector<utf8_sequence>& out);

// UTF-8 length of a code point (1 to 4) and its encoding into out[0..length).
int utf8_length(std::uint32_t cp) noexcept;
int encode_utf8(std::uint32_t cp, std::uint8_t out[4]) noexcept;

// Decodes a complete, well-formed encoding of exactly `length` bytes (no overlong form, no
// surrogate, nothing above 0x10FFFF); returns -1 when the bytes are anything else.
std::int32_t decode_utf8_exact(const std::uint8_t* bytes, int length) noexcept;

}  // namespace kestrel
