// Small builders shared by the lexer tests: rules from a kind and a pattern, transitions, and
// a one-line rendering of a token that failures print readably.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tessel/lexer.h"
#include "tessel/runtime.h"

namespace lexer_test {

inline tessel::rule rule(std::int32_t kind, const std::string& pattern, bool skip = false,
                         std::vector<std::string> modes = {},
                         std::optional<tessel::transition> action = std::nullopt) {
    return tessel::rule{kind, pattern, kestrel::regex(pattern), skip, std::move(modes), std::move(action)};
}

inline tessel::transition push(const std::string& m) { return {tessel::transition_kind::push, m, 0}; }
inline tessel::transition set(const std::string& m) { return {tessel::transition_kind::set, m, 0}; }
inline tessel::transition pop() { return {tessel::transition_kind::pop, "", 0}; }

inline tessel::lexer_options options(tessel::error_policy errors,
                                     tessel::column_unit columns = tessel::column_unit::bytes,
                                     std::vector<std::string> dfa_modes = {},
                                     std::vector<std::string> insignificant = {}) {
    tessel::lexer_options o;
    o.errors = errors;
    o.columns = columns;
    o.dfa_modes = std::move(dfa_modes);
    o.insignificant_modes = std::move(insignificant);
    return o;
}

inline std::shared_ptr<const tessel::lexer> make(std::vector<tessel::rule> rules,
                                                 tessel::lexer_options options = {}) {
    return std::make_shared<const tessel::lexer>(std::move(rules), std::move(options));
}

// kind "lexeme" @offset line:column mode
inline std::string show(const tessel::token& t) {
    return std::to_string(t.kind) + " \"" + std::string(t.lexeme) + "\" @" +
           std::to_string(t.pos.offset) + " " + std::to_string(t.pos.line) + ":" +
           std::to_string(t.pos.column) + " m" + std::to_string(t.mode);
}

inline std::vector<std::string> show(const std::vector<tessel::token>& ts) {
    std::vector<std::string> out;
    for (const auto& t : ts) out.push_back(show(t));
    return out;
}

// "message @offset line:column"
inline std::string show(const tessel::lex_error& e) {
    return std::string(e.what()) + " @" + std::to_string(e.where.offset) + " " +
           std::to_string(e.where.line) + ":" + std::to_string(e.where.column);
}

}  // namespace lexer_test
