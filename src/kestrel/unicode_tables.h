// The compiled Unicode 16.0.0 tables behind unicode.h, for unicode.cpp and the tests only.
//
// The data lives in unicode_tables.cpp, which tools/gen_unicode_tables.py writes from the
// Unicode Character Database; nothing here is computed at run time.  Every table is a span
// over a constant array, so the header names no sizes that depend on the data: the
// generator decides how long each list is and the tests pin those lengths down.  All spans
// are constant-initialised, so they are usable from any static initialiser.
//
// Conventions shared by every range list: ranges are inclusive, sorted, disjoint, never
// adjacent (runs are merged), within 0..0x10FFFF.  Surrogates D800..DFFF are in no
// General_Category set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "kestrel/unicode.h"

namespace kestrel::tables {

// General_Category values: 0-28 are the categories Lu Ll Lt Lm Lo Mn Mc Me Nd Nl No Pc Pd
// Ps Pe Pi Pf Po Sm Sc Sk So Zs Zl Zp Cc Cf Co Cn, 29-35 the groups L M N P S Z C (each the
// union of its members; C is Cc+Cf+Co+Cn).
inline constexpr std::size_t general_category_count = 36;
inline constexpr std::uint8_t gc_decimal_number = 8;
inline constexpr std::uint8_t gc_letter = 29;

// Binary properties: value n is entry n of binary_property_names (the engine's fixed list,
// ASCII_Hex_Digit first, XID_Start last); the two identifier properties are named here
// because the parser needs them.
inline constexpr std::size_t binary_property_count = 63;
inline constexpr std::uint8_t binary_xid_continue = 61;
inline constexpr std::uint8_t binary_xid_start = 62;

// One accepted spelling of a property value, already normalised as
// normalise_property_name does, and the value it stands for (a category number 0-35, a
// script number 1-170 or a binary property index 0-62).
struct property_name {
    std::string_view name;
    std::uint8_t value;
};

// A run of code points with one Script value (1-170, numbered in the order the scripts
// appear in PropertyValueAliases.txt).
struct script_range {
    std::uint32_t first;
    std::uint32_t last;
    std::uint8_t script;
};

// A code point with case variants and the other members of its case-equivalence class
// (count 1-3, partners ascending, unused slots zero).
struct case_entry {
    std::uint32_t cp;
    std::uint32_t partners[3];
    std::uint8_t count;
};

extern const range_view general_category_sets[general_category_count];
extern const range_view binary_property_sets[binary_property_count];

// Sorted by first; covers every code point whose Script is not Unknown, adjacent runs of
// the same script merged.
extern const std::span<const script_range> script_ranges;
// Indexed by script number (index 0 is empty): the code points whose Script_Extensions
// contain the script.
extern const std::span<const range_view> script_extension_sets;

extern const std::span<const property_name> general_category_names;
extern const std::span<const property_name> script_names;
extern const std::span<const property_name> binary_property_names;

extern const range_view digit_set;         // gc Nd (the same array as general_category_sets[8])
extern const range_view space_set;         // \s in Unicode mode: gc Zs or Bidi_Class WS, B, S
extern const range_view word_set;          // \w in Unicode mode: '_', gc L, any Numeric_Type
extern const range_view xid_start_set;     // the binary property arrays, not copies
extern const range_view xid_continue_set;

// Sorted by cp.
extern const std::span<const case_entry> case_table;

}  // namespace kestrel::tables
