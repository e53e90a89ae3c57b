// The per-mode DFA fast path.
//
// What it does.  At every token start the lexer wants the longest match among the rules of
// the current mode.  The per-rule path runs each candidate's regex; this file builds, when the
// lexer is compiled, one automaton per mode (kestrel/dfa.h) over the rules whose longest
// match it can compute exactly, so that most positions cost one table lookup per byte.
//
// Which rules join.  A rule joins its mode's automaton when the longest-agreement check says
// its priority match is always its longest (a|ab does not: it contributes a on ab) and its
// program has no zero-width assertion at all.  The check itself refuses word boundaries, end
// anchors, lookarounds, possessive loops and byte expansions over 512 instructions; the start
// anchor it lets through is still kept off, because the automaton can only test it at the
// offset a scan starts from, while the lexer's regex tests the start of the text.  Every other
// rule stays on the per-rule path, marked in the mode's per-rule set.  The check's answer
// depends only on the pattern, so it is computed once per rule, not once per mode.
//
// Which modes.  With dfa = auto every mode is tried, with requested only those named in
// dfa_modes; names are checked in both cases.  A mode with no rule for the automaton, or whose
// automaton passes the state budget (the only failure absorbed: kestrel::dfa_error), gets no
// automaton and runs every rule per rule.  Tokens are the same either way.
//
// Matching.  The automaton reports only non-empty matches; when it finds none and some DFA
// rule matches the empty string, the first such rule answers with length 0 (the runtime turns
// that into its zero-length error).  The runtime combines this answer with the per-rule path
// (runtime.cpp) by the lexer's rule: longer wins, then the lower rule index.  Automata are
// immutable and shared by reference count; each run keeps its own memos (dfa_memos), one per
// mode and subject.
//
// Tests: tests/cpp/test_mode_dfa.cpp, tests/python/test_dfa.py and the property tests.
#include "tessel/mode_dfa.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>

#include "kestrel/agreement_check.h"

namespace tessel {

namespace {

struct rule_verdict {
    bool candidate = false;  // may join an automaton
    std::string reason;      // why not
};

rule_verdict judge(const rule& r) {
    const kestrel::program& prog = r.regex.prog();
    try {
        const kestrel::agreement a = kestrel::longest_agreement_check(prog);
        if (a != kestrel::agreement::agrees) {
            return {false, std::string("longest_agreement_check: ") + kestrel::agreement_name(a) +
                               (a == kestrel::agreement::differs
                                    ? " (its priority match is not always its longest)"
                                    : " (the check passed its state budget)")};
        }
    } catch (const kestrel::dfa_error& e) {
        return {false, e.what()};
    }
    for (const kestrel::instruction& in : prog.instructions) {
        if (in.op == kestrel::opcode::assert) {
            return {false, "pattern has a start anchor (\\A/^), which the lexer tests at the start of the text"};
        }
    }
    return {true, ""};
}

std::shared_ptr<const kestrel::dfa> build_automaton(const std::vector<rule>& rules,
                                                    const std::vector<std::uint32_t>& dfa_rules) {
    std::vector<const kestrel::program*> programs;
    for (std::uint32_t r : dfa_rules) programs.push_back(&rules[r].regex.prog());
    return std::make_shared<const kestrel::dfa>(programs);
}

// The bytes a rule matches when its whole pattern is one literal string (no class, no
// repeat, no boundary around it), or nothing.
std::optional<std::string> literal_of(const rule& r) {
    const kestrel::program& prog = r.regex.prog();
    const kestrel::analysis& facts = prog.facts;
    if (facts.literal_string_length <= 0 || facts.literal_leading != kestrel::boundary_kind::none ||
        facts.literal_trailing != kestrel::boundary_kind::none) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::int32_t i = 0; i < facts.literal_string_length; ++i) {
        bytes += static_cast<char>(prog.instructions[static_cast<std::size_t>(facts.literal_string_start + i)].arg);
    }
    return bytes;
}

// Moves the literal rules of `dfa_rules` to a trie when there are enough of them to be worth
// one; false (and nothing moved) otherwise.
bool split_literals(const std::vector<rule>& rules, std::vector<std::uint32_t>& dfa_rules,
                    std::vector<std::uint32_t>& literal_rules, std::shared_ptr<const kestrel::literal_trie>& trie) {
    constexpr std::size_t worth_a_trie = 64;
    std::vector<std::string> literals;
    std::vector<std::uint32_t> rest;
    for (std::uint32_t r : dfa_rules) {
        if (std::optional<std::string> bytes = literal_of(rules[r])) {
            literals.push_back(std::move(*bytes));
            literal_rules.push_back(r);
        } else {
            rest.push_back(r);
        }
    }
    if (literals.size() < worth_a_trie) {
        literal_rules.clear();
        return false;
    }
    trie = std::make_shared<const kestrel::literal_trie>(literals);
    dfa_rules = std::move(rest);
    return true;
}

}  // namespace

void build_mode_dfas(const lexer& lx, const mode_members& members, const lexer_options& options,
                     std::vector<std::shared_ptr<const mode_dfa>>& slots, placement_notes& notes) {
    const std::vector<rule>& rules = lx.rules();
    const std::size_t modes = lx.mode_count();
    std::vector<bool> chosen(modes, options.dfa == dfa_choice::automatic);
    for (const std::string& name : options.dfa_modes) {
        const std::optional<std::uint32_t> m = lx.mode_index(name);
        if (!m) throw std::invalid_argument("dfa_modes names an unknown mode: " + shown_mode_name(name));
        chosen[*m] = true;
    }

    // Whether each rule may join an automaton, judged once per rule when a mode first asks.
    std::vector<std::uint8_t> judged(rules.size(), 0);
    notes.rule_reason.assign(rules.size(), 0);
    notes.mode_reason.assign(modes, 0);
    // Modes with the same rules get the same mode_dfa, built once; modes whose automaton
    // rules have the same patterns share the automaton even when the rules differ, so a
    // grammar that repeats one rule in thousands of modes holds one DFA.  A refused build is
    // remembered the same way.
    std::map<std::vector<std::uint32_t>, std::shared_ptr<const mode_dfa>> built;
    std::map<std::vector<std::string_view>, std::shared_ptr<const kestrel::dfa>> automata;
    std::map<std::vector<std::string_view>, std::uint32_t> refused;
    std::vector<std::uint32_t> member_key;
    std::vector<std::string_view> pattern_key;
    slots.assign(modes, nullptr);
    for (std::uint32_t m = 0; m < modes; ++m) {
        if (!chosen[m]) {
            notes.mode_reason[m] = placement_notes::not_requested;
            continue;
        }
        const std::span<const std::uint32_t> own = members.of(m);
        std::vector<std::uint32_t> dfa_rules;
        std::vector<std::uint32_t> per_rule;
        std::optional<std::uint32_t> empty_rule;
        for (std::uint32_t r : own) {
            if (judged[r] == 0) {
                const rule_verdict v = judge(rules[r]);
                judged[r] = 1;
                if (!v.candidate) notes.rule_reason[r] = notes.note(v.reason);
            }
            if (notes.rule_reason[r] != 0) {
                per_rule.push_back(r);  // members are ascending
                continue;
            }
            dfa_rules.push_back(r);
            if (!empty_rule && rules[r].regex.match(0, std::string_view()).matched) empty_rule = r;
        }
        if (dfa_rules.empty()) continue;

        member_key.assign(own.begin(), own.end());
        if (const auto same = built.find(member_key); same != built.end()) {
            slots[m] = same->second;
            continue;
        }
        pattern_key.clear();
        for (std::uint32_t r : dfa_rules) pattern_key.emplace_back(rules[r].regex.pattern());
        if (const auto same = refused.find(pattern_key); same != refused.end()) {
            notes.mode_reason[m] = same->second;
            continue;
        }
        std::shared_ptr<const kestrel::literal_trie> trie;
        std::vector<std::uint32_t> literal_rules;
        std::shared_ptr<const kestrel::dfa>& automaton = automata[pattern_key];
        if (!automaton) {
            try {
                automaton = build_automaton(rules, dfa_rules);
            } catch (const kestrel::dfa_error& e) {
                // Over the state budget: a large keyword set may be what passes it.  The
                // literals then go to a trie and the automaton takes the rest.
                bool split = false;
                if (std::string_view(e.what()) == kestrel::dfa_message_states) {
                    split = split_literals(rules, dfa_rules, literal_rules, trie);
                    if (split && !dfa_rules.empty()) {
                        try {
                            automaton = build_automaton(rules, dfa_rules);
                        } catch (const kestrel::dfa_error&) {
                            split = false;
                        }
                    }
                }
                if (!split) {
                    automata.erase(pattern_key);
                    const std::uint32_t why = notes.note(e.what());
                    refused.emplace(pattern_key, why);
                    notes.mode_reason[m] = why;
                    continue;
                }
            }
        }
        const bool any_per_rule = !per_rule.empty();
        auto md = std::make_shared<const mode_dfa>(mode_dfa{.automaton = automaton,
                                                            .literals = std::move(trie),
                                                            .literal_rules = std::move(literal_rules),
                                                            .dfa_rules = std::move(dfa_rules),
                                                            .per_rule = std::move(per_rule),
                                                            .any_per_rule = any_per_rule,
                                                            .has_empty_rule = empty_rule.has_value(),
                                                            .empty_rule = empty_rule.value_or(0)});
        if (md->literals) {
            // The automaton of this pattern list is not the one the cache would hand to
            // another mode with the same list, which must split the same way.
            automata.erase(pattern_key);
        }
        built.emplace(member_key, md);
        slots[m] = std::move(md);
    }
}

dfa_answer match_mode_dfa(const mode_dfa& md, std::uint32_t offset, const std::uint8_t* subject,
                          std::uint32_t length, kestrel::dfa_memo& memo) {
    dfa_answer a;
    if (md.automaton) {
        const kestrel::dfa_match_result r = md.automaton->match(offset, memo, subject, length);
        a.open_end = r.open_end;
        a.reach = r.reach;
        if (r.matched) {
            a.found = true;
            a.rule = md.dfa_rules[static_cast<std::size_t>(r.rule)];
            a.length = r.length;
        }
    }
    if (md.literals) {
        // The trie's literal against the automaton's match: longer, then the lower rule.
        const kestrel::literal_match t = md.literals->match(subject, length, offset);
        a.open_end = a.open_end || t.open_end;
        a.reach = std::max(a.reach, t.reach);
        const std::uint32_t rule = t.found ? md.literal_rules[t.id] : 0;
        if (t.found && (!a.found || t.length > a.length || (t.length == a.length && rule < a.rule))) {
            a.found = true;
            a.rule = rule;
            a.length = t.length;
        }
    }
    if (a.found) return a;
    if (md.has_empty_rule) {
        a.found = true;
        a.rule = md.empty_rule;
        a.length = 0;
    }
    return a;
}

std::size_t dfa_memos::memory_bytes() const noexcept {
    std::size_t n = 0;
    for (const auto& [mode, memo] : memos_) n += memo.memory_bytes();
    if (scratch_) n += scratch_->failures().memory_bytes();
    return n;
}

std::string describe_modes(const lexer& lx) {
    std::string out;
    for (const mode_placement& place : lx.placements()) {
        const mode_dfa* md = lx.automaton(place.mode);
        out += "mode '" + shown_mode_name(lx.mode_name(place.mode)) + "': ";
        if (md != nullptr) {
            if (md->automaton) {
                out += "DFA of " + std::to_string(md->automaton->state_count()) + " states, " +
                       std::to_string(md->automaton->class_count()) + " classes";
            } else {
                out += "no DFA";
            }
            if (md->literals) {
                out += ", and a literal trie of " + std::to_string(md->literal_rules.size()) + " rules";
            }
            out += "\n";
        } else {
            out += "no DFA\n";
        }
        for (const rule_placement& p : place.rules) {
            out += "  rule " + std::to_string(p.rule) + " /" + lx.rules()[p.rule].pattern + "/: ";
            out += p.on_dfa ? "dfa" : "per-rule (" + p.reason + ")";
            out += "\n";
        }
    }
    return out;
}

}  // namespace tessel
