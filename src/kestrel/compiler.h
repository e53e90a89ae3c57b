// The program compiler: syntax tree (syntax.h) -> code-point program (program.h).
//
// compile_program is the one translation step; compile_pattern is the construction path the
// regex object uses (parse, compile, work out the effective flags).  Both throw regex_error,
// the compiler's own failures always at position 0.  The limits below are the program's
// size bounds, each enforced where the table or list grows, with the message it raises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrel/program.h"
#include "kestrel/syntax.h"

namespace kestrel {

// "program too large": checked before every instruction is appended.
inline constexpr std::size_t max_program_instructions = 262144;
// "too many character classes"
inline constexpr std::size_t max_byte_sets = 65536;
// "too many code-point classes"
inline constexpr std::size_t max_code_point_classes = 65536;
// "too many lookarounds"
inline constexpr std::size_t max_lookarounds = 65536;
// A lookaround body may match at most this many bytes ("lookaround sub-pattern too long").
inline constexpr std::int32_t max_lookaround_bytes = 255;

// The deduplicating tables of a program under construction: a byte set or a code-point
// class that is already present gets its old number back.
class program_tables {
public:
    explicit program_tables(program& prog) : prog_(prog) {}

    std::uint16_t byte_set_index(const byte_set& set);
    // `ranges` must be sorted, disjoint and within 128..0x10FFFF.
    std::uint16_t code_point_class_index(const byte_set& ascii, range_view ranges);

private:
    struct byte_set_hash {
        std::size_t operator()(const byte_set& s) const noexcept;
    };
    program& prog_;
    std::unordered_map<byte_set, std::uint16_t, byte_set_hash> byte_sets_;
    std::unordered_map<std::uint64_t, std::vector<std::uint16_t>> classes_;  // by fingerprint
};

program compile_program(const parsed_pattern& pattern, std::uint16_t global_flags);

struct compiled_pattern {
    std::string pattern;
    program prog;
    std::uint16_t flags = 0;  // effective global flags: turned on and not turned off
};

compiled_pattern compile_pattern(std::string_view pattern);

}  // namespace kestrel
