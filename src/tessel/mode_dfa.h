// The per-mode DFA fast path: one automaton per mode over the rules whose longest match it
// can compute exactly, combined with the per-rule path for the others.  See mode_dfa.cpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kestrel/dfa.h"
#include "kestrel/literal_trie.h"
#include "kestrel/match_context.h"
#include "tessel/lexer.h"

namespace tessel {

// What the eager loop needs of one automaton rule to make its token, packed in 12 bytes so
// that the rules of a mode share a cache line or two, where the full rule (pattern text,
// regex, transition name) spans hundreds of bytes.
struct dfa_rule_action {
    enum : std::uint8_t { none = 0, push = 1, pop = 2, set = 3 };
    std::int32_t kind = 0;
    std::uint32_t target = 0;  // the target mode of a push or set
    std::uint8_t skip = 0;     // 1: the rule makes no token
    std::uint8_t action = none;
};

// The packed entry of a rule.
dfa_rule_action action_of(const rule& r) noexcept;

struct mode_dfa {
    // DFA rule r is dfa_rules[r].  Shared by the modes whose automaton rules have the same
    // patterns in the same order, whatever their rule indices.
    std::shared_ptr<const kestrel::dfa> automaton;  // null when the trie holds every rule
    // Where the automaton of all the candidates passed its state budget, the literal ones
    // (keywords) go to a trie instead, and the automaton holds the rest: trie literal i is
    // lexer rule literal_rules[i], ascending.
    std::shared_ptr<const kestrel::literal_trie> literals;
    std::vector<std::uint32_t> literal_rules;
    std::vector<std::uint32_t> dfa_rules;  // lexer rule indices, ascending
    std::vector<dfa_rule_action> dfa_actions;  // action_of each rule of dfa_rules, in that order
    // The mode's rules that run per rule, ascending.  A list of the mode's own rules rather
    // than a bit set over all the lexer's rules: a grammar of many modes would otherwise hold
    // modes x rules bits.
    std::vector<std::uint32_t> per_rule;
    bool any_per_rule = false;
    bool has_empty_rule = false;
    std::uint32_t empty_rule = 0;          // first DFA rule that matches the empty string
    // The bytes at which some per-rule rule may begin a match (every byte when one of them has
    // no known first byte): the same rules the mode's dispatch lists name for that byte.  At
    // any other byte the per-rule path has no candidate, so the automaton's answer is the
    // whole answer.
    kestrel::byte_set per_rule_bytes;

    // Whether the per-rule path has a candidate at a position whose byte is b.
    bool needs_per_rule(std::uint8_t b) const noexcept { return per_rule_bytes.test(b); }

    bool on_literal_trie(std::uint32_t rule) const noexcept {
        return std::binary_search(literal_rules.begin(), literal_rules.end(), rule);
    }

    bool on_per_rule_path(std::uint32_t rule) const noexcept {
        if (per_rule.size() <= 8) {
            for (const std::uint32_t r : per_rule)
                if (r == rule) return true;
            return false;
        }
        return std::binary_search(per_rule.begin(), per_rule.end(), rule);
    }
};

// The DFA's part of the longest match in a mode at one offset.  When `escaped`, the
// automaton could not answer (a non-ASCII byte inside an escaping rule's match): the offset
// is left to the per-rule path over all the mode's rules, and the other fields say nothing.
struct dfa_answer {
    bool found = false;
    std::uint32_t rule = 0;
    std::uint32_t length = 0;
    bool open_end = false;
    std::uint32_t reach = 0;  // the furthest offset the automaton read (kestrel::dfa_match_result)
    bool escaped = false;
    std::uint32_t scanned = 0;  // the bytes the automaton's scan read
};

// The placement reason of a rule that runs on its mode's automaton through an ASCII stand-in,
// followed in parentheses by why the rule itself could not.
inline constexpr const char* ascii_only_reason =
    "on the DFA for ASCII text, per rule past a non-ASCII byte";

dfa_answer match_mode_dfa(const mode_dfa& md, std::uint32_t offset, const std::uint8_t* subject,
                          std::uint32_t length, kestrel::dfa_memo& memo);
// The same answer from a resumable scan (kestrel::dfa::begin_scan at the offset), reading on
// from where the scan stopped: what a stream asks again as its buffer grows.  The trie's
// literals are short and are matched afresh.
dfa_answer continue_mode_dfa(const mode_dfa& md, kestrel::dfa_scan& scan, const std::uint8_t* subject,
                             std::uint32_t length);

// What one run over one subject keeps between its match calls: one DFA memo per mode, made
// when a mode first asks for it, and the engine's match scratch (the Pike VM's thread lists
// and slot pool, and the failure memos of the subject), made on the first per-rule match and
// reused by every later one, whatever the rule.  Only the modes a run visits hold a memo, so
// making this costs nothing however many modes the lexer has; the mode asked last is remembered, since consecutive tokens
// mostly share a mode.  A copy copies the memos and starts with scratch of its own.
class dfa_memos {
public:
    dfa_memos() = default;
    dfa_memos(std::size_t /*modes*/, std::uint32_t subject_length) : length_(subject_length) {}
    dfa_memos(const dfa_memos& other) : length_(other.length_), memos_(other.memos_) {}
    dfa_memos& operator=(const dfa_memos& other) {
        if (this != &other) {
            length_ = other.length_;
            memos_ = other.memos_;
            last_ = nullptr;
            scratch_.reset();
        }
        return *this;
    }

    // The scratch, bound on first use to the run's subject so that the engine's failure memos
    // work across the run's match calls (the subject does not change while the run lasts).
    kestrel::match_scratch& scratch(const std::uint8_t* subject, std::uint32_t length) {
        if (!scratch_) {
            scratch_ = std::make_unique<kestrel::match_scratch>();
            scratch_->failures().bind(subject, length);
        }
        return *scratch_;
    }
    dfa_memos(dfa_memos&& other) noexcept = default;
    dfa_memos& operator=(dfa_memos&& other) noexcept = default;

    kestrel::dfa_memo& of(std::uint32_t mode) {
        if (last_ != nullptr && last_mode_ == mode) return *last_;
        auto it = memos_.find(mode);
        if (it == memos_.end()) it = memos_.emplace(mode, kestrel::dfa_memo(length_)).first;
        last_mode_ = mode;
        last_ = &it->second;  // elements of an unordered_map never move
        return *last_;
    }
    // Bytes held by all the memos' recorded position sets, the failure memos' included.
    std::size_t memory_bytes() const noexcept;
    // The work of the run's per-rule matches (the engine's count of steps), for the tests
    // that prove whole runs linear.
    std::uint64_t match_work() const noexcept { return scratch_ ? scratch_->work : 0; }

private:
    std::uint32_t length_ = 0;
    std::unordered_map<std::uint32_t, kestrel::dfa_memo> memos_;
    std::uint32_t last_mode_ = 0;
    kestrel::dfa_memo* last_ = nullptr;
    std::unique_ptr<kestrel::match_scratch> scratch_;
};

// The build step of lexer compilation.  Throws std::invalid_argument "dfa_modes names an
// unknown mode: <name>" (whatever `dfa` says); absorbs only kestrel::dfa_error.  Fills one
// slot per mode (null where no automaton was built) and the notes from which the placement
// of every rule is told.
void build_mode_dfas(const lexer& lx, const mode_members& members, const lexer_options& options,
                     std::vector<std::shared_ptr<const mode_dfa>>& slots, placement_notes& notes);

// A readable summary for a grammar author: per mode, which rules run on the DFA and which
// stay per rule, and why.
std::string describe_modes(const lexer& lx);

}  // namespace tessel
