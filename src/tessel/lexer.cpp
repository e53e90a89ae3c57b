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
// How the lists are stored: 257 separate lists per mode would cost several KiB per mode even
// when a mode holds one rule, so a grammar of many small modes would take thousands of times
// its own size.  Instead the bytes of a mode are split into classes of equal lists (class 0
// being the empty list), and a table is three flat arrays: 256 class numbers per byte, a start
// offset per class into one pool of rule indices, and list 256 as a stretch of the same pool.
// Class maps are shared between modes whose bytes split the same way, and a mode whose whole
// table equals an earlier mode's shares that table, so a mode with a few rules costs a few
// dozen bytes.  A lookup is two more dependent loads than a plain array of lists: the class
// of the byte, then the class's start.  Tables are built one mode at a time in scratch space,
// so compilation never holds the wide form of more than one mode.
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
#include <array>
#include <stdexcept>

#include "kestrel/program.h"
#include "tessel/mode_dfa.h"

namespace tessel {

namespace {

// The dispatch lists of all modes together are indexed by 32-bit offsets.
constexpr std::size_t max_dispatch_entries = UINT32_MAX;

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
    // Modes, numbered by first mention.  The names are looked up in a map of views into the
    // rules while numbering, then kept once.
    std::unordered_map<std::string_view, std::uint32_t> numbered;
    auto intern = [&](std::string_view name) {
        if (numbered.emplace(name, static_cast<std::uint32_t>(name_ends_.size())).second) {
            name_chars_.append(name);
            name_ends_.push_back(name_chars_.size());
        }
    };
    intern("default");
    for (const rule& r : rules_) {
        for (const std::string& name : r.in_mode) intern(name);
        if (r.action && r.action->kind != transition_kind::pop) intern(r.action->target);
    }
    numbered = {};
    name_chars_.shrink_to_fit();
    name_ends_.shrink_to_fit();
    names_sorted_.resize(name_ends_.size());
    for (std::uint32_t m = 0; m < names_sorted_.size(); ++m) names_sorted_[m] = m;
    std::sort(names_sorted_.begin(), names_sorted_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return mode_name(a) < mode_name(b); });
    const std::size_t modes = mode_count();

    const mode_members mode_rules = members();
    build_dispatch(mode_rules);

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
        const table_entry& e = tables_[mode_table_[m]];
        return e.opening.count() == 0 && e.unknown_begin == e.unknown_end;
    };
    for (const rule& r : rules_) {
        if (!r.action) continue;
        if (r.pattern.empty()) {
            throw std::invalid_argument("a transition rule must consume input (empty pattern)");
        }
        if (r.action->kind != transition_kind::pop && mode_is_empty(*mode_index(r.action->target))) {
            throw std::invalid_argument("a transition targets the empty mode '" + shown_mode_name(r.action->target) +
                                        "' (no rule is active in it)");
        }
    }
    for (rule& r : rules_) {
        if (r.action && r.action->kind != transition_kind::pop) {
            r.action->target_index = *mode_index(r.action->target);
        }
    }

    significant_.assign(modes, true);
    for (const std::string& name : options.insignificant_modes) {
        const std::optional<std::uint32_t> m = mode_index(name);
        if (!m) throw std::invalid_argument("insignificant_modes names an unknown mode: " + shown_mode_name(name));
        significant_[*m] = false;
    }

    // The DFA fast path (mode_dfa.cpp); it checks the dfa_modes names whatever `dfa` says.
    build_mode_dfas(*this, mode_rules, options, mode_dfas_, notes_);

    for (const rule& r : rules_) context_bytes_ = std::max(context_bytes_, context_of(r.regex.prog()));
}

mode_members lexer::members() const {
    const std::size_t modes = mode_count();
    // Two passes over the rules: count each mode's rules, then place them.
    mode_members out;
    out.start.assign(modes + 1, 0);
    std::vector<std::uint32_t> member;
    auto modes_of = [&](const rule& r) {
        member.clear();
        if (r.in_mode.empty()) member.push_back(0);
        for (const std::string& name : r.in_mode) member.push_back(*mode_index(name));
        std::sort(member.begin(), member.end());
        member.erase(std::unique(member.begin(), member.end()), member.end());
    };
    for (const rule& r : rules_) {
        modes_of(r);
        for (std::uint32_t m : member) ++out.start[m + 1];
    }
    for (std::size_t m = 0; m < modes; ++m) out.start[m + 1] += out.start[m];
    out.rules.resize(out.start[modes]);
    std::vector<std::uint32_t> next(out.start.begin(), out.start.end() - 1);
    for (std::uint32_t i = 0; i < rules_.size(); ++i) {
        modes_of(rules_[i]);
        for (std::uint32_t m : member) out.rules[next[m]++] = i;
    }
    return out;
}

void lexer::build_dispatch(const mode_members& members) {
    const std::size_t modes = mode_count();

    // Scratch for one mode at a time: its 256 lists, the bytes whose list is not empty, and
    // list 256.
    std::array<std::vector<std::uint32_t>, 256> lists;
    std::vector<std::uint8_t> touched;
    std::vector<std::uint32_t> unknown;
    std::vector<const std::vector<std::uint32_t>*> distinct;
    std::unordered_map<std::string, std::uint32_t> class_map_ids, table_ids;
    std::string key;
    auto append_word = [&key](std::uint32_t w) { key.append(reinterpret_cast<const char*>(&w), sizeof w); };
    auto append_list = [&](const std::vector<std::uint32_t>& l) {
        append_word(static_cast<std::uint32_t>(l.size()));
        for (std::uint32_t r : l) append_word(r);
    };

    mode_table_.resize(modes);
    for (std::size_t m = 0; m < modes; ++m) {
        for (std::uint8_t b : touched) lists[b].clear();
        touched.clear();
        unknown.clear();
        table_entry entry;
        auto add = [&](std::uint8_t b, std::uint32_t r) {
            if (lists[b].empty()) touched.push_back(b);
            lists[b].push_back(r);
            entry.opening.set(b);
        };
        for (std::uint32_t r : members.of(m)) {
            const kestrel::analysis& facts = rules_[r].regex.prog().facts;
            if (!facts.first_bytes_known) {
                unknown.push_back(r);
            } else if (facts.single_first_byte >= 0) {
                add(static_cast<std::uint8_t>(facts.single_first_byte), r);
            } else {
                for (unsigned b = 0; b < 256; ++b) {
                    if (facts.first_bytes.test(static_cast<std::uint8_t>(b))) add(static_cast<std::uint8_t>(b), r);
                }
            }
        }

        // Class 0 is the empty list; equal lists share a class, numbered by first byte.
        std::sort(touched.begin(), touched.end());
        std::array<std::uint16_t, 256> classes{};
        distinct.clear();
        for (std::uint8_t b : touched) {
            std::size_t c = 0;
            while (c < distinct.size() && *distinct[c] != lists[b]) ++c;
            if (c == distinct.size()) distinct.push_back(&lists[b]);
            classes[b] = static_cast<std::uint16_t>(c + 1);
        }
        key.assign(reinterpret_cast<const char*>(classes.data()), sizeof classes);
        const auto [cls, new_map] =
            class_map_ids.try_emplace(key, static_cast<std::uint32_t>(class_maps_.size()));
        if (new_map) class_maps_.insert(class_maps_.end(), classes.begin(), classes.end());
        entry.classes = cls->second;

        // A mode whose table equals an earlier one's shares it.
        key.clear();
        append_word(entry.classes);
        for (const auto* l : distinct) append_list(*l);
        append_list(unknown);
        const auto [table, new_table] = table_ids.try_emplace(key, static_cast<std::uint32_t>(tables_.size()));
        mode_table_[m] = table->second;
        if (!new_table) continue;

        std::size_t pool = list_pool_.size();
        for (const auto* l : distinct) pool += l->size();
        if (pool + unknown.size() > max_dispatch_entries) {
            throw std::invalid_argument("the rules make dispatch tables too large to index (more than " +
                                        std::to_string(max_dispatch_entries) + " entries)");
        }
        entry.starts = static_cast<std::uint32_t>(list_starts_.size());
        list_starts_.push_back(static_cast<std::uint32_t>(list_pool_.size()));  // class 0, empty
        list_starts_.push_back(static_cast<std::uint32_t>(list_pool_.size()));
        for (const auto* l : distinct) {
            list_pool_.insert(list_pool_.end(), l->begin(), l->end());
            list_starts_.push_back(static_cast<std::uint32_t>(list_pool_.size()));
        }
        entry.unknown_begin = static_cast<std::uint32_t>(list_pool_.size());
        list_pool_.insert(list_pool_.end(), unknown.begin(), unknown.end());
        entry.unknown_end = static_cast<std::uint32_t>(list_pool_.size());
        tables_.push_back(entry);
    }
    class_maps_.shrink_to_fit();
    list_starts_.shrink_to_fit();
    list_pool_.shrink_to_fit();
    tables_.shrink_to_fit();
}

dispatch_table lexer::dispatch(std::uint32_t mode) const {
    const table_entry& e = tables_[mode_table_.at(mode)];
    dispatch_table t;
    t.classes_ = class_maps_.data() + e.classes;
    t.starts_ = list_starts_.data() + e.starts;
    t.pool_ = list_pool_.data();
    t.unknown_ = dispatch_table::list(list_pool_.data() + e.unknown_begin, list_pool_.data() + e.unknown_end);
    t.opening_ = &e.opening;
    return t;
}

std::size_t lexer::dispatch_bytes() const noexcept {
    return class_maps_.size() * sizeof(std::uint16_t) + list_starts_.size() * sizeof(std::uint32_t) +
           list_pool_.size() * sizeof(std::uint32_t) + tables_.size() * sizeof(table_entry) +
           mode_table_.size() * sizeof(std::uint32_t);
}

std::uint32_t placement_notes::note(const std::string& text) {
    for (std::uint32_t i = 1; i < texts.size(); ++i) {
        if (texts[i] == text) return i;
    }
    texts.push_back(text);
    return static_cast<std::uint32_t>(texts.size() - 1);
}

std::vector<mode_placement> lexer::placements() const {
    const mode_members mm = members();
    std::vector<mode_placement> out(mode_count());
    for (std::uint32_t m = 0; m < out.size(); ++m) {
        out[m].mode = m;
        const mode_dfa* md = automaton(m);
        const std::uint32_t why_mode = notes_.mode_reason[m];
        for (const std::uint32_t r : mm.of(m)) {
            rule_placement p{r, false, {}};
            const std::string& own = notes_.texts[notes_.rule_reason[r]];
            if (why_mode == placement_notes::not_requested) {
                p.reason = notes_.texts[why_mode];
            } else if (md != nullptr && std::binary_search(md->dfa_rules.begin(), md->dfa_rules.end(), r)) {
                p.on_dfa = true;
                if (notes_.stand_in[r]) p.reason = std::string(ascii_only_reason) + " (" + own + ")";
            } else if (md != nullptr && md->on_literal_trie(r)) {
                p.reason = "a literal, on the mode's literal trie (an automaton of all the mode's rules passed its "
                           "state budget)";
            } else if (notes_.rule_reason[r] != 0) {
                p.reason = own;
            } else {
                p.reason = notes_.texts[why_mode];  // the mode's build was refused
            }
            out[m].rules.push_back(std::move(p));
        }
    }
    return out;
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
    const auto it = std::lower_bound(names_sorted_.begin(), names_sorted_.end(), name,
                                     [this](std::uint32_t m, std::string_view n) { return mode_name(m) < n; });
    if (it == names_sorted_.end() || mode_name(*it) != name) return std::nullopt;
    return *it;
}

std::string_view lexer::mode_name(std::uint32_t mode) const {
    if (mode >= name_ends_.size()) throw std::out_of_range("no mode numbered " + std::to_string(mode));
    const std::size_t begin = mode == 0 ? 0 : name_ends_[mode - 1];
    return std::string_view(name_chars_).substr(begin, name_ends_[mode] - begin);
}

std::vector<std::string> lexer::dfa_modes_active() const {
    std::vector<std::string> active;
    for (std::size_t m = 0; m < mode_dfas_.size(); ++m) {
        if (mode_dfas_[m]) active.emplace_back(mode_name(static_cast<std::uint32_t>(m)));
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
