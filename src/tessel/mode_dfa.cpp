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
// Rules too large only for their Unicode classes.  An identifier rule over \p{XID_Start} and
// \p{XID_Continue} lowers to thousands of byte instructions, far past the budget, yet nearly
// every identifier in real text is ASCII.  Such a rule joins through an ASCII stand-in (each
// class's non-ASCII part widened to all of U+0080-U+10FFFF, a few instructions), as an
// escaping rule of the automaton: a scan that meets a byte from 0x80 up while the stand-in is
// still alive stops with `escaped`, and the runtime lexes that offset with every rule's own
// matcher.  Until then the stand-in and the rule read the same ASCII bytes the same way, so
// an answer given without escaping is exact.  The stand-in must pass the same checks; should
// the automaton with stand-ins pass the state budget, it is built again without them.
//
// Keyword sets.  Where an automaton of all the candidates passes the state budget and the mode
// has many rules that are each one literal string, the literals go to a trie
// (kestrel/literal_trie.h), answered in one walk whatever their number, and the automaton
// is built again over the rest; the two answers join by the lexer's rule.
//
// Which modes.  With dfa = auto every mode is tried, with requested only those named in
// dfa_modes; names are checked in both cases.  A mode with no rule for the automaton, or whose
// automaton passes the state budget (the only failure absorbed: kestrel::dfa_error), gets no
// automaton and runs every rule per rule.  Tokens are the same either way.
//
// Matching.  Where no rule of the per-rule set can begin with the byte at the offset
// (`per_rule_bytes`, read off the facts the dispatch lists are built from), the automaton's
// answer is the whole answer.  The automaton reports only non-empty matches; when it finds none and some DFA
// rule matches the empty string, the first such rule answers with length 0 (the runtime turns
// that into its zero-length error).  The runtime combines this answer with the per-rule path
// (runtime.cpp) by the lexer's rule: longer wins, then the lower rule index.  Automata are
// immutable and shared by reference count (modes whose automaton rules have the same patterns
// share one); each run keeps its own memos (dfa_memos), one per mode and subject.
//
// Tests: tests/cpp/test_mode_dfa.cpp, tests/python/test_dfa.py and the property tests.
#include "tessel/mode_dfa.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "kestrel/agreement_check.h"

namespace tessel {

namespace {

struct rule_verdict {
    bool candidate = false;  // may join an automaton
    std::string reason;      // why not; for an escaping rule, what it runs on where
    // For a rule whose classes are too large for the automaton but whose ASCII part is not:
    // the stand-in the automaton runs instead, escaping at every byte from 0x80 up.
    std::shared_ptr<const kestrel::program> stand_in;
    std::string own_reason;  // with a stand-in: why the rule itself cannot join
};

// The answer of the checks for a program that may join an automaton, or the reason it
// cannot.  Throws kestrel::dfa_error from the lowering.
std::optional<std::string> refusal(const kestrel::program& prog) {
    const kestrel::agreement a = kestrel::longest_agreement_check(prog);
    if (a != kestrel::agreement::agrees) {
        return std::string("longest_agreement_check: ") + kestrel::agreement_name(a) +
               (a == kestrel::agreement::differs ? " (its priority match is not always its longest)"
                                                 : " (the check passed its state budget)");
    }
    for (const kestrel::instruction& in : prog.instructions) {
        if (in.op == kestrel::opcode::assert) {
            return std::string("pattern has a start anchor (\\A/^), which the lexer tests at the start of the text");
        }
    }
    return std::nullopt;
}

// The ASCII stand-in of a program: the same program with the non-ASCII part of every
// code-point class widened to all of U+0080-U+10FFFF, which lowers to a few byte sequences
// where the real classes (Unicode identifier classes, say) take thousands of instructions.
// On ASCII text the two run alike byte for byte: only non-ASCII members differ, and a class
// keeps a non-ASCII part exactly when it had one, so wherever the real program could still
// read a non-ASCII character the stand-in has a consuming instruction too.  The automaton
// escapes at any byte from 0x80 up while the stand-in is alive, so it never answers where
// the two could differ.  Null when no class has a non-ASCII part (nothing to gain).
std::shared_ptr<const kestrel::program> ascii_stand_in(const kestrel::program& prog) {
    auto out = std::make_shared<kestrel::program>(prog);
    bool widened = false;
    const auto all_high = static_cast<std::uint32_t>(out->range_pool.size());
    out->range_pool.push_back(kestrel::code_point_range{0x80, 0x10FFFF});
    for (kestrel::code_point_class& c : out->classes) {
        if (c.range_count == 0) continue;
        c.first_range = all_high;
        c.range_count = 1;
        c.fingerprint = kestrel::class_fingerprint(c.ascii, kestrel::range_view(&out->range_pool[all_high], 1));
        widened = true;
    }
    if (!widened) return nullptr;
    return out;
}

rule_verdict judge(const rule& r) {
    const kestrel::program& prog = r.regex.prog();
    try {
        if (std::optional<std::string> why = refusal(prog)) return {false, std::move(*why), nullptr, ""};
        return {true, "", nullptr, ""};
    } catch (const kestrel::dfa_error& e) {
        if (std::string_view(e.what()) != kestrel::dfa_message_expansion) return {false, e.what(), nullptr, ""};
        std::shared_ptr<const kestrel::program> stand_in = ascii_stand_in(prog);
        try {
            if (stand_in != nullptr && !refusal(*stand_in)) {
                return {true, std::string(ascii_only_reason) + " (" + e.what() + ")", std::move(stand_in), e.what()};
            }
        } catch (const kestrel::dfa_error&) {
            // The stand-in is too large as well: the rule stays per rule for the first reason.
        }
        return {false, e.what(), nullptr, ""};
    }
}

// The bytes at which the rules of `per_rule` may begin, read off the same facts as the
// lexer's dispatch lists: a rule with no known first byte is in every list.
kestrel::byte_set opening_bytes_of(const std::vector<rule>& rules, const std::vector<std::uint32_t>& per_rule) {
    kestrel::byte_set bytes;
    for (const std::uint32_t r : per_rule) {
        const kestrel::analysis& facts = rules[r].regex.prog().facts;
        if (!facts.first_bytes_known) {
            bytes.set_range(0, 255);
        } else if (facts.single_first_byte >= 0) {
            bytes.set(static_cast<std::uint8_t>(facts.single_first_byte));
        } else {
            bytes.merge(facts.first_bytes);
        }
    }
    return bytes;
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
    std::vector<std::uint32_t> rest, moved;
    for (std::uint32_t r : dfa_rules) {
        if (std::optional<std::string> bytes = literal_of(rules[r])) {
            literals.push_back(std::move(*bytes));
            moved.push_back(r);
        } else {
            rest.push_back(r);
        }
    }
    if (literals.size() < worth_a_trie) return false;
    trie = std::make_shared<const kestrel::literal_trie>(literals);
    literal_rules = std::move(moved);
    dfa_rules = std::move(rest);
    return true;
}

// The first of `dfa_rules` that matches the empty string.
std::optional<std::uint32_t> first_empty_rule(const std::vector<rule>& rules, const std::vector<std::uint32_t>& dfa_rules) {
    for (std::uint32_t r : dfa_rules) {
        if (rules[r].regex.match(0, std::string_view()).matched) return r;
    }
    return std::nullopt;
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

    // Whether each rule may join an automaton, judged once per rule when a mode first asks;
    // the stand-in programs live as long as the build.
    std::vector<std::optional<rule_verdict>> verdicts(rules.size());
    notes.rule_reason.assign(rules.size(), 0);
    notes.stand_in.assign(rules.size(), false);
    notes.mode_reason.assign(modes, 0);
    // Modes with the same rules get the same mode_dfa, built once; modes whose automaton
    // rules have the same patterns (and stand-ins) share the automaton even when the rules
    // differ, so a grammar that repeats one rule in thousands of modes holds one DFA.  A
    // refused build is remembered the same way.
    using pattern_list = std::pair<std::vector<std::string_view>, std::vector<bool>>;
    std::map<std::vector<std::uint32_t>, std::shared_ptr<const mode_dfa>> built;
    std::map<pattern_list, std::shared_ptr<const kestrel::dfa>> automata;
    std::map<std::vector<std::uint32_t>, std::uint32_t> refused;
    std::vector<std::uint32_t> member_key;
    slots.assign(modes, nullptr);
    for (std::uint32_t m = 0; m < modes; ++m) {
        if (!chosen[m]) {
            notes.mode_reason[m] = placement_notes::not_requested;
            continue;
        }
        const std::span<const std::uint32_t> own = members.of(m);
        std::vector<std::uint32_t> candidates;
        std::vector<std::uint32_t> per_rule;
        for (std::uint32_t r : own) {
            if (!verdicts[r]) {
                verdicts[r] = judge(rules[r]);
                if (!verdicts[r]->candidate) notes.rule_reason[r] = notes.note(verdicts[r]->reason);
                if (verdicts[r]->stand_in != nullptr) {
                    notes.rule_reason[r] = notes.note(verdicts[r]->own_reason);
                    notes.stand_in[r] = true;
                }
            }
            if (!verdicts[r]->candidate) {
                per_rule.push_back(r);  // members are ascending
            } else {
                candidates.push_back(r);
            }
        }
        if (candidates.empty()) continue;

        member_key.assign(own.begin(), own.end());
        if (const auto same = built.find(member_key); same != built.end()) {
            slots[m] = same->second;
            continue;
        }
        if (const auto same = refused.find(member_key); same != refused.end()) {
            notes.mode_reason[m] = same->second;
            continue;
        }
        // The automaton with the ASCII stand-ins first, then with the literals on a trie;
        // should those pass the state budget, the same again with the stand-ins' rules back
        // on the per-rule path, before giving up.
        std::shared_ptr<const mode_dfa> made;
        std::string failure;
        const bool any_stand_in =
            std::any_of(candidates.begin(), candidates.end(), [&](std::uint32_t r) { return notes.stand_in[r]; });
        for (const bool with_stand_ins : {true, false}) {
            if (!with_stand_ins && !any_stand_in) break;
            for (const bool with_trie : {false, true}) {
                std::vector<std::uint32_t> dfa_rules, mode_per_rule = per_rule, literal_rules;
                for (std::uint32_t r : candidates) {
                    if (!with_stand_ins && notes.stand_in[r]) {
                        mode_per_rule.insert(std::lower_bound(mode_per_rule.begin(), mode_per_rule.end(), r), r);
                    } else {
                        dfa_rules.push_back(r);
                    }
                }
                std::shared_ptr<const kestrel::literal_trie> trie;
                if (with_trie && !split_literals(rules, dfa_rules, literal_rules, trie)) continue;
                if (dfa_rules.empty() && !trie) continue;
                pattern_list key;
                std::vector<const kestrel::program*> programs;
                for (std::uint32_t r : dfa_rules) {
                    const rule_verdict& v = *verdicts[r];
                    key.first.emplace_back(rules[r].regex.pattern());
                    key.second.push_back(v.stand_in != nullptr);
                    programs.push_back(v.stand_in != nullptr ? v.stand_in.get() : &rules[r].regex.prog());
                }
                std::shared_ptr<const kestrel::dfa> automaton;
                if (!dfa_rules.empty()) {
                    std::shared_ptr<const kestrel::dfa>& cached = automata[key];
                    if (!cached) {
                        try {
                            cached = std::make_shared<const kestrel::dfa>(programs, key.second);
                        } catch (const kestrel::dfa_error& e) {
                            automata.erase(key);
                            failure = e.what();
                            continue;
                        }
                    }
                    automaton = cached;
                }
                const std::optional<std::uint32_t> empty_rule = first_empty_rule(rules, dfa_rules);
                const kestrel::byte_set per_rule_bytes = opening_bytes_of(rules, mode_per_rule);
                const bool any_per_rule = !mode_per_rule.empty();
                std::vector<dfa_rule_action> dfa_actions;
                for (std::uint32_t r : dfa_rules) dfa_actions.push_back(action_of(rules[r]));
                made = std::make_shared<const mode_dfa>(mode_dfa{.automaton = std::move(automaton),
                                                                 .literals = std::move(trie),
                                                                 .literal_rules = std::move(literal_rules),
                                                                 .dfa_rules = std::move(dfa_rules),
                                                                 .dfa_actions = std::move(dfa_actions),
                                                                 .per_rule = std::move(mode_per_rule),
                                                                 .any_per_rule = any_per_rule,
                                                                 .has_empty_rule = empty_rule.has_value(),
                                                                 .empty_rule = empty_rule.value_or(0),
                                                                 .per_rule_bytes = per_rule_bytes});
                break;
            }
            if (made) break;
        }
        if (!made) {
            const std::uint32_t why = notes.note(failure);
            refused.emplace(member_key, why);
            notes.mode_reason[m] = why;
            continue;
        }
        built.emplace(member_key, made);
        slots[m] = std::move(made);
    }
}

dfa_rule_action action_of(const rule& r) noexcept {
    dfa_rule_action a;
    a.kind = r.kind;
    a.skip = r.skip ? 1 : 0;
    if (r.action) {
        a.target = r.action->target_index;
        switch (r.action->kind) {
            case transition_kind::push: a.action = dfa_rule_action::push; break;
            case transition_kind::pop: a.action = dfa_rule_action::pop; break;
            case transition_kind::set: a.action = dfa_rule_action::set; break;
        }
    }
    return a;
}

namespace {

// The mode's answer from the automaton's (null when the mode has none): joined with the
// trie's literal, then the empty rule when nothing else matched.
dfa_answer mode_answer(const mode_dfa& md, const kestrel::dfa_match_result* r, std::uint32_t offset,
                       const std::uint8_t* subject, std::uint32_t length) {
    dfa_answer a;
    if (r != nullptr) {
        a.open_end = r->open_end;
        a.reach = r->reach;
        a.escaped = r->escaped;
        a.scanned = r->scanned;
        if (r->escaped) return a;
        if (r->matched) {
            a.found = true;
            a.rule = md.dfa_rules[static_cast<std::size_t>(r->rule)];
            a.length = r->length;
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

}  // namespace

dfa_answer match_mode_dfa(const mode_dfa& md, std::uint32_t offset, const std::uint8_t* subject,
                          std::uint32_t length, kestrel::dfa_memo& memo) {
    if (!md.automaton) return mode_answer(md, nullptr, offset, subject, length);
    const kestrel::dfa_match_result r = md.automaton->match(offset, memo, subject, length);
    return mode_answer(md, &r, offset, subject, length);
}

dfa_answer continue_mode_dfa(const mode_dfa& md, kestrel::dfa_scan& scan, const std::uint8_t* subject,
                             std::uint32_t length) {
    if (!md.automaton) return mode_answer(md, nullptr, scan.start, subject, length);
    const kestrel::dfa_match_result r = md.automaton->continue_scan(scan, subject, length);
    return mode_answer(md, &r, scan.start, subject, length);
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
            if (p.on_dfa) {
                out += p.reason.empty() ? "dfa" : "dfa (" + p.reason + ")";
            } else {
                out += "per-rule (" + p.reason + ")";
            }
            out += "\n";
        }
    }
    return out;
}

}  // namespace tessel
