// Facts about a compiled program that let the regex object pick a cheaper matcher than the
// Pike VM: a literal prefix, the bytes a match can start with, a rare byte, anchoring, the
// absence of captures, and a few whole-pattern shapes with special matchers.
//
// Every fact is an acceleration and may be left unset; a set fact is a promise that the
// matcher built on it returns exactly what the Pike VM returns for every subject and offset.
// The record is plain data of fixed size (no heap), because the program view copies it into
// every match call.  Unset values are the defaults below: false, 0 counts, -1 indexes.
#pragma once

#include <array>
#include <cstdint>

#include "kestrel/byte_set.h"

namespace kestrel {

struct program;

enum class anchor_kind : std::uint8_t {
    none = 0,
    text_start = 1,  // the first test after the leading saves is \A (or ^ without multiline)
    line_start = 2,  // ... is ^ with multiline
};

// A \b or \B that a shape lifts out of the program and its matcher tests itself, always with
// the program's own word-character definition (lifted assertions never carry a flip).
enum class boundary_kind : std::uint8_t { none = 0, word = 1, not_word = 2 };

// A trailing \Z (end) or $ without multiline (end, or before a final "\n").
enum class end_anchor_kind : std::uint8_t { none = 0, text_end = 1, text_end_or_final_newline = 2 };

inline constexpr int max_literal_prefix = 16;  // bytes kept of the literal prefix
inline constexpr int max_first_byte_candidates = 8;
inline constexpr int max_excluded_bytes = 6;
inline constexpr int max_run_suffix = 8;            // literal suffix of a possessive run
inline constexpr int max_literal_string = 255;      // longest whole-pattern literal string
inline constexpr int max_rare_byte_scan = 256;      // consuming positions scanned for it
inline constexpr std::int32_t max_run_min = 65535;  // longest required part of a class run

// The pattern is one class repeated: save 0, [\A], [\b], [save 2k], the element n times, a
// split looping on the last copy, [save 2k+1], [\b], [\Z or $], save 1, match.  The element is
// a byte_set (byte_class_run) or a klass_cp (code_point_class_run); `min` counts elements.
// A leading \A is not recorded here: it shows as anchor == text_start.  \b is lifted only
// when every member of the class is a word character, so that no end inside the run could
// satisfy it; \B never is.
struct class_run_shape {
    std::int32_t class_index = -1;  // byte set or code-point class number; -1: not this shape
    std::int32_t min = 0;
    std::int32_t capture_open = -1;  // slot of the group around the whole run, or -1
    std::int32_t capture_close = -1;
    boundary_kind leading = boundary_kind::none;
    boundary_kind trailing = boundary_kind::none;
    // Which of the lifted boundaries still need a test at match time.  A trailing \b after a
    // run of exactly the ASCII word class holds by construction in ASCII word mode.
    bool test_leading = false;
    bool test_trailing = false;
    end_anchor_kind end_anchor = end_anchor_kind::none;
};

// save 0, a byte_set or klass_cp element, a split looping back to it, a positive lookahead
// whose sub-program follows its jump, save 1, match, and nothing else.
struct run_then_lookahead_shape {
    std::int32_t lookaround = -1;  // lookaround entry; -1: not this shape
    std::int32_t class_index = -1;
    bool code_point_class = false;
};

// A straight line: save 0, [\A], [\b|\B], byte / byte_set instructions with capture saves
// among them, [\b|\B], [\Z or $], save 1, match.  The matcher tests byte by byte; a leading
// \A shows as anchor == text_start.
struct fixed_sequence_shape {
    std::int32_t start = -1;  // first instruction of the line; -1: not this shape
    std::int32_t end = -1;    // the instruction after it
    boundary_kind leading = boundary_kind::none;
    boundary_kind trailing = boundary_kind::none;
    end_anchor_kind end_anchor = end_anchor_kind::none;
    std::int32_t single_byte_class = -1;  // the program is save 0, byte_set, save 1, match
};

enum class run_kind : std::uint8_t { none = 0, byte = 1, byte_set = 2, code_point_class = 3 };

// A literal prefix (possibly empty), a possessive run taken as far as it goes, a literal
// suffix (possibly empty).  Only possessive loops give this shape: they never give back, so
// the longest run is the Pike VM's answer.  With a prefix the run may always be empty and no
// boundary is lifted; a lifted trailing boundary belongs at the run's end, which is the
// match's end because the suffix is then empty.
struct possessive_run_shape {
    run_kind kind = run_kind::none;
    std::int32_t element = -1;       // the byte (kind 1) or the set / class number
    std::int32_t capture_slot = -1;  // slot base of the group around the element, or -1
    bool may_be_empty = false;
    bool word_class = false;         // kind 3: the class is exactly the word characters
    std::int32_t prefix_start = -1;  // first byte instruction of the literal prefix
    std::uint8_t prefix_length = 0;
    std::array<std::uint8_t, max_run_suffix> suffix{};
    std::uint8_t suffix_length = 0;
    boundary_kind leading = boundary_kind::none;
    boundary_kind trailing = boundary_kind::none;  // only with an empty suffix
};

// One class whose non-ASCII part is every code point, repeated one or more times (for
// example .+ or [^"]+), compiled as a choice between an ASCII byte_set and the well-formed
// UTF-8 sequences: save 0, the choice, a split looping to it, save 1, match.
struct any_run_shape {
    std::int32_t ascii_set = -1;  // byte set of the ASCII members; -1: not this shape
};

// save 0, [\b|\B], at least two branches of byte / byte_set instructions chained by splits
// and jumps to one end, [\b|\B], save 1, match.
struct straight_alternation_shape {
    std::int32_t branches = 0;  // 0: not this shape
    std::int32_t start = -1;    // the first split
    boundary_kind leading = boundary_kind::none;
    boundary_kind trailing = boundary_kind::none;
};

struct analysis {
    bool no_captures = false;
    anchor_kind anchor = anchor_kind::none;

    std::array<std::uint8_t, max_literal_prefix> literal_prefix{};
    std::uint8_t literal_prefix_length = 0;
    // The whole pattern is the literal prefix (1 to 16 bytes), optionally between lifted
    // boundaries.  literal_string_* describes the same pattern up to 255 bytes, by where its
    // byte instructions start.
    std::uint8_t whole_literal_length = 0;
    boundary_kind literal_leading = boundary_kind::none;
    boundary_kind literal_trailing = boundary_kind::none;
    std::int32_t literal_string_start = -1;
    std::int32_t literal_string_length = 0;

    byte_set first_bytes;
    bool can_be_empty = false;
    // first_bytes may be used as a filter: the pattern cannot match empty and the set is not
    // empty.  The single first byte and the candidates are only set when this holds.
    bool first_bytes_known = false;
    std::int16_t single_first_byte = -1;
    std::array<std::uint8_t, max_first_byte_candidates> first_byte_candidates{};
    std::uint8_t first_byte_candidate_count = 0;
    std::array<std::uint8_t, max_excluded_bytes> excluded_bytes{};
    std::uint8_t excluded_byte_count = 0;
    std::int16_t rare_byte = -1;
    std::int32_t rare_byte_offset = -1;
    std::uint8_t prefix_rare_position = 0;

    // Shapes, commented with their row in the selection chain of regex::match.
    class_run_shape byte_class_run;        // row 1
    class_run_shape code_point_class_run;  // row 2
    possessive_run_shape possessive_run;   // row 3
    run_then_lookahead_shape run_then_lookahead;
    fixed_sequence_shape fixed_sequence;              // row 5
    any_run_shape any_run;                            // row 6
    straight_alternation_shape straight_alternation;  // row 7
};

// How common a byte is in typical text (higher is more common); the rare-byte choice picks
// the byte of the pattern with the lowest score.
std::uint16_t byte_commonness(std::uint8_t b) noexcept;

// Fills prog.facts from prog's instructions and tables.  Called once by the compiler.
void analyse(program& prog);

}  // namespace kestrel
