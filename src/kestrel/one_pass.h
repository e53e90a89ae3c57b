// The one-pass matcher: capture groups without thread lists, for patterns that never have
// two ways to go on.
//
// A pattern is one-pass when, from any point of a match, each input byte leads to at most one
// way of continuing.  For such a pattern the byte program (byte_program.h) can be compiled
// into a table with one row per node and one entry per byte class; an entry says where the
// match goes on after the byte, which capture slots to write before consuming it and which
// assertions must hold first.  Matching is then one table lookup per byte.  The build finds
// out whether the program is one-pass as it goes and keeps the reason when it is not; the
// caller then uses the Pike VM.  See one_pass.cpp for the algorithm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrel/byte_program.h"
#include "kestrel/program.h"
#include "kestrel/small_vector.h"

namespace kestrel {

// Capture slots of a match (the same type as pike_vm.h's; declared here too so that the lazy
// slot can hold a table without including the Pike VM).

// One table entry: where to go after a byte of some class from some node.
struct one_pass_entry {
    std::int32_t next_row = -1;    // row offset of the next node (node x class count), -1: none
    std::uint32_t next_word = 0;   // the next node in the low 24 bits, its kind in the high 8
    std::uint16_t slot_mask = 0;   // slots written (with the offset) before the byte is consumed
    std::uint16_t assert_mask = 0;  // assertion kinds that must hold before it is consumed
};
static_assert(sizeof(one_pass_entry) == 12, "a one-pass table entry is 12 bytes");

// A node's match: the slots it writes and the assertions it needs, and the node's kind
// (one_pass_kind; the state words that lead to the node carry it too).
struct one_pass_match {
    std::uint16_t slot_mask = 0;
    std::uint16_t assert_mask = 0;
    std::uint8_t kind = 0;
};

// Node kinds, in the high byte of a state word.
enum class one_pass_kind : std::uint8_t {
    no_match = 0,
    match_after_transitions = 1,  // every transition has priority over the match
    match_first = 2,              // no transition has priority over the match
    match_between = 3,            // transitions before and after the match: table not enabled
};

class one_pass_table {
public:
    static constexpr std::size_t max_table_bytes = 8388608;  // 8 MiB, after minimisation
    static constexpr std::uint32_t node_cap = 65000;
    static constexpr std::uint64_t work_budget = 100000000;  // of the minimisation
    static constexpr std::uint32_t max_slots = 10;           // four capture groups
    static constexpr std::size_t transition_bytes = 24;      // per node and class, for the size

    // Builds the table from a byte program and its byte classes, or records why not.
    void build(const byte_program& bp, const byte_class_map& classes);

    // Built, one-pass and enabled: run() may answer for the Pike VM.
    bool usable() const noexcept { return is_one_pass_ && enabled_ && !table_.empty(); }
    bool is_one_pass() const noexcept { return is_one_pass_; }
    bool enabled() const noexcept { return enabled_; }

    // Anchored match at start: the end offset, or -1 for no match.  `out` gets slot_count()
    // slots, -1 where unset (all -1 when nothing matched).  Allocates nothing.
    std::int64_t run(std::uint32_t start, slot_vector& out, const std::uint8_t* subject,
                     std::uint32_t length) const;

    // The refusal: empty while is_one_pass(); details are -1 where the reason has none.
    const std::string& reason() const noexcept { return reason_; }
    std::int32_t detail(int which) const noexcept {  // which: 1, 2 or 3
        return which >= 1 && which <= 3 ? details_[which - 1] : -1;
    }

    std::uint32_t node_count() const noexcept { return node_count_; }
    std::uint32_t class_count() const noexcept { return classes_.count; }
    std::uint32_t slot_count() const noexcept { return slot_count_; }
    std::uint32_t start_word() const noexcept { return start_word_; }
    const byte_class_map& class_map() const noexcept { return classes_; }
    const one_pass_entry& entry(std::uint32_t node, std::uint32_t klass) const noexcept {
        return table_[static_cast<std::size_t>(node) * classes_.count + klass];
    }
    const one_pass_match& match_of(std::uint32_t node) const noexcept { return matches_[node]; }
    bool ascii_words() const noexcept { return ascii_words_; }

private:
    friend class one_pass_builder;

    void refuse(const char* why, std::int32_t d1 = -1, std::int32_t d2 = -1,
                std::int32_t d3 = -1);
    bool holds(std::uint16_t mask, std::uint32_t pos, const std::uint8_t* subject,
               std::uint32_t length) const noexcept;

    byte_class_map classes_;
    std::vector<one_pass_entry> table_;
    std::vector<one_pass_match> matches_;  // per node
    std::uint32_t node_count_ = 0;
    std::uint32_t start_word_ = 0;
    std::uint32_t slot_count_ = 0;
    bool is_one_pass_ = true;
    bool enabled_ = true;
    bool ascii_words_ = false;
    std::string reason_;
    std::int32_t details_[3] = {-1, -1, -1};
};

// The budget of class expansion for the byte programs the regex builds lazily.
inline constexpr std::uint32_t lazy_lowering_budget = 20000;

// The one-pass table of a program as the regex's lazy slot builds it: from the byte program
// lowered with asserts when the program has an assert (variant 1), else without (variant 0),
// both within lazy_lowering_budget.  Returned usable or not (reason() says why not).
one_pass_table build_one_pass(const program& prog);

// The table as text: a header, the byte classes, then every node with its match and its
// transitions; or the refusal with its details.
std::string dump_one_pass(const one_pass_table& table);

}  // namespace kestrel
