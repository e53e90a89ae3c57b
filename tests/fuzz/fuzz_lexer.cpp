// Fuzz target: the three ways of lexing agree.
//
// For a rule set and a text, eager tokenizing, a scan cursor stepping over the whole text,
// and a token stream fed the text in random chunks must give the same tokens (kind, lexeme,
// offset, line, column, mode) and, where the text cannot be lexed, the same error message at
// the same position, the stream's error carrying the tokens decided before it in its call.
// Both error policies are run over the same rules (raise, and error tokens).  Every eager
// token's lexeme must be the text's bytes at its offset, and each token must end (end_of) no
// later than the next one starts.
//
// Input: a .lex grammar (rules, one per line), a NUL, one control byte, then the text.  The
// control byte picks the column unit (bits 0-1) and whether an end_of_input token is wanted
// (bit 2); the chunk sizes of the stream come from a generator seeded by the whole input.  A
// grammar the reader refuses ends the run (the grammar target fuzzes the reader itself).
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tessel/grammar/grammar.h"
#include "tessel/lexer.h"
#include "tessel/position.h"
#include "tessel/runtime.h"
#include "tessel/stream.h"

namespace {

constexpr std::size_t max_rules = 24;
constexpr std::size_t max_text = 256;

using tessel::token;

std::string shown(const token& t) {
    return std::to_string(t.kind) + " \"" + fuzz::shown(t.lexeme) + "\" @" + std::to_string(t.pos.offset) + " " +
           std::to_string(t.pos.line) + ":" + std::to_string(t.pos.column) + " m" + std::to_string(t.mode);
}

std::string shown(const tessel::lex_error& e) {
    return std::string(e.what()) + " @" + std::to_string(e.where.offset) + " " + std::to_string(e.where.line) +
           ":" + std::to_string(e.where.column);
}

struct outcome {
    std::vector<std::string> tokens;
    std::string error;  // empty: none

    std::string describe() const {
        std::string out;
        for (const auto& t : tokens) out += "  " + t + "\n";
        if (!error.empty()) out += "  error: " + error + "\n";
        return out;
    }
    friend bool operator==(const outcome&, const outcome&) = default;
};

outcome eager(const tessel::lexer& lx, std::string_view text, bool eof) {
    outcome o;
    try {
        const std::vector<token> tokens = tessel::tokenize(lx, text, eof);
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const token& t = tokens[i];
            fuzz::check(t.lexeme.data() == text.data() + t.pos.offset || t.lexeme.empty(),
                        "token " + shown(t) + " does not view the text at its offset");
            if (i + 1 < tokens.size()) {
                const tessel::position end = tessel::end_of(text, t, lx.columns());
                fuzz::check(end.offset <= tokens[i + 1].pos.offset,
                            "token " + shown(t) + " ends after the next one starts");
            }
            o.tokens.push_back(shown(t));
        }
    } catch (const tessel::lex_error& e) {
        o.error = shown(e);
    }
    return o;
}

outcome scanned(const std::shared_ptr<const tessel::lexer>& lx, std::string_view text, bool eof) {
    outcome o;
    tessel::scan_cursor scan(lx, text, eof);
    try {
        for (scan.advance(); !scan.exhausted(); scan.advance()) o.tokens.push_back(shown(scan.current()));
    } catch (const tessel::lex_error& e) {
        o.error = shown(e);
        fuzz::check(scan.exhausted(), "a scan goes on after an error");
    }
    return o;
}

outcome streamed(const std::shared_ptr<const tessel::lexer>& lx, std::string_view text, fuzz::random& rng) {
    outcome o;
    tessel::token_stream s(lx);
    // Mostly short chunks, where the held-back logic is busiest, sometimes long ones.
    const std::uint64_t widest = rng.below(4) == 0 ? text.size() + 1 : 8;
    try {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t n = std::min<std::size_t>(rng.below(widest + 1), text.size() - at);
            for (const token& t : s.feed(text.substr(at, n))) o.tokens.push_back(shown(t));
            at += n;
        }
        for (const token& t : s.finish()) o.tokens.push_back(shown(t));
        fuzz::check(s.buffered() == 0, "a finished stream still buffers bytes");
    } catch (const tessel::lex_error& e) {
        for (const token& t : e.tokens) o.tokens.push_back(shown(t));
        o.error = shown(e);
        fuzz::check(s.finished() && s.failed(), "a stream goes on after an error");
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto [grammar_text, rest] = fuzz::split_at_nul(input);
    if (rest.empty()) return 0;
    const auto control = static_cast<std::uint8_t>(rest[0]);
    const std::string_view text = rest.substr(1, std::min(rest.size() - 1, max_text));

    tessel::lexer_options options;
    const unsigned unit = control & 3u;
    options.columns = unit == 3 ? tessel::column_unit::bytes : static_cast<tessel::column_unit>(unit);
    const bool eof = (control & 4u) != 0;
    fuzz::random rng(fuzz::hash(input));

    // The fuzzer often mutates only the text, so the lexers of the last grammar are kept, one
    // per column unit and error policy; a lexer is immutable, so reuse changes no answer.
    static std::string last_text;
    static std::optional<tessel::grammar> last;
    static std::shared_ptr<const tessel::lexer> lexers[3][2];
    // The same rules with no automaton (dfa requested, no modes named): the per-rule path alone,
    // the oracle of the mode DFAs.
    static std::shared_ptr<const tessel::lexer> per_rule_lexers[3][2];
    if (!last || grammar_text != last_text) {
        last.reset();
        for (auto& per_unit : lexers) per_unit[0] = per_unit[1] = nullptr;
        for (auto& per_unit : per_rule_lexers) per_unit[0] = per_unit[1] = nullptr;
        last_text = grammar_text;
        try {
            last = tessel::parse_grammar(grammar_text);
        } catch (const tessel::grammar_error&) {
            return 0;
        }
    }
    if (last->rules.size() > max_rules) return 0;

    for (tessel::error_policy policy : {tessel::error_policy::raise, tessel::error_policy::token}) {
        options.errors = policy;
        std::shared_ptr<const tessel::lexer>& lx = lexers[static_cast<unsigned>(options.columns)][static_cast<unsigned>(policy)];
        if (!lx) {
            try {
                lx = std::make_shared<const tessel::lexer>(last->rules, options);
            } catch (const std::invalid_argument& e) {
                fuzz::fail(std::string("a grammar the reader accepted does not compile: ") + e.what());
            }
        }
        std::shared_ptr<const tessel::lexer>& plain =
            per_rule_lexers[static_cast<unsigned>(options.columns)][static_cast<unsigned>(policy)];
        if (!plain) {
            tessel::lexer_options no_dfa = options;
            no_dfa.dfa = tessel::dfa_choice::requested;
            plain = std::make_shared<const tessel::lexer>(last->rules, no_dfa);
        }
        const std::string policy_name = policy == tessel::error_policy::raise ? "raise" : "token";
        const outcome whole = eager(*lx, text, eof);
        const outcome without_dfa = eager(*plain, text, eof);
        if (!(whole == without_dfa)) {
            fuzz::fail("errors=" + policy_name + ": with the mode DFAs tokenize gives\n" + whole.describe() +
                       "on the per-rule path alone\n" + without_dfa.describe());
        }
        const outcome by_scan = scanned(lx, text, eof);
        // tokenize raises without the tokens before the error; a scan has handed them out.
        const bool agree = whole.error.empty() ? whole == by_scan : whole.error == by_scan.error;
        if (!agree) {
            fuzz::fail("errors=" + policy_name + ": tokenize gives\n" + whole.describe() + "a scan gives\n" +
                       by_scan.describe());
        }
        const outcome without_eof = eof ? scanned(lx, text, false) : by_scan;
        for (int round = 0; round < 3; ++round) {
            const outcome by_stream = streamed(lx, text, rng);
            if (!(by_stream == without_eof)) {
                fuzz::fail("errors=" + policy_name + ": a scan gives\n" + without_eof.describe() +
                           "a stream in chunks gives\n" + by_stream.describe());
            }
        }
    }
    return 0;
}
