// The `.lex` grammar reader: a tab-separated text of rules, one per line, read into the rule
// list that lexer compilation takes and the names written beside each rule.
//
//     # comment
//     number<TAB>[0-9]+
//     string<TAB>"<TAB>push=str
//     body<TAB>[^"]+<TAB>in=str
//     close<TAB>"<TAB>in=str pop
//
// Rule i gets kind i; names[i] is the name written for it.  Every pattern is compiled while
// reading, so a grammar that reads is one whose patterns are valid.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessel/lexer.h"

namespace tessel {

// A malformed grammar line or an invalid pattern.  what() reads
// "origin[:line[:column]]: cause": the line only when it is not 0, the column only when both
// are not 0.  Lines are 1-based; columns are 1-based byte columns within the line (after a
// byte order mark on the first line).
class grammar_error : public std::runtime_error {
public:
    grammar_error(std::string_view origin, std::uint64_t line, std::uint64_t column,
                  std::string cause);

    std::string origin;
    std::uint64_t line = 0;    // 0: the error has no line
    std::uint64_t column = 0;  // 0: the error has no column
    std::string cause;         // the message without its position
};

struct grammar {
    std::vector<rule> rules;         // in file order; rules[i].kind == i
    std::vector<std::string> names;  // names[i] names the rule of kind i
};

// Reads a grammar text (UTF-8).  Throws grammar_error at the first problem in file order;
// nothing else escapes but std::bad_alloc.
grammar parse_grammar(std::string_view text, std::string_view origin = "<string>");

}  // namespace tessel
