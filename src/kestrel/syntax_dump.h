// A stable text form of a parsed pattern, for golden tests and the developer CLI.
//
// The first line gives the global flag words and the capture count, then one line per group
// name, then the tree: one node per line, indented two spaces per level, in child order.
// Example for "(?i)(?P<n>a|[^0-9])*":
//
//     flags on=i off=- captures=1
//     name 1 'n' 8..9
//     repeat {0,inf} flags=i
//       group capture=1 flags=i
//         alternation flags=i
//           class #0 ascii=[a] flags=i
//           class #1 ascii=[0-9] negated flags=i
//
// Class lines show the ASCII members and the code-point ranges (long range lists are cut to
// their first six and last range, with the total); `wide`, `explicit=[...]` (ranges written
// in the pattern) and `props-only` (only \p items) appear when they apply.  The format
// changes only together with the goldens that pin it.
#pragma once

#include <string>
#include <string_view>

#include "kestrel/syntax.h"

namespace kestrel {

// `pattern` is the text that was parsed; group names are printed from it.
std::string dump_syntax(const parsed_pattern& parsed, std::string_view pattern);

// The flag word as its letters ("i", "mx", "-" for none); bits without a letter print as
// b (bytes), r (allow_raw_byte) or a hex remainder.
std::string flag_letters(std::uint16_t flags);

}  // namespace kestrel
