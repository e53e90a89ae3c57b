// Pattern parser: pattern text (UTF-8) -> parsed_pattern (see syntax.h).
//
// One call per regex construction; the parser keeps no state between calls and may run on
// several threads at once.  Every failure throws regex_error with the message and the byte
// offset in the pattern where the problem was found; no partial result escapes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kestrel/syntax.h"

namespace kestrel {

// Limits the grammar enforces, each with the message it raises.
inline constexpr int max_nesting_depth = 200;               // "pattern nesting too deep"
inline constexpr std::int32_t max_capture_groups = 32766;  // "too many capture groups"
inline constexpr std::int32_t max_repeat_count = 1000;     // "repetition count too large"
// Keeps every offset and node index within 32 bits (a pattern never makes more than two
// nodes per byte).  "pattern too long"
inline constexpr std::size_t max_pattern_length = std::size_t{1} << 29;

parsed_pattern parse_pattern(const char* pattern, std::size_t length);
inline parsed_pattern parse_pattern(std::string_view pattern) {
    return parse_pattern(pattern.data(), pattern.size());
}

}  // namespace kestrel
