// The code-point program: what the compiler produces and every matcher runs.
//
// A program is a handful of flat arrays (instructions, byte sets, code-point classes and the
// range pool they point into, the lookaround table, the group names) plus a few flags and the
// analysis facts.  Everything refers to everything else by 16- or 32-bit index, so a program
// can be moved into its regex without fixing up pointers, and a matcher reads it through a
// `program_view`: plain pointer+count pairs, built per match call, that stay valid as long as
// the program is not changed (it never is after construction).
//
// The instruction record is fixed at 12 bytes and shared with the byte program, so a matcher
// walks an array of small, trivially copyable records.  Fields an opcode does not use are 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrel/analysis.h"
#include "kestrel/byte_set.h"
#include "kestrel/syntax.h"
#include "kestrel/unicode.h"

namespace kestrel {

enum class opcode : std::uint8_t {
    byte = 0,             // arg = byte: consume one byte equal to arg
    byte_set = 1,         // index = byte set: consume one byte in the set
    klass_cp = 2,         // index = code-point class: decode one character and test it; the
                          // next three slots are byte_set 0x80-0xBF (the continuation bytes)
    split = 3,            // continue at x and, with lower priority, at y
    jump = 4,             // continue at x
    save = 5,             // index = slot: record the position
    assert = 6,           // arg = assert_kind, index = word-ness flip (0 or 1)
    match = 7,            // the (sub-)program has matched
    lookaround = 8,       // index = lookaround entry; always followed by a jump over its body
    possessive_byte = 9,  // arg = byte, x = capture slot base or -1, y = exit
    possessive_set = 10,  // index = byte set, x and y as possessive_byte
    possessive_cp = 11,   // index = code-point class, x and y as possessive_byte; followed by
                          // three continuation byte_set slots like klass_cp
};

// Zero-width tests of the `assert` opcode.  These numbers are the program's own and differ
// from the parser's assertion_kind: the compiler resolves ^ and $ against the multiline flag.
enum class assert_kind : std::uint8_t {
    text_start = 0,                 // \A, ^ without multiline
    text_end = 1,                   // \Z, \z
    text_end_or_final_newline = 2,  // $ without multiline
    line_start = 3,                 // ^ with multiline
    line_end = 4,                   // $ with multiline
    word_boundary = 5,              // \b
    not_word_boundary = 6,          // \B
    word_start = 7,                 // \<
    word_end = 8,                   // \>
    line_start_cr = 9,              // as line_start, "\r" also ends a line (no syntax makes it)
    line_end_cr = 10,               // as line_end, "\r" also ends a line (no syntax makes it)
};

struct instruction {
    opcode op = opcode::byte;
    std::uint8_t arg = 0;
    std::uint16_t index = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend constexpr bool operator==(const instruction&, const instruction&) = default;
};
static_assert(sizeof(instruction) == 12, "the instruction record is 12 bytes");

// Number of instruction slots a klass_cp or possessive_cp occupies (itself and the three
// continuation byte_set slots a matcher steps through one byte at a time).
inline constexpr std::int32_t code_point_step_slots = 4;

// A character class kept whole for a binary search at match time.  Members below 128 are in
// `ascii`; the rest are `range_count` sorted, disjoint ranges (all >= 128) starting at
// `first_range` in the program's range pool.
struct code_point_class {
    byte_set ascii;
    std::uint32_t first_range = 0;
    std::uint32_t range_count = 0;
    std::uint64_t fingerprint = 0;  // see class_fingerprint
};

// FNV-1a, taken a 64-bit word at a time over the ASCII set, then the range count and each
// range: a cheap key for finding duplicate classes and for caches keyed by class content.
std::uint64_t class_fingerprint(const byte_set& ascii, range_view ranges) noexcept;

struct lookaround_entry {
    std::int32_t start = 0;       // first instruction of the sub-program
    std::int32_t length = 0;      // its instruction count, through its match
    std::int32_t max_length = 0;  // longest match of the body in bytes, -1 when unbounded
    bool behind = false;
    bool negated = false;
    std::uint16_t reserved = 0;  // always 0
};

// A second compilation of part of the pattern.  No matcher runs it; the compiler currently
// leaves it empty (see analysis.cpp for why).
struct auxiliary_program {
    std::vector<instruction> instructions;
    std::vector<byte_set> byte_sets;
    std::vector<code_point_class> classes;
    std::vector<code_point_range> range_pool;
};

// The bounded backtracker keeps one restore job per save on its stack; programs with more
// capture slots than this, or with lookarounds, run on the thread lists only.
inline constexpr std::uint16_t max_backtrack_slots = 34;

struct program {
    std::vector<instruction> instructions;
    std::vector<byte_set> byte_sets;
    std::vector<group_name_entry> group_names;
    std::vector<lookaround_entry> lookarounds;
    std::vector<code_point_class> classes;
    std::vector<code_point_range> range_pool;
    auxiliary_program auxiliary;
    std::uint16_t slot_count = 2;    // 2 x (capture groups + 1)
    bool bytes = false;              // flags::bytes was set (never, in this system)
    bool unicode = true;             // flags::ascii was not set globally
    bool allow_raw_byte = false;     // flags::allow_raw_byte was set (never, in this system)
    bool backtrack_allowed = false;  // no lookarounds and at most max_backtrack_slots slots
    analysis facts;
};

template <class T>
struct array_view {
    const T* data = nullptr;
    std::size_t count = 0;
    const T& operator[](std::size_t i) const noexcept { return data[i]; }
    const T* begin() const noexcept { return data; }
    const T* end() const noexcept { return data + count; }
    std::size_t size() const noexcept { return count; }
    bool empty() const noexcept { return count == 0; }
};

// What a matcher reads: flat arrays of the program plus a copy of the facts, so that the hot
// loops touch no vector headers and the facts sit in the caller's frame.
struct program_view {
    array_view<instruction> instructions;
    array_view<byte_set> byte_sets;
    array_view<group_name_entry> group_names;
    array_view<lookaround_entry> lookarounds;
    array_view<code_point_class> classes;
    array_view<code_point_range> range_pool;
    std::uint16_t slot_count = 2;
    bool bytes = false;
    bool unicode = true;
    bool backtrack_allowed = false;
    analysis facts;

    // The ranges of code-point class c.
    range_view class_ranges(std::size_t c) const noexcept {
        const code_point_class& k = classes[c];
        return range_view(range_pool.data + k.first_range, k.range_count);
    }
};

program_view make_view(const program& prog);

}  // namespace kestrel
