// Unicode 16.0.0 property data and the lookups the engine makes over it.
//
// The tables themselves are generated (unicode_tables.cpp, see tools/gen_unicode_tables.py);
// this header is the only way the rest of the engine reaches them.  Every set is a sorted,
// disjoint list of inclusive code-point ranges kept in constant arrays; membership tests are
// binary searches in place, and nothing is read or built at run time.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/byte_set.h"

namespace kestrel {

struct code_point_range {
    std::uint32_t first;
    std::uint32_t last;
    friend constexpr bool operator==(const code_point_range&, const code_point_range&) = default;
};

using range_list = std::vector<code_point_range>;
using range_view = std::span<const code_point_range>;

// Sorts ranges and joins overlapping or adjacent ones, so that they are sorted and disjoint.
void normalise_ranges(range_list& ranges);

// Normalises a property name or namespace: drops ' ', '-' and '_', lowercases A-Z, keeps at
// most the first 64 resulting bytes.
std::string normalise_property_name(std::string_view name);

// Resolves the text between the braces of \p{...} (a leading '^' already removed by the
// parser) to its code points.  On failure throws regex_error at error_position with one of
// the two lookup messages.
range_list lookup_property(std::string_view text, std::int32_t error_position);

// \d \s \w and their uppercase negations.  `ascii` holds the members below 128; `ranges` the
// members of 128 and above (empty when unicode is false).  `negated` is set for D, S, W.
struct shorthand {
    byte_set ascii;
    range_view ranges;
    bool negated = false;
};
// letter is one of d D s S w W; any other letter gives empty parts.
shorthand shorthand_class(char letter, bool unicode);

// Membership tests.  A value above 0x10FFFF is in no set, so a matcher may pass one for "no
// valid character here".
bool in_ranges(range_view set, std::uint32_t cp) noexcept;
bool is_word_char(std::uint32_t cp, bool unicode) noexcept;
// The ASCII word characters [0-9A-Za-z_] as a byte set.
byte_set ascii_word_bytes() noexcept;
bool is_xid_start(std::uint32_t cp) noexcept;
bool is_xid_continue(std::uint32_t cp) noexcept;
bool is_letter(std::uint32_t cp) noexcept;  // General_Category L

// The other members of cp's case-equivalence class (at most three).  In ASCII mode
// (unicode == false) only A-Z and a-z are paired and the table is not consulted.
struct case_partner_list {
    std::array<std::uint32_t, 3> cps{};
    std::uint8_t count = 0;
};
case_partner_list case_partners(std::uint32_t cp, bool unicode) noexcept;

// The smallest code point >= from that has case partners (Unicode mode), or a value above
// 0x10FFFF when there is none: lets a caller visit the cased members of a large range
// without testing every code point of it.
std::uint32_t next_cased_code_point(std::uint32_t from) noexcept;

}  // namespace kestrel
