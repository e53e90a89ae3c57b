// Lexer compilation: from an ordered rule list to the immutable tables the runtime reads.
//
// What it does, in order, stopping at the first failure: number the modes ("default" is 0,
// then every name in order of first mention, a transition's target counting as a mention
// right after the rule's own modes); build each mode's dispatch table from the engine's
// first-byte analysis; refuse reserved kinds; refuse transitions that cannot advance (an
// empty pattern) or that lead into a mode no rule is active in; resolve transition targets to
// indices; mark insignificant modes; build the DFA fast path of each mode; and work
// out how many bytes before a position some rule may look at (`context_bytes`).
//
// Why this shape: the runtime's inner loop asks "which rules can start with this byte?" at
// every token, so the answer is precomputed as 257 lists per mode (one per byte value, plus
// list 256 for rules whose possible first bytes the analysis does not know).  The lists are in
// ascending rule order, which keeps the runtime's tie rule (lower index wins) a comparison and
// nothing more.  Beside the lists each mode keeps the set of bytes whose list is not empty, so
// an unlexable stretch can be crossed with one set test per byte.
//
// `context_bytes` exists for the token stream, which drops text it has lexed: a rule with a
// lookbehind of at most L bytes can look L bytes back from where it is, and a start-of-text,
// line-start or word-boundary test also looks at the character before that (4 bytes at most
// in UTF-8), so such a rule needs L + 4 bytes of context.  End-of-text and line-end tests only
// look forward.  Lookarounds do not nest (the engine refuses it), so the largest single
// lookbehind bounds how far back a rule reaches.
//
// The per-mode automata of the DFA fast path are built by mode_dfa.cpp; `pike_rules` and
// `dfa_modes_active` read their slots.  A rule that names the same mode twice belongs to it
// once.
//
// Tests: tests/cpp/test_lexer.cpp (mode numbering, dispatch lists, every message, context).
#include "tessel/lexer.h"

#include <algorithm>
#include <stdexcept>

#include "kestrel/program.h"
#include "tessel/mode_dfa.h"

namespace tessel {

namespace {

// Assertion kinds (the engine's assert_kind numbers) that only look at the position and the
// text after it: end of text (1), end of text or before a final newline (2), line end (4 and
// 10).  Every other kind looks at the start of text or at the character before the position.
bool looks_forward_only(std::uint8_t kind) noexcept {
    return kind == 1 || kind == 2 || kind == 4 || kind == 10;
}

// How many bytes before a match position this rule's program may examine.
std::uint32_t context_of(const kestrel::program& prog) {
    std::uint32_t lookbehind = 0;
    for (const kestrel::lookaround_entry& e : prog.lookarounds) {
        if (e.behind && e.max_length > 0) {
            lookbehind = std::max(lookbehind, static_cast<std::uint32_t>(e.max_length));
        }
    }
    bool needs = lookbehind > 0;
    for (const kestrel::instruction& in : prog.instructions) {
        if (in.op == kestrel::opcode::assert && !looks_forward_only(in.arg)) needs = true;
    }
    // 4: the longest UTF-8 character, which a boundary test decodes backwards.
    return needs ? lookbehind + 4 : 0;
}

}  // namespace

void check_text_length(std::uint64_t size, std::uint64_t limit) {
    if (size > limit) {
        throw std::invalid_argument("text too long: tessel lexes at most " + std::to_string(limit) +
                                    " bytes");
    }
}

lexer::lexer(std::vector<rule> rules, lexer_options options)
    : rules_(std::move(rules)), errors_(options.errors), columns_(options.columns) {
    // Modes, numbered by first mention.
    auto intern = [this](const std::string& name) {
        if (mode_map_.find(name) == mode_map_.end()) {
            mode_map_.emplace(name, static_cast<std::uint32_t>(mode_names_.size()));
            mode_names_.push_back(name);
        }
    };
    intern("default");
    for (const rule& r : rules_) {
        for (const std::string& name : r.in_mode) intern(name);
        if (r.action && r.action->kind != transition_kind::pop) intern(r.action->target);
    }
    const std::size_t modes = mode_names_.size();

    // Dispatch tables: each rule goes once into each of its modes.
    dispatch_.resize(modes);
    opening_.resize(modes);
    std::vector<std::uint32_t> member;  // the modes of one rule, deduplicated
    for (std::uint32_t i = 0; i < rules_.size(); ++i) {
        const rule& r = rules_[i];
        member.clear();
        if (r.in_mode.empty()) member.push_back(0);
        for (const std::string& name : r.in_mode) member.push_back(mode_map_.at(name));
        std::sort(member.begin(), member.end());
        member.erase(std::unique(member.begin(), member.end()), member.end());

        const kestrel::analysis& facts = r.regex.prog().facts;
        for (std::uint32_t m : member) {
            dispatch_table& table = dispatch_[m];
            if (!facts.first_bytes_known) {
                table[no_first_byte_list].push_back(i);
            } else if (facts.single_first_byte >= 0) {
                table[static_cast<std::size_t>(facts.single_first_byte)].push_back(i);
                opening_[m].set(static_cast<std::uint8_t>(facts.single_first_byte));
            } else {
                for (unsigned b = 0; b < 256; ++b) {
                    if (facts.first_bytes.test(static_cast<std::uint8_t>(b))) {
                        table[b].push_back(i);
                        opening_[m].set(static_cast<std::uint8_t>(b));
                    }
                }
            }
        }
    }

    // Reserved kinds.
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (rules_[i].kind <= error_kind) {
            throw std::invalid_argument("rule " + std::to_string(i) + ": kind " +
                                        std::to_string(rules_[i].kind) +
                                        " is reserved (tessel::end_of_input to tessel::error)");
        }
    }

    // Transitions: each must consume input, and a push or set must lead somewhere lexable.
    auto mode_is_empty = [this](std::uint32_t m) {
        const dispatch_table& table = dispatch_[m];
        return std::all_of(table.begin(), table.end(), [](const auto& list) { return list.empty(); });
    };
    for (const rule& r : rules_) {
        if (!r.action) continue;
        if (r.pattern.empty()) {
            throw std::invalid_argument("a transition rule must consume input (empty pattern)");
        }
        if (r.action->kind != transition_kind::pop && mode_is_empty(mode_map_.at(r.action->target))) {
            throw std::invalid_argument("a transition targets the empty mode '" + shown_mode_name(r.action->target) +
                                        "' (no rule is active in it)");
        }
    }
    for (rule& r : rules_) {
        if (r.action && r.action->kind != transition_kind::pop) {
            r.action->target_index = mode_map_.at(r.action->target);
        }
    }

    significant_.assign(modes, true);
    for (const std::string& name : options.insignificant_modes) {
        auto it = mode_map_.find(name);
        if (it == mode_map_.end()) {
            throw std::invalid_argument("insignificant_modes names an unknown mode: " + shown_mode_name(name));
        }
        significant_[it->second] = false;
    }

    // The DFA fast path (mode_dfa.cpp); it checks the dfa_modes names whatever `dfa` says.
    build_mode_dfas(rules_, mode_names_, mode_map_, options, mode_dfas_, placements_);

    for (const rule& r : rules_) context_bytes_ = std::max(context_bytes_, context_of(r.regex.prog()));
}

std::string shown_mode_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '\0') {
            out += "\\x00";
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::uint32_t> lexer::mode_index(std::string_view name) const {
    auto it = mode_map_.find(std::string(name));
    if (it == mode_map_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> lexer::dfa_modes_active() const {
    std::vector<std::string> active;
    for (std::size_t m = 0; m < mode_dfas_.size(); ++m) {
        if (mode_dfas_[m]) active.push_back(mode_names_[m]);
    }
    return active;
}

std::vector<std::int32_t> lexer::pike_rules(std::string_view mode) const {
    const std::optional<std::uint32_t> m = mode_index(mode);
    if (!m) throw std::invalid_argument("pike_rules names an unknown mode: " + shown_mode_name(mode));
    // With no automaton every rule of the mode runs on the per-rule path; with one, the
    // rules of its per-rule set.
    const mode_dfa* md = mode_dfas_[*m].get();
    std::vector<std::int32_t> out;
    for (std::uint32_t i = 0; i < rules_.size(); ++i) {
        if (md != nullptr && !md->on_per_rule_path(i)) continue;
        const rule& r = rules_[i];
        const bool in_mode =
            r.in_mode.empty() ? *m == 0
                              : std::any_of(r.in_mode.begin(), r.in_mode.end(),
                                            [&](const std::string& n) { return n == mode; });
        if (in_mode) out.push_back(static_cast<std::int32_t>(i));
    }
    return out;
}

}  // namespace tessel
