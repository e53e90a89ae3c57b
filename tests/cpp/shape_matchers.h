// The special-shape matchers that a test can force through regex::match_with, with the names
// failures print.  Shared by the matcher corpus test and the matcher fuzz target, so a new
// shape is checked by both as soon as it is listed here.
#pragma once

#include <array>
#include <utility>

#include "kestrel/regex.h"

namespace match_text {

inline constexpr std::array<std::pair<kestrel::matcher_choice, const char*>, 8> shape_matchers = {{
    {kestrel::matcher_choice::byte_class_run, "byte_class_run"},
    {kestrel::matcher_choice::code_point_class_run, "code_point_class_run"},
    {kestrel::matcher_choice::possessive_run, "possessive_run"},
    {kestrel::matcher_choice::literal_string, "literal_string"},
    {kestrel::matcher_choice::fixed_sequence, "fixed_sequence"},
    {kestrel::matcher_choice::any_run, "any_run"},
    {kestrel::matcher_choice::straight_alternation, "straight_alternation"},
    {kestrel::matcher_choice::run_then_lookahead, "run_then_lookahead"},
}};

}  // namespace match_text
