// Rules, modes and the compiled lexer.
//
// A lexer is described by an ordered list of rules: the token kind a pattern produces, whether
// a match is skipped, the modes the rule is active in, and an optional mode change (push, pop,
// set).  Compilation numbers the modes ("default" is 0, the others in order of first mention),
// builds per mode a dispatch table of the rules that can begin with each byte, checks kinds and
// transitions, and works out how much text before a position any rule may look at.  The result
// is immutable: scans and streams on many threads may share one lexer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrel/byte_set.h"
#include "kestrel/regex.h"
#include "tessel/token.h"

namespace tessel {

enum class error_policy : std::uint8_t { raise = 0, token = 1 };
enum class column_unit : std::uint8_t { bytes = 0, codepoints = 1, utf16 = 2 };
enum class dfa_choice : std::uint8_t { automatic = 0, requested = 1 };
enum class transition_kind : std::uint8_t { push = 0, pop = 1, set = 2 };

struct transition {
    transition_kind kind = transition_kind::push;
    std::string target;              // empty and unused for pop
    std::uint32_t target_index = 0;  // filled in by compilation
};

struct rule {
    std::int32_t kind = 0;
    std::string pattern;   // the pattern text as given
    kestrel::regex regex;  // compiled by the caller (text mode, no flags)
    bool skip = false;
    std::vector<std::string> in_mode;  // empty: the default mode only
    std::optional<transition> action;
};

struct lexer_options {
    error_policy errors = error_policy::raise;
    column_unit columns = column_unit::bytes;
    std::vector<std::string> dfa_modes;
    dfa_choice dfa = dfa_choice::automatic;
    std::vector<std::string> insignificant_modes;
};

// List b (0-255) of a mode: its rules whose match can begin with byte b; list 256: its rules
// with no known first byte.  Each list in ascending rule order.
inline constexpr std::size_t no_first_byte_list = 256;

// A read-only view of one mode's 257 lists, stored compactly by the lexer (see lexer.cpp):
// each byte value maps to a list class, each class to a stretch of a shared pool of rule
// indices.  Valid as long as the lexer.
class dispatch_table {
public:
    using list = std::span<const std::uint32_t>;

    list operator[](std::size_t b) const noexcept {
        if (b == no_first_byte_list) return unknown_;
        const std::uint32_t* s = starts_ + classes_[b];
        return list(pool_ + s[0], pool_ + s[1]);
    }
    // The bytes whose list is not empty.
    const kestrel::byte_set& opening() const noexcept { return *opening_; }

private:
    friend class lexer;
    const std::uint16_t* classes_ = nullptr;  // 256 entries: the list class of each byte
    const std::uint32_t* starts_ = nullptr;   // class c: pool_[starts_[c], starts_[c + 1])
    const std::uint32_t* pool_ = nullptr;
    list unknown_;
    const kestrel::byte_set* opening_ = nullptr;
};

// A mode's automaton for the DFA fast path (mode_dfa.h); a mode without one runs every rule
// on the per-rule path.
struct mode_dfa;

// Where one rule of a mode runs, and why it is not on the automaton.
struct rule_placement {
    std::uint32_t rule = 0;
    bool on_dfa = false;
    std::string reason;  // empty for a rule on the automaton
};

// The placement of every rule of one mode, in rule order.
struct mode_placement {
    std::uint32_t mode = 0;
    std::vector<rule_placement> rules;
};

// The rules of every mode, ascending, in one flat pool: mode m's are rules[start[m],
// start[m + 1]).  A rule naming a mode twice is in it once.
struct mode_members {
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> rules;
    std::span<const std::uint32_t> of(std::size_t mode) const noexcept {
        return {rules.data() + start[mode], rules.data() + start[mode + 1]};
    }
};

// What the DFA build found, kept compactly so that a grammar of many modes does not hold a
// record per rule and mode: reasons are interned texts, numbered from 1 (0: none).
struct placement_notes {
    // The reason given to every rule of a mode that dfa = requested leaves out.
    static constexpr std::uint32_t not_requested = 1;
    std::vector<std::string> texts{std::string(), "mode not named in dfa_modes (dfa='requested')"};
    // Per rule: why it cannot join an automaton as itself (0: it can, or it was never judged).
    std::vector<std::uint32_t> rule_reason;
    // Per rule: it joins through an ASCII stand-in (then rule_reason says why the rule itself
    // cannot, and it runs per rule in a mode whose automaton had to be built without it).
    std::vector<bool> stand_in;
    // Per mode: not_requested, or why the rules that could join its automaton are not on
    // one (the build passed its budget), or 0.
    std::vector<std::uint32_t> mode_reason;

    std::uint32_t note(const std::string& text);
};

class lexer {
public:
    // Compiles; throws std::invalid_argument with the message of the first failed check.
    lexer(std::vector<rule> rules, lexer_options options);

    const std::vector<rule>& rules() const noexcept { return rules_; }
    error_policy errors() const noexcept { return errors_; }
    column_unit columns() const noexcept { return columns_; }
    std::uint32_t context_bytes() const noexcept { return context_bytes_; }

    std::size_t mode_count() const noexcept { return name_ends_.size(); }
    // Throws std::out_of_range for a mode number past the last.
    std::string_view mode_name(std::uint32_t mode) const;
    std::optional<std::uint32_t> mode_index(std::string_view name) const;
    dispatch_table dispatch(std::uint32_t mode) const;
    // The bytes that all dispatch tables take together (for tests and measurements).
    std::size_t dispatch_bytes() const noexcept;
    bool significant(std::uint32_t mode) const { return significant_.at(mode); }
    // The bytes whose list in the mode's dispatch table is not empty: the error run skips
    // every other byte without running a matcher when list 256 is empty too.
    const kestrel::byte_set& opening_bytes(std::uint32_t mode) const { return tables_[mode_table_.at(mode)].opening; }
    // The mode's automaton, or null.
    const mode_dfa* automaton(std::uint32_t mode) const { return mode_dfas_[mode].get(); }
    // Why each rule of each mode runs where it does, in mode order (worked out on each call).
    std::vector<mode_placement> placements() const;

    // The modes that run on a DFA fast path, in mode order.
    std::vector<std::string> dfa_modes_active() const;
    // The rules of a mode that run on the per-rule path, ascending; throws
    // std::invalid_argument "pike_rules names an unknown mode: <name>".
    std::vector<std::int32_t> pike_rules(std::string_view mode) const;

private:
    std::vector<rule> rules_;
    error_policy errors_;
    column_unit columns_;
    // Mode names, each held once: their characters one after another (mode m's end at
    // name_ends_[m]), and the mode numbers sorted by name for lookups.  A grammar of many
    // small modes would otherwise spend most of its memory on copies of their names.
    std::string name_chars_;
    std::vector<std::size_t> name_ends_;
    std::vector<std::uint32_t> names_sorted_;
    // The dispatch tables, deduplicated by content (see lexer.cpp).
    struct table_entry {
        std::uint32_t classes = 0;  // offset of its 256 classes in class_maps_
        std::uint32_t starts = 0;   // offset of its class starts in list_starts_
        std::uint32_t unknown_begin = 0, unknown_end = 0;  // list 256 in list_pool_
        kestrel::byte_set opening;
    };
    mode_members members() const;
    void build_dispatch(const mode_members& members);
    std::vector<std::uint16_t> class_maps_;
    std::vector<std::uint32_t> list_starts_;
    std::vector<std::uint32_t> list_pool_;
    std::vector<table_entry> tables_;
    std::vector<std::uint32_t> mode_table_;  // per mode, its entry in tables_
    std::vector<bool> significant_;
    std::vector<std::shared_ptr<const mode_dfa>> mode_dfas_;
    placement_notes notes_;
    std::uint32_t context_bytes_ = 0;
};

// A mode name as messages show it: a NUL is written \x00, since messages travel as C strings
// to the interpreter and would be cut at the first NUL.
std::string shown_mode_name(std::string_view name);

// The longest text tessel lexes.  Offsets, lines and columns are 32-bit; a line or a column
// grows by at most one per byte from 1, so 2^32 - 2 bytes is the most for which the position
// after the last byte (the end-of-input token's) cannot wrap.
inline constexpr std::uint64_t max_text_bytes = 0xFFFFFFFEull;

// Throws std::invalid_argument "text too long: tessel lexes at most <limit> bytes" when a text
// of `size` bytes passes `limit`.  Shared by eager lexing, scans and streams.
void check_text_length(std::uint64_t size, std::uint64_t limit = max_text_bytes);

}  // namespace tessel
