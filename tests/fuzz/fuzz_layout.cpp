// Fuzz target: the layout pass.
//
// Property: for any token sequence, layout returns a sequence or raises layout_error (or,
// under the python tab rule with a source, the documented invalid_argument for a token that
// lies beyond the source), nothing else.  A returned sequence holds every input token except
// an end_of_input one, in order and unchanged; the tokens it adds are NEWLINE, INDENT and
// DEDENT tokens with empty lexemes; every DEDENT closes an earlier INDENT and none is left
// open; and it ends with exactly one end_of_input token.
//
// Input: one control byte, then the source text.  Bit 0 picks the tab rule, bit 1 whether
// the source is passed, bit 2 whether the tokens carry the positions lexing the source would
// give (cut at random lengths with random gaps) or positions drawn at random, bit 3 whether
// an end_of_input token ends the input.  Token kinds, modes and which modes are significant
// come from a generator seeded by the input.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "tessel/layout.h"
#include "tessel/position.h"

namespace {

constexpr std::size_t max_source = 1024;

bool same(const tessel::token& a, const tessel::token& b) {
    return a.kind == b.kind && a.lexeme.data() == b.lexeme.data() && a.lexeme.size() == b.lexeme.size() &&
           a.pos == b.pos && a.mode == b.mode;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::string_view source(reinterpret_cast<const char*>(data) + 1, std::min(size - 1, max_source));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(source.data());
    const auto length = static_cast<std::uint32_t>(source.size());
    fuzz::random rng(fuzz::hash(std::string_view(reinterpret_cast<const char*>(data), size)));

    const tessel::tab_rule tabs = (control & 1) ? tessel::tab_rule::python : tessel::tab_rule::columns;
    const bool pass_source = (control & 2) != 0;
    const bool consistent = (control & 4) != 0;

    std::vector<tessel::token> tokens;
    tessel::position at;
    while (at.offset < length) {
        const std::uint32_t n = std::min<std::uint32_t>(1 + static_cast<std::uint32_t>(rng.below(6)), length - at.offset);
        tessel::token t;
        t.kind = static_cast<std::int32_t>(rng.below(5)) - 1;
        t.mode = static_cast<std::uint32_t>(rng.below(3));
        t.lexeme = source.substr(at.offset, n);
        if (consistent) {
            t.pos = at;
        } else {
            t.pos = {static_cast<std::uint32_t>(rng.next()), static_cast<std::uint32_t>(rng.below(8)),
                     static_cast<std::uint32_t>(rng.below(12))};
        }
        tessel::advance_position(bytes, length, at, n, tessel::column_unit::bytes);
        if (rng.below(3) != 0) tokens.push_back(t);  // the rest are skipped text
    }
    if (control & 8) tokens.push_back(tessel::token{tessel::end_of_input_kind, source.substr(length), at, 0});
    std::vector<bool> significant(rng.below(4));
    for (std::size_t m = 0; m < significant.size(); ++m) significant[m] = rng.below(3) != 0;

    std::vector<tessel::token> out;
    try {
        out = tessel::layout(tokens, significant, pass_source ? std::optional(source) : std::nullopt, tabs);
    } catch (const tessel::layout_error&) {
        return 0;
    } catch (const std::invalid_argument& e) {
        fuzz::check(tabs == tessel::tab_rule::python && pass_source && !consistent,
                    std::string("layout refused consistent tokens: ") + e.what());
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const std::exception& e) {
        fuzz::fail(std::string("layout raised something else: ") + e.what());
    }

    fuzz::check(!out.empty() && out.back().kind == tessel::end_of_input_kind, "the result does not end with end_of_input");
    std::size_t next = 0;  // the next input token to find
    long open = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const tessel::token& t = out[i];
        while (next < tokens.size() && tokens[next].kind == tessel::end_of_input_kind) ++next;
        if (next < tokens.size() && same(t, tokens[next])) {
            ++next;
            continue;
        }
        if (t.kind == tessel::end_of_input_kind) {
            fuzz::check(i + 1 == out.size(), "an end_of_input token before the end");
            continue;
        }
        fuzz::check(t.lexeme.empty(), "an added token with a lexeme");
        if (t.kind == tessel::indent_kind) {
            ++open;
        } else if (t.kind == tessel::dedent_kind) {
            fuzz::check(--open >= 0, "a DEDENT with no open INDENT");
        } else {
            fuzz::check(t.kind == tessel::newline_kind, "an added token of kind " + std::to_string(t.kind) +
                                                            " where an input token was due");
        }
    }
    while (next < tokens.size() && tokens[next].kind == tessel::end_of_input_kind) ++next;
    fuzz::check(next == tokens.size(), "input token " + std::to_string(next) + " is missing from the result");
    fuzz::check(open == 0, std::to_string(open) + " INDENTs left open");
    return 0;
}
