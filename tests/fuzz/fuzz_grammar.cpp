// Fuzz target: the .lex reader.
//
// Property: any byte string read as a grammar gives either a rule list or a grammar_error,
// nothing else.  A grammar_error's text is exactly its origin, line and column (each shown
// only when set, the column only with a line) and cause; it is valid UTF-8 without a NUL (it
// reaches the interpreter as a C string and as str), names a line of the text, and has a
// cause.  A rule list has one name per rule, kinds 0, 1, 2 ..., and every name, pattern and
// mode name is text a caller can hand back (valid UTF-8, no NUL, no empty pattern); and the
// rules compile into a lexer, because compile accepts whatever the reader returns.
//
// Input: the grammar text.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tessel/grammar/grammar.h"
#include "tessel/lexer.h"
#include "tessel/position.h"

namespace {

constexpr std::string_view origin = "fuzz.lex";

bool is_text(std::string_view s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        if (p[i] == 0) return false;
        const auto rest = static_cast<std::uint32_t>(std::min<std::size_t>(s.size() - i, 4));
        const std::uint32_t k = tessel::utf8_length_at(p + i, rest, 0);
        if (k == 0) return false;
        i += k;
    }
    return true;
}

void check_text(std::string_view s, const std::string& what) {
    fuzz::check(is_text(s), what + " is not NUL-free UTF-8: \"" + fuzz::shown(s) + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tessel::grammar g;
    try {
        g = tessel::parse_grammar(text, origin);
    } catch (const tessel::grammar_error& e) {
        std::string expected(origin);
        if (e.line != 0) {
            expected += ":" + std::to_string(e.line);
            if (e.column != 0) expected += ":" + std::to_string(e.column);
        }
        expected += ": " + e.cause;
        fuzz::check(e.what() == expected, "grammar_error reads \"" + fuzz::shown(e.what()) + "\", not \"" +
                                              fuzz::shown(expected) + "\"");
        fuzz::check(!e.cause.empty(), "grammar_error without a cause");
        check_text(e.what(), "the grammar_error text");
        fuzz::check(e.origin == origin, "grammar_error with another origin");
        std::uint64_t lines = 1;
        for (char c : text) lines += c == '\n';
        fuzz::check(e.line <= lines, "grammar_error at line " + std::to_string(e.line) + " of a text of " +
                                         std::to_string(lines));
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const std::exception& e) {
        fuzz::fail(std::string("the reader raised something else: ") + e.what());
    }

    fuzz::check(!g.rules.empty() && g.rules.size() == g.names.size(), "names and rules differ in number");
    for (std::size_t i = 0; i < g.rules.size(); ++i) {
        const tessel::rule& r = g.rules[i];
        fuzz::check(r.kind == static_cast<std::int32_t>(i), "rule " + std::to_string(i) + " has another kind");
        check_text(g.names[i], "a rule name");
        check_text(r.pattern, "a pattern");
        fuzz::check(!r.pattern.empty(), "an empty pattern");
        for (const std::string& m : r.in_mode) check_text(m, "an in= mode name");
        if (r.action && r.action->kind != tessel::transition_kind::pop) check_text(r.action->target, "a target");
    }
    try {
        const tessel::lexer lx(g.rules, {});
        (void)lx;
    } catch (const std::invalid_argument& e) {
        fuzz::fail(std::string("a grammar the reader accepted does not compile: ") + e.what());
    }
    return 0;
}
