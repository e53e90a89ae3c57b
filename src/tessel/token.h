// The native position and token records that the lexer produces and the Python layer converts.
//
// Offsets, lines and columns are 32-bit: a source is at most 4 GiB - 1 bytes, and keeping the
// records small keeps token lists compact.  A token's lexeme is a view into the source, so a
// token is only meaningful while its source lives.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessel {

struct position {
    std::uint32_t offset = 0;
    std::uint32_t line = 1;
    std::uint32_t column = 1;
    friend constexpr bool operator==(const position&, const position&) = default;
};

struct token {
    std::int32_t kind = 0;
    std::string_view lexeme;
    position pos;
    std::uint32_t mode = 0;
};

// Kinds made only by the system; rule kinds must lie above error_kind.
inline constexpr std::int32_t end_of_input_kind = INT32_MIN;
inline constexpr std::int32_t newline_kind = INT32_MIN + 1;
inline constexpr std::int32_t indent_kind = INT32_MIN + 2;
inline constexpr std::int32_t dedent_kind = INT32_MIN + 3;
inline constexpr std::int32_t error_kind = INT32_MIN + 4;

}  // namespace tessel
