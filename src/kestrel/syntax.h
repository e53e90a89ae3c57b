// The syntax tree the parser hands to the program compiler.
//
// The tree is flat: every node lives in one vector and points at its first child and next
// sibling by 32-bit index (-1 for none), so a pattern of any shape costs one allocation that
// grows, copying a tree is copying vectors, and walking it needs no pointers that could
// dangle.  Character classes live in a second vector, one entry per class node; the node
// holds the index and its own negated flag (the entry is never complemented by the parser,
// except where a negated item is merged into a bracket class).  Group names are kept as
// offsets into the pattern text, which the regex keeps, rather than copied.
#pragma once

#include <cstdint>
#include <vector>

#include "kestrel/byte_set.h"
#include "kestrel/unicode.h"

namespace kestrel {

enum class node_kind : std::uint8_t {
    empty = 0,        // matches the empty string
    literal = 1,      // one byte
    klass = 2,        // a class from parsed_pattern::classes (negated flag on the node)
    any = 3,          // .
    concat = 4,       // children in order
    repeat = 5,       // one child; min, max, lazy, possessive
    alternation = 6,  // children in priority order
    group = 7,        // one child; capture index (-1 non-capturing); atomic
    assertion = 8,    // zero-width test, see assertion_kind
    lookaround = 9,   // one child; negated, behind
};

enum class assertion_kind : std::uint8_t {
    caret = 0,               // ^
    dollar = 1,              // $
    text_start = 2,          // \A
    text_end = 3,            // \Z and \z
    word_boundary = 4,       // \b
    not_word_boundary = 5,   // \B
    word_start = 6,          // \<
    word_end = 7,            // \>
};

struct syntax_node {
    node_kind kind = node_kind::empty;
    std::uint8_t byte = 0;  // literal
    assertion_kind assertion = assertion_kind::caret;
    bool lazy = false;        // repeat
    bool possessive = false;  // repeat
    bool negated = false;     // klass, lookaround
    bool behind = false;      // lookaround
    bool atomic = false;      // group
    std::uint16_t flags = 0;  // the flag word in force where the node was made
    std::int32_t class_index = -1;    // klass
    std::int32_t min = 0;             // repeat
    std::int32_t max = 0;             // repeat; -1 = unbounded
    std::int32_t capture_index = -1;  // group; -1 = non-capturing
    std::int32_t first_child = -1;
    std::int32_t next_sibling = -1;
};

inline constexpr std::int32_t unbounded = -1;

struct class_entry {
    byte_set ascii;           // members below 128 (bits 128-255 stay clear)
    range_list ranges;        // members of 128 and above, sorted, disjoint, adjacent ones joined
    bool wide = false;        // the compiler must emit a code-point class test for it
    bool has_non_property_item = false;  // holds an item that is not \p / \P
    range_list explicit_ranges;  // the non-ASCII characters and ranges written out in the
                                 // pattern (not from \d \s \w or \p), normalised like `ranges`
};

struct group_name_entry {
    std::int32_t group = 0;       // capture group number
    std::int32_t name_start = 0;  // offset of the name's first byte in the pattern
    std::int32_t name_end = 0;    // offset just past the name's last byte
};

struct parsed_pattern {
    std::vector<syntax_node> nodes;
    std::int32_t root = -1;
    std::vector<class_entry> classes;
    std::int32_t capture_count = 0;
    std::vector<group_name_entry> group_names;  // in order of appearance
    std::uint16_t flags_on = 0;   // letters that leading (?flags) groups turned on
    std::uint16_t flags_off = 0;  // letters they turned off
};

}  // namespace kestrel
