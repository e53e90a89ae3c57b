// The engine's flag word: one 16-bit value per syntax node and per regex.
//
// The parser keeps a stack of these words (inline groups such as (?i:...) push one), stamps
// the word in force on every node it makes, and reports the global words that leading
// (?flags) groups turned on and off.  Letters i m s x a U set the bits below; `bytes` and
// `allow_raw_byte` are option bits that no construction path sets (they exist because the
// \C message names them).
#pragma once

#include <cstdint>

namespace kestrel::flags {

inline constexpr std::uint16_t ignore_case = 0x001;     // i: case-insensitive literals/classes
inline constexpr std::uint16_t multiline = 0x002;       // m: ^ and $ at line boundaries
inline constexpr std::uint16_t dotall = 0x004;          // s: . also matches "\n"
inline constexpr std::uint16_t bytes = 0x008;           // never set
inline constexpr std::uint16_t verbose = 0x010;         // x: whitespace and # comments ignored
inline constexpr std::uint16_t ascii = 0x040;           // a: ASCII \d \s \w, \b and folding
inline constexpr std::uint16_t allow_raw_byte = 0x100;  // never set
inline constexpr std::uint16_t ungreedy = 0x200;        // U: greedy and lazy swap

}  // namespace kestrel::flags
