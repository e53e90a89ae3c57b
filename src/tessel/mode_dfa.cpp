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
// immutable and shared by reference count; each run keeps its own memos (dfa_memos), one per
// mode and subject.
//
// Tests: tests/cpp/test_mode_dfa.cpp, tests/python/test_dfa.py and the property tests.
#include "tessel/mode_dfa.h"

#include <map>

#include <algorithm>
#include <optional>
#include <stdexcept>

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

}  // namespace

void build_mode_dfas(const std::vector<rule>& rules, const std::vector<std::string>& mode_names,
                     const std::unordered_map<std::string, std::uint32_t>& mode_map,
                     const lexer_options& options, std::vector<std::shared_ptr<const mode_dfa>>& slots,
                     std::vector<mode_placement>& placements) {
    const std::size_t modes = mode_names.size();
    std::vector<bool> chosen(modes, options.dfa == dfa_choice::automatic);
    for (const std::string& name : options.dfa_modes) {
        auto it = mode_map.find(name);
        if (it == mode_map.end()) {
            throw std::invalid_argument("dfa_modes names an unknown mode: " + shown_mode_name(name));
        }
        chosen[it->second] = true;
    }

    // The rules of each mode, ascending; a rule that names a mode twice belongs to it once.
    std::vector<std::vector<std::uint32_t>> members(modes);
    for (std::uint32_t i = 0; i < rules.size(); ++i) {
        if (rules[i].in_mode.empty()) {
            members[0].push_back(i);
            continue;
        }
        for (const std::string& name : rules[i].in_mode) {
            std::vector<std::uint32_t>& list = members[mode_map.at(name)];
            if (list.empty() || list.back() != i) list.push_back(i);
        }
    }

    std::vector<std::optional<rule_verdict>> verdicts(rules.size());
    // Modes with the same rules get the same automaton, built once: a grammar that names one
    // rule in thousands of modes holds one DFA, not thousands.  A failed build is remembered
    // the same way.
    std::map<std::vector<std::uint32_t>, std::pair<std::shared_ptr<const mode_dfa>, std::vector<rule_placement>>> built;
    std::map<std::vector<std::uint32_t>, std::string> refused;
    slots.assign(modes, nullptr);
    placements.assign(modes, mode_placement{});
    for (std::uint32_t m = 0; m < modes; ++m) {
        mode_placement& place = placements[m];
        place.mode = m;
        if (!chosen[m]) {
            for (std::uint32_t r : members[m]) {
                place.rules.push_back({r, false, "mode not named in dfa_modes (dfa='requested')"});
            }
            continue;
        }
        std::vector<std::uint32_t> dfa_rules;
        std::vector<std::uint32_t> per_rule;
        bool any_per_rule = false;
        std::optional<std::uint32_t> empty_rule;
        for (std::uint32_t r : members[m]) {
            if (!verdicts[r]) verdicts[r] = judge(rules[r]);
            if (!verdicts[r]->candidate) {
                per_rule.push_back(r);  // members[m] is ascending
                any_per_rule = true;
                place.rules.push_back({r, false, verdicts[r]->reason});
                continue;
            }
            dfa_rules.push_back(r);
            place.rules.push_back({r, true, verdicts[r]->reason});
            if (!empty_rule && rules[r].regex.match(0, std::string_view()).matched) empty_rule = r;
        }
        if (dfa_rules.empty()) continue;

        auto mark_refused = [&place](const std::string& why) {
            for (rule_placement& p : place.rules) {
                if (p.on_dfa) {
                    p.on_dfa = false;
                    p.reason = why;
                }
            }
        };
        if (const auto same = built.find(members[m]); same != built.end()) {
            slots[m] = same->second.first;
            place.rules = same->second.second;
            continue;
        }
        if (const auto same = refused.find(members[m]); same != refused.end()) {
            mark_refused(same->second);
            continue;
        }
        // An automaton with the ASCII stand-ins first; should that one pass the state budget,
        // one without them (those rules back on the per-rule path), before giving up.
        for (bool with_stand_ins : {true, false}) {
            std::vector<const kestrel::program*> programs;
            std::vector<bool> escapes;
            for (std::uint32_t r : dfa_rules) {
                const rule_verdict& v = *verdicts[r];
                programs.push_back(v.stand_in != nullptr ? v.stand_in.get() : &rules[r].regex.prog());
                escapes.push_back(v.stand_in != nullptr);
            }
            try {
                const kestrel::byte_set per_rule_bytes = opening_bytes_of(rules, per_rule);
                auto md = std::make_shared<const mode_dfa>(
                    mode_dfa{kestrel::dfa(programs, escapes), std::move(dfa_rules), std::move(per_rule), any_per_rule,
                             empty_rule.has_value(), empty_rule.value_or(0), per_rule_bytes});
                built.emplace(members[m], std::make_pair(md, place.rules));
                slots[m] = std::move(md);
                break;
            } catch (const kestrel::dfa_error& e) {
                const bool retry = with_stand_ins && std::find(escapes.begin(), escapes.end(), true) != escapes.end();
                if (!retry) {
                    refused.emplace(members[m], e.what());
                    mark_refused(e.what());
                    break;
                }
                std::vector<std::uint32_t> kept;
                for (std::uint32_t r : dfa_rules) {
                    if (verdicts[r]->stand_in == nullptr) {
                        kept.push_back(r);
                        continue;
                    }
                    per_rule.insert(std::lower_bound(per_rule.begin(), per_rule.end(), r), r);
                    any_per_rule = true;
                    for (rule_placement& p : place.rules) {
                        if (p.rule == r) p = {r, false, verdicts[r]->own_reason};
                    }
                }
                dfa_rules.swap(kept);
                if (dfa_rules.empty()) break;
                empty_rule.reset();
                for (std::uint32_t r : dfa_rules) {
                    if (rules[r].regex.match(0, std::string_view()).matched) {
                        empty_rule = r;
                        break;
                    }
                }
            }
        }
    }
}

dfa_answer match_mode_dfa(const mode_dfa& md, std::uint32_t offset, const std::uint8_t* subject,
                          std::uint32_t length, kestrel::dfa_memo& memo) {
    const kestrel::dfa_match_result r = md.automaton.match(offset, memo, subject, length);
    dfa_answer a;
    a.open_end = r.open_end;
    a.escaped = r.escaped;
    if (r.escaped) return a;
    if (r.matched) {
        a.found = true;
        a.rule = md.dfa_rules[static_cast<std::size_t>(r.rule)];
        a.length = r.length;
    } else if (md.has_empty_rule) {
        a.found = true;
        a.rule = md.empty_rule;
        a.length = 0;
    }
    return a;
}

std::size_t dfa_memos::memory_bytes() const noexcept {
    std::size_t n = 0;
    for (const auto& [mode, memo] : memos_) n += memo.memory_bytes();
    return n;
}

std::string describe_modes(const lexer& lx) {
    std::string out;
    for (const mode_placement& place : lx.placements()) {
        const mode_dfa* md = lx.automaton(place.mode);
        out += "mode '" + shown_mode_name(lx.mode_name(place.mode)) + "': ";
        if (md != nullptr) {
            out += "DFA of " + std::to_string(md->automaton.state_count()) + " states, " +
                   std::to_string(md->automaton.class_count()) + " classes\n";
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
